// The volume check at sector 16 and the walk of the directory tree into the
// entry table: record rules, name rules, pre-order, and the depth and table
// limits.
#include "cdimage_internal.h"
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
    for (int i = 0; i < g_image.entry_count; ++i) {
        const FsEntry &e = g_image.entries[i];
        out.push_back(std::string(e.name) + (e.is_dir ? "/" : "") + " @" + std::to_string(e.extent));
    }
    return out;
}

std::vector<std::string> entry_names() {
    std::vector<std::string> out;
    for (int i = 0; i < g_image.entry_count; ++i)
        out.push_back(g_image.entries[i].name);
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
    std::string name;
};

TEST(EntryName, Rules) {
    const std::string p250(250, 'P');
    const std::string p254(254, 'P');
    const std::string p255(255, 'P');
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
        // Names stop at 255 characters; a parent of 254 or 255 leaves no room.
        {p250, "ABCDEFGHIJ;1", p250 + "/ABCD"},
        {p254, "ABC;1", p254 + "/"},
        {p255, "ABC;1", p255},
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
        SCOPED_TRACE(c.parent.substr(0, 8) + " + " + c.identifier);
        char name[ENTRY_NAME_SIZE];
        std::memset(name, '#', sizeof name);
        build_entry_name(c.parent.c_str(), reinterpret_cast<const unsigned char *>(c.identifier.data()),
                         c.identifier.size(), name);
        EXPECT_EQ(std::string(name), c.name);
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
        const FsEntry &e = g_image.entries[i];
        EXPECT_EQ(e.is_dir, dirs[i]) << e.name;
        if (e.is_dir) {
            EXPECT_EQ(e.size, ISO_SECTOR) << e.name;
        } else {
            EXPECT_EQ(e.size, file_sizes[i]) << e.name;
            // The extent points at the file's data.
            ASSERT_LT(static_cast<size_t>(e.extent) * ISO_SECTOR, volume.size());
            EXPECT_EQ(volume[static_cast<size_t>(e.extent) * ISO_SECTOR], i == 2 ? 1 : i == 3 ? 2 : 3) << e.name;
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
        EXPECT_EQ(g_image.entry_count, 0);
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

    // The root directory itself has no entry name.
    Bytes rootless;
    put_bytes(rootless, 16, primary_descriptor(500, ISO_SECTOR));
    opened = mount(rootless);
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: /: directory cannot be read, 1 sector skipped\n"
                          "cdimage: " + cue + ", 1 tracks, 0 files\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
}

TEST_F(DirectoryWalk, DepthStopsAtNineComponents) {
    // D1/D2/.../D10, each directory holding a file F.
    IsoNode node = iso_dir("D10", {iso_file("F;1", Bytes{10})});
    for (int level = 9; level >= 1; --level)
        node = iso_dir("D" + std::to_string(level), {iso_file("F;1", Bytes{1}), node});
    Opened opened = mount(build_iso_volume({node}));
    ASSERT_EQ(opened.result, 1);
    std::vector<std::string> expected;
    std::string path;
    for (int level = 1; level <= 9; ++level) {
        path += (level > 1 ? "/D" : "D") + std::to_string(level);
        expected.push_back(path);
        if (level < 9)
            expected.push_back(path + "/F");
    }
    EXPECT_EQ(entry_names(), expected);
    EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 17 files\n");
}

TEST_F(DirectoryWalk, TableHoldsTheFirst4096InPreOrder) {
    // 50 directories of 99 files each: 5000 entries.
    std::vector<IsoNode> root;
    std::vector<std::string> pre_order;
    for (int d = 0; d < 50; ++d) {
        char dir_name[8];
        std::snprintf(dir_name, sizeof dir_name, "D%02d", d);
        pre_order.push_back(dir_name);
        std::vector<IsoNode> files;
        for (int f = 0; f < 99; ++f) {
            char file_name[16];
            std::snprintf(file_name, sizeof file_name, "F%02d.TXT", f);
            files.push_back(iso_file(std::string(file_name) + ";1", {}));
            pre_order.push_back(std::string(dir_name) + "/" + file_name);
        }
        root.push_back(iso_dir(dir_name, files));
    }
    ASSERT_EQ(pre_order.size(), 5000u);
    pre_order.resize(MAX_FS_ENTRIES);
    Opened opened = mount(build_iso_volume(root));
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(entry_names(), pre_order);
    EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 4096 files\n");
    // The last entry is found by name; the first one left out is not.
    uint32_t length = 99;
    void *last = cdimage_load_file("d40/f94.txt", &length);
    EXPECT_NE(last, nullptr);
    EXPECT_EQ(length, 0u);
    std::free(last);
    EXPECT_EQ(cdimage_load_file("D40/F95.TXT", &length), nullptr);
}

TEST_F(DirectoryWalk, FullTableStopsTheReading) {
    // A root directory of 2^21 - 1 sectors whose first sector holds 50
    // one-sector directories that all point back at that first sector: the
    // tree never ends and the table fills within the root's first sector.
    // The rest of the root is a sparse file of zero sectors, 4 GiB that are
    // read only if the walk goes on after the table is full.
    const uint32_t root_size = 0xFFFFF800u;
    Bytes head;
    put_bytes(head, 16, primary_descriptor(ROOT_EXTENT, root_size));
    Bytes records;
    for (int i = 0; i < 50; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "L%02d", i);
        Bytes record = directory_record(name, ROOT_EXTENT, ISO_SECTOR, true);
        records.insert(records.end(), record.begin(), record.end());
    }
    ASSERT_LE(records.size(), ISO_SECTOR);
    put_bytes(head, ROOT_EXTENT, records);
    write_sparse_file(tmp.at("disc.bin"), static_cast<uint64_t>(ROOT_EXTENT) * ISO_SECTOR + root_size, 0, head);
    write_text(tmp.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");
    const uint64_t before = bytes_read_by_process();
    ASSERT_GT(before, 0u) << "needs /proc/self/io";
    Opened opened = open_and_capture(tmp.at("disc.cue"), tmp.at("out"));
    const uint64_t read = bytes_read_by_process() - before;
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(g_image.entry_count, MAX_FS_ENTRIES);
    EXPECT_EQ(std::string(g_image.entries[0].name), "L00");
    EXPECT_EQ(std::string(g_image.entries[8].name), "L00/L00/L00/L00/L00/L00/L00/L00/L00");
    EXPECT_LT(read, uint64_t{1} << 30);
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
