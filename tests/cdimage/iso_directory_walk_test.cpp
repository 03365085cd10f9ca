// The volume check at sector 16 and the walk of the directory tree into the
// entry table: record rules, name rules, pre-order, deep and looping trees,
// files in several extents and recording dates.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr uint32_t ROOT_EXTENT = 18;
constexpr uint32_t FILE_EXTENT = 60;

// "NAME @extent" for every entry, directories marked with a trailing '/'.
std::vector<std::string> entry_list() {
    std::vector<std::string> out;
    for (int i = 0; i < entry_count(); ++i) {
        const EntryView e = entry_view(i);
        out.push_back(e.name + (e.is_dir ? "/" : "") + " @" + std::to_string(e.extents.at(0).sector));
    }
    return out;
}

std::vector<std::string> entry_names() {
    std::vector<std::string> out;
    for (int i = 0; i < entry_count(); ++i)
        out.push_back(entry_view(i).name);
    return out;
}

Bytes file_record(const std::string &identifier, uint32_t extent = FILE_EXTENT) {
    return directory_record(identifier, extent, 1, false);
}

// A record of exactly `length` bytes (zero padding after the identifier).
Bytes padded_record(const std::string &identifier, uint8_t length, uint32_t extent = FILE_EXTENT) {
    return directory_record(Bytes(identifier.begin(), identifier.end()), extent, 1, false, length);
}

// A volume whose root directory is made of the given sectors, as crafted.
Bytes crafted_volume(const std::vector<Bytes> &root_sectors) {
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT_EXTENT, static_cast<uint32_t>(root_sectors.size()) * ISO_SECTOR));
    for (size_t i = 0; i < root_sectors.size(); ++i) {
        EXPECT_LE(root_sectors[i].size(), ISO_SECTOR);
        put_bytes(volume, ROOT_EXTENT + static_cast<uint32_t>(i), root_sectors[i]);
    }
    put_bytes(volume, FILE_EXTENT, Bytes(ISO_SECTOR, 'x'));
    return volume;
}

class DirectoryWalk : public testing::Test {
protected:
    void TearDown() override { cdimage_close(); }
    Opened mount(const Bytes &volume, SectorMode mode = SectorMode::MODE1_2048) {
        cue = write_data_image(tmp.path, volume, mode);
        return open_and_capture(cue, tmp.at("out"));
    }
    TempDir tmp;
    std::string cue;
};

// Records that fill exactly `bytes` bytes (at least 128), named F00, F01, ...
struct Filler {
    Bytes bytes;
    std::vector<std::string> entries;
};
Filler filler(uint32_t bytes) {
    Filler out;
    const uint32_t count = bytes / 128;
    for (uint32_t i = 0; i < count; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "F%02u", i);
        uint32_t length = i + 1 < count ? 128 : 128 + bytes % 128;
        Bytes record = padded_record(std::string(name) + ";1", static_cast<uint8_t>(length));
        out.bytes.insert(out.bytes.end(), record.begin(), record.end());
        out.entries.push_back(std::string(name) + " @60");
    }
    return out;
}

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes first_sector(Bytes bytes) {
    bytes.resize(ISO_SECTOR);
    return bytes;
}

struct RecordCase {
    const char *rule;
    std::vector<Bytes> sectors;
    std::vector<std::string> entries;
};

TEST_F(DirectoryWalk, RecordRules) {
    const Bytes self = directory_record(Bytes{0}, ROOT_EXTENT, ISO_SECTOR, true);
    const Bytes parent = directory_record(Bytes{1}, ROOT_EXTENT, ISO_SECTOR, true);
    const Filler to_1848 = filler(1848);
    const Filler to_2008 = filler(2008);
    // 40 bytes ending at byte 2048 that claim a 100-byte identifier.
    Bytes cut_identifier = file_record("ABCDEFG");
    cut_identifier[32] = 100;
    const std::vector<RecordCase> cases = {
        {"records 0 and 1 are skipped wherever they stand",
         {concat({self, parent, file_record("A;1"), self, file_record("B;1"), parent})},
         {"A @60", "B @60"}},
        {"a zero byte ends the sector, the next sector is read",
         {concat({file_record("A;1"), Bytes(10, 0), file_record("B;1")}), file_record("C;1")},
         {"A @60", "C @60"}},
        {"a length byte of 33 ends the sector",
         {concat({file_record("A;1"), padded_record("B;1", 33), file_record("C;1")}), file_record("D;1")},
         {"A @60", "D @60"}},
        {"a length byte below 33 ends the sector",
         {concat({file_record("A;1"), padded_record("B;1", 20), file_record("C;1")}), file_record("D;1")},
         {"A @60", "D @60"}},
        {"a record ending exactly at 2048 is handled, then the next sector",
         {concat({to_1848.bytes, padded_record("END;1", 200)}), file_record("NEXT;1")},
         plus(to_1848.entries, {"END @60", "NEXT @60"})},
        {"a record running past 2048 is not handled",
         {first_sector(concat({to_1848.bytes, padded_record("PAST;1", 202)})), file_record("NEXT;1")},
         plus(to_1848.entries, {"NEXT @60"})},
        {"an identifier running past the sector is cut at its end",
         {concat({to_2008.bytes, cut_identifier}), file_record("ZZ;1")},
         plus(to_2008.entries, {"ABCDEFG @60", "ZZ @60"})},
        {"versions of one file give entries of one name, in disc order",
         {concat({file_record("FILE.TXT;2", 61), file_record("FILE.TXT;1", 60), file_record("file.txt;3", 62)})},
         {"FILE.TXT @61", "FILE.TXT @60", "FILE.TXT @62"}},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.rule);
        TempDir dir;
        std::string cue_path = write_data_image(dir.path, crafted_volume(c.sectors), SectorMode::MODE1_2048);
        Opened opened = open_and_capture(cue_path, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + cue_path + ", 1 tracks, " + std::to_string(c.entries.size()) +
                                  " files\n");
        EXPECT_EQ(entry_list(), c.entries);
        cdimage_close();
    }
}

struct NameCase {
    std::string parent;
    std::string identifier;
    std::string name;  // empty: the name does not fit
};

TEST(EntryName, Rules) {
    const std::string p1000(1000, 'P');
    const std::string p1012(1012, 'P');
    const std::string p1022(1022, 'P');
    const std::string p1023(1023, 'P');
    const std::vector<NameCase> cases = {
        {"", "README.TXT;1", "README.TXT"},
        {"DOCS", "NOEXT.;1", "DOCS/NOEXT"},
        {"", "A..;1", "A."},
        {"DOCS", "sub", "DOCS/SUB"},
        {"DOCS", "FILE.TXT;2", "DOCS/FILE.TXT"},
        {"", "abc.txt;1", "ABC.TXT"},
        {"", "NO;VERSION;1", "NO"},
        // Only a to z change case.
        {"", "caf\xe9_\xc4.z;1", "CAF\xe9_\xc4.Z"},
        // Names reach 1023 characters; one that would be longer is never
        // cut into another name.
        {p1000, "ABCDEFGHIJ;1", p1000 + "/ABCDEFGHIJ"},
        {p1012, "ABCDEFGHIJ;1", p1012 + "/ABCDEFGHIJ"},
        {p1012, "ABCDEFGHIJ.;1", p1012 + "/ABCDEFGHIJ"},
        {p1012, "ABCDEFGHIJK;1", ""},
        {p1022, "A;1", ""},
        {p1023, "A;1", ""},
        // Components that would leave their directory are made safe.
        {"", "/", "_"},
        {"", "/ETC/PASSWD;1", "_ETC_PASSWD"},
        {"DOCS", "../../EVIL.TXT;1", "DOCS/.._.._EVIL.TXT"},
        {"", std::string("A\0B;1", 5), "A_B"},
        {"", "..", "_"},
        {"", "...;1", "__"},
        {"DOCS", "....", "DOCS/___"},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.parent.substr(0, 8) + " (" + std::to_string(c.parent.size()) + ") + " + c.identifier);
        char component[MAX_COMPONENT];
        std::memset(component, '#', sizeof component);
        std::size_t length = 0;
        const bool fits = build_name_component(c.parent.size(),
                                               reinterpret_cast<const unsigned char *>(c.identifier.data()),
                                               c.identifier.size(), component, length);
        EXPECT_EQ(fits, !c.name.empty());
        if (fits) {
            EXPECT_EQ(c.parent + (c.parent.empty() ? "" : "/") + std::string(component, length), c.name);
        }
    }
}

TEST_F(DirectoryWalk, TreeIsListedInPreOrder) {
    const Bytes volume = build_iso_volume({
        iso_dir("A", {iso_dir("B", {iso_file("F1.TXT;1", Bytes(3000, 1))}), iso_file("F2.TXT;1", Bytes{2})}),
        iso_file("C.TXT;1", Bytes(10, 3)),
        iso_dir("D", {}),
    });
    Opened opened = mount(volume);
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 6 files\n");
    ASSERT_EQ(entry_names(), (std::vector<std::string>{"A", "A/B", "A/B/F1.TXT", "A/F2.TXT", "C.TXT", "D"}));
    const int dirs[] = {1, 1, 0, 0, 0, 1};
    const uint32_t file_sizes[] = {0, 0, 3000, 1, 10, 0};
    for (int i = 0; i < 6; ++i) {
        const EntryView e = entry_view(i);
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.is_dir, dirs[i] != 0);
        EXPECT_EQ(e.extents.size(), 1u);
        if (e.is_dir) {
            EXPECT_EQ(e.size, ISO_SECTOR);
        } else {
            EXPECT_EQ(e.size, file_sizes[i]);
            // The extent points at the file's data.
            const size_t at = static_cast<size_t>(e.extents.at(0).sector) * ISO_SECTOR;
            ASSERT_LT(at, volume.size());
            EXPECT_EQ(volume[at], i == 2 ? 1 : i == 3 ? 2 : 3);
        }
    }
}

TEST_F(DirectoryWalk, OneDirectoryWithTwoFilesCountsThree) {
    Opened opened = mount(build_iso_volume({iso_dir("DIR", {iso_file("A;1", Bytes{1}), iso_file("B;1", Bytes{2})})}),
                          SectorMode::MODE1_2352);
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 3 files\n");
}

struct DescriptorCase {
    const char *what;
    Bytes volume;
    bool message;
};

TEST_F(DirectoryWalk, VolumeCheckAtSector16) {
    Bytes secondary_first;
    Bytes supplementary = primary_descriptor(19, ISO_SECTOR);
    supplementary[0] = 2;
    put_bytes(secondary_first, 16, supplementary);
    put_bytes(secondary_first, 17, primary_descriptor(19, ISO_SECTOR));
    put_bytes(secondary_first, 19, directory_record("A;1", 20, 1, false));
    Bytes boot = secondary_first;
    boot[16 * ISO_SECTOR] = 0;
    Bytes wrong_identifier = build_iso_volume({iso_file("A;1", Bytes{1})});
    wrong_identifier[16 * ISO_SECTOR + 5] = '2';
    Bytes empty_root;
    put_bytes(empty_root, 16, primary_descriptor(18, 0));
    put_bytes(empty_root, 18, directory_record("A;1", 20, 1, false));
    const std::vector<DescriptorCase> cases = {
        {"fewer than 17 sectors", Bytes(16 * ISO_SECTOR, 0), true},
        {"type 2 at sector 16, primary at 17", secondary_first, true},
        {"type 0 at sector 16, primary at 17", boot, true},
        {"CD002", wrong_identifier, true},
        {"root of size 0", empty_root, false},
    };
    for (const DescriptorCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string cue_path = write_data_image(dir.path, c.volume, SectorMode::MODE1_2352);
        Opened opened = open_and_capture(cue_path, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        std::string summary = "cdimage: " + cue_path + ", 1 tracks, 0 files\n";
        EXPECT_EQ(opened.err, c.message ? "cdimage: " + cue_path + " has no ISO 9660 data track\n" + summary : summary);
        EXPECT_EQ(cdimage_is_open(), 1);
        EXPECT_EQ(cdimage_entry_count(), 0);
        cdimage_close();
    }
}

TEST_F(DirectoryWalk, NoVolumeOnTheCommandLine) {
    std::string cue_path = write_data_image(tmp.path, Bytes(20 * ISO_SECTOR, 0), SectorMode::MODE1_2352);
    RunResult run = run_program({cdunpack_binary(), cue_path, tmp.at("out")});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "0 files\n");
    EXPECT_EQ(run.err,
              "cdimage: " + cue_path + " has no ISO 9660 data track\ncdimage: " + cue_path + ", 1 tracks, 0 files\n");
    EXPECT_EQ(list_tree(tmp.at("out")), std::vector<std::string>{});
}

// A directory whose sectors cannot be read (a cut image, an extent past the
// track's end) loses only its own entries: it is named with what was lost,
// counted as a failure, and the walk goes on with its siblings.
TEST_F(DirectoryWalk, UnreadableDirectoriesAreNamedAndTheWalkGoesOn) {
    constexpr uint32_t HALF_EXTENT = FILE_EXTENT + 1;  // the volume's last sector
    Bytes volume = crafted_volume({first_sector(concat({
        file_record("A.TXT;1"),
        directory_record("LOST", 500, 3 * ISO_SECTOR, true),
        directory_record("HALF", HALF_EXTENT, 2 * ISO_SECTOR, true),
        file_record("B.TXT;1"),
    }))});
    put_bytes(volume, HALF_EXTENT, first_sector(file_record("IN.TXT;1")));
    Opened opened = mount(volume);
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: LOST: directory cannot be read, 3 sectors skipped\n"
                          "cdimage: HALF: directory cannot be read, 1 sector skipped\n"
                          "cdimage: " + cue + ", 1 tracks, 5 files\n");
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"A.TXT", "LOST", "HALF", "HALF/IN.TXT", "B.TXT"}));
    EXPECT_EQ(cdimage_failure_count(), 2);
    cdimage_close();

    // Through the tool: the files that were found come out, the exit code
    // tells of the loss.
    const RunResult run = run_program({cdunpack_binary(), cue, tmp.at("out")});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "3 files\n");
    EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{"A.TXT", "B.TXT", "HALF/", "HALF/IN.TXT"}));
    // A listing names the same losses and ends with the same exit code.
    const RunResult listed = run_program({cdunpack_binary(), "--list", cue});
    EXPECT_EQ(listed.exit_code, 2);
    EXPECT_EQ(listed.err, opened.err);
    EXPECT_NE(listed.out.find("HALF/IN.TXT\n"), std::string::npos);

    // The root directory itself has no entry name.
    Bytes rootless;
    put_bytes(rootless, 16, primary_descriptor(500, ISO_SECTOR));
    opened = mount(rootless);
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: /: directory cannot be read, 1 sector skipped\n"
                          "cdimage: " + cue + ", 1 tracks, 0 files\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
}

TEST_F(DirectoryWalk, DeepTreesAreWalkedDownToTheSafetyDepth) {
    // D1/D2/.../D66, each directory holding a file F before the next one.
    const int levels = MAX_DIR_DEPTH + 2;
    IsoNode node = iso_dir("D" + std::to_string(levels), {iso_file("F;1", Bytes{1})});
    for (int level = levels - 1; level >= 1; --level)
        node = iso_dir("D" + std::to_string(level), {iso_file("F;1", Bytes{1}), node});
    Opened opened = mount(build_iso_volume({node}));
    ASSERT_EQ(opened.result, 1);
    // Directories down to MAX_DIR_DEPTH levels below the root are walked; the
    // one below them has its entry and is not followed.
    std::vector<std::string> expected;
    std::string path;
    for (int level = 1; level <= MAX_DIR_DEPTH + 1; ++level) {
        path += (level > 1 ? "/D" : "D") + std::to_string(level);
        expected.push_back(path);
        if (level <= MAX_DIR_DEPTH)
            expected.push_back(path + "/F");
    }
    EXPECT_EQ(entry_names(), expected);
    EXPECT_EQ(opened.err, "cdimage: " + path + ": deeper than 64 directories, not followed\ncdimage: " + cue +
                              ", 1 tracks, " + std::to_string(expected.size()) + " files\n");
    // What lies below it is lost: a failure of the open image.
    EXPECT_EQ(cdimage_failure_count(), 1);
}

TEST_F(DirectoryWalk, EveryEntryOfALargeVolumeComesOutInPreOrder) {
    // Directories of 99 files each: 5,000 and 20,000 entries.
    for (int directories : {50, 200}) {
        SCOPED_TRACE(directories);
        std::vector<IsoNode> root;
        std::vector<std::string> pre_order;
        for (int d = 0; d < directories; ++d) {
            char dir_name[16];
            std::snprintf(dir_name, sizeof dir_name, "D%03d", d);
            pre_order.push_back(dir_name);
            std::vector<IsoNode> files;
            for (int f = 0; f < 99; ++f) {
                char file_name[16];
                std::snprintf(file_name, sizeof file_name, "F%02d.TXT", f);
                // Empty files but the last of each directory keep the image small.
                files.push_back(iso_file(std::string(file_name) + ";1", f == 98 ? Bytes{static_cast<uint8_t>(d)} : Bytes{}));
                pre_order.push_back(std::string(dir_name) + "/" + file_name);
            }
            root.push_back(iso_dir(dir_name, files));
        }
        TempDir dir;
        const std::string cue_path = write_data_image(dir.path, build_iso_volume(root), SectorMode::MODE1_2048);
        Opened opened = open_and_capture(cue_path, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + cue_path + ", 1 tracks, " + std::to_string(pre_order.size()) + " files\n");
        EXPECT_EQ(entry_names(), pre_order);
        EXPECT_EQ(cdimage_extract_all(), directories * 99);
        EXPECT_EQ(list_tree(dir.at("out")).size(), pre_order.size());
        EXPECT_EQ(read_file(dir.at("out/" + pre_order.back())), Bytes{static_cast<uint8_t>(directories - 1)});
        cdimage_close();
    }
}

struct LoopCase {
    const char *what;
    std::vector<Bytes> directories;  // the directory sectors from ROOT_EXTENT on
    std::vector<std::string> entries;
    std::vector<std::string> not_followed;
    std::vector<std::string> files;  // the output tree
};

TEST_F(DirectoryWalk, DirectoriesReadBeforeAreNotFollowedAgain) {
    // Files R.TXT, FA and FB hold 'r', 'a' and 'b' at sectors 40 to 42.
    const uint32_t A = ROOT_EXTENT + 1;
    const uint32_t B = ROOT_EXTENT + 2;
    auto dir = [](const char *identifier, uint32_t extent) { return directory_record(identifier, extent, ISO_SECTOR, true); };
    auto file = [](const char *identifier, uint32_t extent) { return directory_record(identifier, extent, 1, false); };
    const std::vector<LoopCase> cases = {
        {"a directory record pointing at an ancestor",
         {concat({dir("A", A), file("R.TXT;1", 40)}), concat({dir("BACK", ROOT_EXTENT), file("FA;1", 41)})},
         {"A/", "A/BACK/", "A/FA", "R.TXT"},
         {"A/BACK"},
         {"A/", "A/FA", "R.TXT"}},
        {"two directories pointing at each other",
         {concat({dir("A", A), dir("B", B), file("R.TXT;1", 40)}), concat({dir("TO_B", B), file("FA;1", 41)}),
          concat({dir("TO_A", A), file("FB;1", 42)})},
         {"A/", "A/TO_B/", "A/TO_B/TO_A/", "A/TO_B/FB", "A/FA", "B/", "R.TXT"},
         {"A/TO_B/TO_A", "B"},
         {"A/", "A/FA", "A/TO_B/", "A/TO_B/FB", "R.TXT"}},
        {"two records sharing one directory",
         {concat({dir("X", A), dir("Y", A), file("R.TXT;1", 40)}), file("FA;1", 41)},
         {"X/", "X/FA", "Y/", "R.TXT"},
         {"Y"},
         {"R.TXT", "X/", "X/FA"}},
        {"a directory inside the extent of one read before",
         {concat({dir("A", A), dir("WIDE", ROOT_EXTENT), file("R.TXT;1", 40)}), file("FA;1", 41)},
         {"A/", "A/FA", "WIDE/", "R.TXT"},
         {"WIDE"},
         {"A/", "A/FA", "R.TXT"}},
    };
    for (const LoopCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir_;
        Bytes volume;
        put_bytes(volume, 16, primary_descriptor(ROOT_EXTENT, ISO_SECTOR));
        for (size_t i = 0; i < c.directories.size(); ++i)
            put_bytes(volume, ROOT_EXTENT + static_cast<uint32_t>(i), c.directories[i]);
        put_bytes(volume, 40, Bytes{'r'});
        put_bytes(volume, 41, Bytes{'a'});
        put_bytes(volume, 42, Bytes{'b'});
        const std::string cue_path = write_data_image(dir_.path, volume, SectorMode::MODE1_2048);
        Opened opened = open_and_capture(cue_path, dir_.at("out"));
        ASSERT_EQ(opened.result, 1);
        std::string messages;
        for (const std::string &name : c.not_followed)
            messages += "cdimage: " + name + ": directory already read, not followed\n";
        EXPECT_EQ(opened.err, messages + "cdimage: " + cue_path + ", 1 tracks, " + std::to_string(c.entries.size()) +
                                  " files\n");
        std::vector<std::string> entries;
        for (int i = 0; i < entry_count(); ++i) {
            const EntryView e = entry_view(i);
            entries.push_back(e.name + (e.is_dir ? "/" : ""));
        }
        EXPECT_EQ(entries, c.entries);
        // A loop loses nothing: not a failure.
        EXPECT_EQ(cdimage_failure_count(), 0);
        const size_t files = static_cast<size_t>(std::count_if(c.files.begin(), c.files.end(),
                                                               [](const std::string &f) { return f.back() != '/'; }));
        EXPECT_EQ(cdimage_extract_all(), static_cast<int>(files));
        EXPECT_EQ(list_tree(dir_.at("out")), c.files);
        cdimage_close();
    }
}

// A crafted directory record that carries the multi-extent flag.
Bytes continued_record(const std::string &identifier, uint32_t extent, uint32_t size) {
    Bytes record = directory_record(identifier, extent, size, false);
    record[RECORD_FLAGS_OFFSET] |= RECORD_FLAG_MULTI_EXTENT;
    return record;
}

// "NAME size @sector,sector,..." for every entry.
std::vector<std::string> entry_extents_list() {
    std::vector<std::string> out;
    for (int i = 0; i < entry_count(); ++i) {
        const EntryView e = entry_view(i);
        std::string line = e.name + " " + std::to_string(e.size) + " @";
        for (size_t k = 0; k < e.extents.size(); ++k)
            line += (k ? "," : "") + std::to_string(e.extents[k].sector);
        out.push_back(line);
    }
    return out;
}

TEST_F(DirectoryWalk, RecordsOfAFileInSeveralExtentsMakeOneEntry) {
    const Filler to_1848 = filler(1848);
    const std::vector<RecordCase> cases = {
        {"three records of one identifier, the flag on all but the last",
         {concat({continued_record("M.BIN;1", 40, ISO_SECTOR), continued_record("M.BIN;1", 41, ISO_SECTOR),
                  directory_record("M.BIN;1", 42, 100, false), file_record("N;1", 43)})},
         {"M.BIN 4196 @40,41,42", "N 1 @43"}},
        {"a chain cut short by another identifier",
         {concat({continued_record("A;1", 40, ISO_SECTOR), directory_record("B;1", 41, 5, false)})},
         {"A 2048 @40", "B 5 @41"}},
        {"a chain that goes on in the next sector",
         {concat({to_1848.bytes, continued_record("M.BIN;1", 40, ISO_SECTOR)}),
          directory_record("M.BIN;1", 41, 7, false)},
         plus(std::vector<std::string>(to_1848.entries.size(), "?"), {"M.BIN 2055 @40,41"})},
        {"versions without the flag stay apart",
         {concat({directory_record("V;1", 40, 3, false), directory_record("V;1", 41, 4, false)})},
         {"V 3 @40", "V 4 @41"}},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.rule);
        TempDir dir;
        std::string cue_path = write_data_image(dir.path, crafted_volume(c.sectors), SectorMode::MODE1_2048);
        Opened opened = open_and_capture(cue_path, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + cue_path + ", 1 tracks, " + std::to_string(c.entries.size()) +
                                  " files\n");
        std::vector<std::string> listed = entry_extents_list();
        // Filler records are checked by the record rules; here only their count.
        for (size_t i = 0; i < listed.size() && i < c.entries.size(); ++i)
            if (c.entries[i] == "?")
                listed[i] = "?";
        EXPECT_EQ(listed, c.entries);
        cdimage_close();
    }
}

// Names are built from each entry's parent and component on demand; a
// directory in the root whose identifier gives no character has an empty
// name, and the names below it begin without a '/'.
TEST_F(DirectoryWalk, NamesBelowADirectoryOfNoCharactersAreFoundByTheirText) {
    Opened opened = mount(build_iso_volume({iso_dir(";1", {iso_file("x;1", Bytes{'1'}), iso_dir(";1", {iso_file("Y;1", Bytes{'2'})})}),
                                            iso_file("X;1", Bytes{'3'}), iso_dir("D", {iso_file(";1", Bytes{'4'})})}));
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"", "X", "", "Y", "X", "D", "D/"}));
    const std::vector<std::pair<std::string, int>> lookups = {{"X", 1}, {"x", 1}, {"Y", 3}, {"D/", 6}, {"/X", -1},
                                                              {"D", -1}, {"Y/", -1}};
    for (const auto &[name, position] : lookups) {
        SCOPED_TRACE(name);
        const FsEntry *found = find_entry(default_image(), name.c_str(), false);
        EXPECT_EQ(entry_position(found), position);
    }
    EXPECT_EQ(entry_position(find_entry(default_image(), "", true)), 0);
    EXPECT_EQ(entry_position(find_entry(default_image(), "d", true)), 5);
}

struct OverlapCase {
    const char *rule;
    std::vector<Bytes> chain;  // the records of M.BIN, between A and N
    bool left_out;
    std::string entry;         // the entry M.BIN makes when it is kept
};

TEST_F(DirectoryWalk, FilesWhoseExtentsOverlapAreLeftOutAndNamed) {
    const std::vector<OverlapCase> cases = {
        {"the same extent twice",
         {continued_record("M.BIN;1", 40, ISO_SECTOR), directory_record("M.BIN;1", 40, ISO_SECTOR, false)},
         true, ""},
        {"an extent inside an earlier one",
         {continued_record("M.BIN;1", 40, 3 * ISO_SECTOR), directory_record("M.BIN;1", 41, 100, false)},
         true, ""},
        {"an extent in the last, partial sector of another",
         {continued_record("M.BIN;1", 41, ISO_SECTOR), continued_record("M.BIN;1", 40, ISO_SECTOR + 1),
          directory_record("M.BIN;1", 44, 9, false)},
         true, ""},
        {"a chain cut short by another identifier",
         {continued_record("M.BIN;1", 40, ISO_SECTOR), continued_record("M.BIN;1", 40, ISO_SECTOR)},
         true, ""},
        {"back to back, recorded out of order",
         {continued_record("M.BIN;1", 42, ISO_SECTOR), directory_record("M.BIN;1", 40, 2 * ISO_SECTOR, false)},
         false, "M.BIN 6144 @42,40"},
        {"empty extents at one sector",
         {continued_record("M.BIN;1", 40, 0), continued_record("M.BIN;1", 40, 0),
          directory_record("M.BIN;1", 40, 5, false)},
         false, "M.BIN 5 @40,40,40"},
    };
    for (const OverlapCase &c : cases) {
        SCOPED_TRACE(c.rule);
        Bytes records = file_record("A;1", 50);
        for (const Bytes &record : c.chain)
            append(records, record);
        append(records, file_record("N;1", 51));
        TempDir dir;
        const std::string cue_path = write_data_image(dir.path, crafted_volume({records}), SectorMode::MODE1_2048);
        Opened opened = open_and_capture(cue_path, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        const std::vector<std::string> kept =
            c.left_out ? std::vector<std::string>{"A 1 @50", "N 1 @51"}
                       : std::vector<std::string>{"A 1 @50", c.entry, "N 1 @51"};
        EXPECT_EQ(opened.err, std::string(c.left_out ? "cdimage: M.BIN: extents overlap, not listed\n" : "") +
                                  "cdimage: " + cue_path + ", 1 tracks, " + std::to_string(kept.size()) +
                                  " files\n");
        EXPECT_EQ(entry_extents_list(), kept);
        EXPECT_EQ(cdimage_failure_count(), c.left_out ? 1 : 0);
        // The pools hold nothing of the file left out: N's name and extent
        // follow A's.
        EXPECT_EQ(name_pool(), c.left_out ? "AN" : "AM.BINN");
        EXPECT_EQ(extent_pool_size(), c.left_out ? 2u : 2 + c.chain.size());
        EXPECT_EQ(find_entry(default_image(), "M.BIN", false) != nullptr, !c.left_out);
        cdimage_close();
    }
}

struct DateCase {
    RecordDate date;
    bool valid;
    int64_t seconds;
};

TEST(RecordingDate, Rules) {
    const auto gmt = [](int quarters) { return static_cast<uint8_t>(static_cast<int8_t>(quarters)); };
    const std::vector<DateCase> cases = {
        {FIXTURE_DATE, true, FIXTURE_TIME},
        {{70, 1, 1, 0, 0, 0, 0}, true, 0},
        // Local times east of Greenwich are earlier in UTC, west later.
        {{70, 1, 1, 0, 0, 0, gmt(4)}, true, -3600},
        {{70, 1, 1, 0, 0, 0, gmt(-20)}, true, 18000},
        {{70, 1, 1, 0, 0, 0, gmt(52)}, true, -46800},
        {{70, 1, 1, 0, 0, 0, gmt(-48)}, true, 43200},
        {{0, 1, 1, 0, 0, 0, 0}, true, -2208988800},
        {{100, 2, 29, 23, 59, 59, 0}, true, 951868799},
        {{255, 12, 31, 23, 59, 59, 0}, true, 5869583999},
        // Zero and invalid dates.
        {{0, 0, 0, 0, 0, 0, 0}, false, 0},
        {{101, 2, 29, 0, 0, 0, 0}, false, 0},
        {{200, 2, 29, 0, 0, 0, 0}, false, 0},
        {{124, 4, 31, 0, 0, 0, 0}, false, 0},
        {{124, 13, 1, 0, 0, 0, 0}, false, 0},
        {{124, 5, 0, 0, 0, 0, 0}, false, 0},
        {{124, 5, 17, 24, 0, 0, 0}, false, 0},
        {{124, 5, 17, 12, 60, 0, 0}, false, 0},
        {{124, 5, 17, 12, 0, 60, 0}, false, 0},
        {{124, 5, 17, 12, 0, 0, gmt(53)}, false, 0},
        {{124, 5, 17, 12, 0, 0, gmt(-49)}, false, 0},
    };
    for (const DateCase &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::vector<int>(c.date.begin(), c.date.end())));
        int64_t seconds = 12345;
        EXPECT_EQ(recording_time(c.date.data(), seconds), c.valid);
        EXPECT_EQ(seconds, c.valid ? c.seconds : 12345);
    }
}

TEST_F(DirectoryWalk, EntryTimeGivesTheRecordedDate) {
    IsoNode dated = iso_file("DATED.TXT;1", Bytes{'d'});
    IsoNode undated = iso_file("UNDATED.TXT;1", Bytes{'u'});
    undated.date = {0, 0, 0, 0, 0, 0, 0};
    IsoNode docs = iso_dir("DOCS", {});
    docs.date = {99, 12, 31, 23, 59, 59, 0};
    ASSERT_EQ(mount(build_iso_volume({dated, undated, docs})).result, 1);
    int64_t time = 7;
    EXPECT_EQ(cdimage_entry_time(0, &time), 1);
    EXPECT_EQ(time, FIXTURE_TIME);
    time = 7;
    EXPECT_EQ(cdimage_entry_time(1, &time), 0);
    EXPECT_EQ(time, 7);
    EXPECT_EQ(cdimage_entry_time(2, &time), 1);
    EXPECT_EQ(time, 946684799);
    EXPECT_EQ(cdimage_entry_time(2, nullptr), 1);
    time = 7;
    EXPECT_EQ(cdimage_entry_time(-1, &time), 0);
    EXPECT_EQ(cdimage_entry_time(3, &time), 0);
    cdimage_close();
    EXPECT_EQ(cdimage_entry_time(0, &time), 0);
    EXPECT_EQ(time, 7);
}

TEST_F(DirectoryWalk, LongNamesAreKeptWholeOrLeftOut) {
    // Five directories of 200 characters: a parent name of 1004.
    IsoNode node = iso_dir(std::string(200, 'E'), {iso_file("SHORT.TXT;1", Bytes{'s'}),
                                                  iso_file("EXACT_NAME_18.CHAR;1", Bytes{'x'}),
                                                  iso_file("ONE_TOO_LONG_19.CHR;1", Bytes{'l'}),
                                                  iso_file("AFTER.TXT;1", Bytes{'a'})});
    for (char letter : {'D', 'C', 'B', 'A'})
        node = iso_dir(std::string(200, letter), {node});
    Opened opened = mount(build_iso_volume({node}));
    ASSERT_EQ(opened.result, 1);
    const std::string parent = std::string(200, 'A') + "/" + std::string(200, 'B') + "/" + std::string(200, 'C') +
                               "/" + std::string(200, 'D') + "/" + std::string(200, 'E');
    ASSERT_EQ(parent.size(), 1004u);
    EXPECT_EQ(opened.err, "cdimage: " + parent + ": ONE_TOO_LONG_19.CHR;1: name longer than 1023 characters, skipped\n" +
                              "cdimage: " + cue + ", 1 tracks, 8 files\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
    const std::vector<std::string> names = entry_names();
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names[5], parent + "/SHORT.TXT");
    EXPECT_EQ(names[6], parent + "/EXACT_NAME_18.CHAR");
    EXPECT_EQ(names[6].size(), 1023u);
    EXPECT_EQ(names[7], parent + "/AFTER.TXT");
    EXPECT_EQ(cdimage_extract_all(), 3);
    EXPECT_EQ(read_file(tmp.at("out/" + names[6])), Bytes{'x'});
    EXPECT_EQ(read_file(tmp.at("out/" + names[7])), Bytes{'a'});
}

TEST_F(DirectoryWalk, UnsafeIdentifiersStayInsideTheOutputDirectory) {
    // Identifiers no mastering tool writes, each trying to leave its place.
    const uint32_t inner = 19;
    const uint32_t innermost = 20;
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT_EXTENT, ISO_SECTOR));
    put_bytes(volume, ROOT_EXTENT,
              concat({directory_record(Bytes{0}, ROOT_EXTENT, ISO_SECTOR, true),
                      directory_record(Bytes{1}, ROOT_EXTENT, ISO_SECTOR, true),
                      directory_record("/", 30, 1, false),
                      directory_record("../../ESCAPE.TXT;1", 31, 1, false),
                      directory_record("/TMP/ABS.TXT;1", 32, 1, false),
                      directory_record(Bytes{'N', 0, 'L', ';', '1'}, 33, 1, false),
                      directory_record("...;1", 34, 1, false),
                      directory_record("....", inner, ISO_SECTOR, true)}));
    put_bytes(volume, inner,
              concat({directory_record("..", innermost, ISO_SECTOR, true), directory_record("UP.TXT;1", 35, 1, false)}));
    put_bytes(volume, innermost, directory_record("..;1", 36, 1, false));
    for (uint8_t i = 0; i < 7; ++i)
        put_bytes(volume, 30 + i, Bytes{static_cast<uint8_t>('a' + i)});

    const std::string out = tmp.at("a/b/out");
    cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2048);
    ASSERT_EQ(open_quietly(cue, out), 1);
    EXPECT_EQ(entry_names(), (std::vector<std::string>{"_", ".._.._ESCAPE.TXT", "_TMP_ABS.TXT", "N_L", "__", "___",
                                                       "___/_", "___/_/_", "___/UP.TXT"}));
    EXPECT_EQ(cdimage_extract_all(), 7);
    std::vector<std::string> expected = {"a/", "a/b/", "a/b/out/", "a/b/out/_", "a/b/out/.._.._ESCAPE.TXT",
                                         "a/b/out/_TMP_ABS.TXT", "a/b/out/N_L", "a/b/out/__", "a/b/out/___/",
                                         "a/b/out/___/_/", "a/b/out/___/_/_", "a/b/out/___/UP.TXT",
                                         "disc.bin", "disc.cue"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_tree(tmp.path), expected);
    EXPECT_EQ(read_file(out + "/_"), Bytes{'a'});
    EXPECT_EQ(read_file(out + "/.._.._ESCAPE.TXT"), Bytes{'b'});
    EXPECT_EQ(read_file(out + "/___/_/_"), Bytes{'g'});
}

}  // namespace
