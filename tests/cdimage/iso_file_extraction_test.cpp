// Taking files out of the mounted volume: extraction of one file or
// directory by name, of every file, and loading a file into memory.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

namespace {

const Bytes README = {'r', 'e', 'a', 'd', ' ', 'm', 'e', '\n'};
const Bytes BIG = pattern(3 * 2048 + 77, 5);
const Bytes ODD = pattern(2049, 9);

std::vector<IsoNode> sample_tree() {
    return {
        iso_file("TOP.TXT;1", Bytes{'t', 'o', 'p'}),
        iso_file("EMPTY.DAT;1", {}),
        iso_dir("DOCS",
                {iso_file("README.TXT;1", README), iso_file("ODD.BIN;1", ODD),
                 iso_dir("SUB", {iso_file("BIG.BIN;1", BIG)}), iso_dir("NOTHING", {})}),
        iso_file("FILLER.BIN;1", Bytes(4096, 'x')),
    };
}

class Extraction : public testing::Test {
protected:
    void SetUp() override {
        volume = build_iso_volume(sample_tree());
        cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2352, 150);
        out = tmp.at("out");
    }
    void TearDown() override { cdimage_close(); }
    void open() { ASSERT_EQ(open_quietly(cue, out), 1); }
    TempDir tmp;
    Bytes volume;
    std::string cue;
    std::string out;
};

TEST_F(Extraction, ExtractAllRebuildsTheTreeByteForByte) {
    open();
    EXPECT_EQ(cdimage_extract_all(), 6);
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"DOCS/", "DOCS/ODD.BIN", "DOCS/README.TXT", "DOCS/SUB/",
                                                        "DOCS/SUB/BIG.BIN", "EMPTY.DAT", "FILLER.BIN", "TOP.TXT"}));
    EXPECT_EQ(read_file(out + "/DOCS/README.TXT"), README);
    EXPECT_EQ(read_file(out + "/DOCS/SUB/BIG.BIN"), BIG);
    // 2048 bytes, then exactly 1.
    EXPECT_EQ(read_file(out + "/DOCS/ODD.BIN"), ODD);
    EXPECT_EQ(read_file(out + "/EMPTY.DAT"), Bytes{});
}

// Sets a file's modification time, as an earlier extraction would have.
void set_mtime(const std::string &path, int64_t seconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

struct stat stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST_F(Extraction, ExtractedFilesGetTheirRecordedTimes) {
    std::vector<IsoNode> tree = sample_tree();
    tree[0].date = {99, 12, 31, 23, 59, 59, static_cast<uint8_t>(-20)};  // 1999-12-31 23:59:59 at GMT-5
    tree[1].date = {0, 0, 0, 0, 0, 0, 0};                                 // no date: EMPTY.DAT
    cue = write_data_image(tmp.path, build_iso_volume(tree), SectorMode::MODE1_2352, 150);
    const time_t before = time(nullptr);
    open();
    EXPECT_EQ(cdimage_extract_all(), 6);
    EXPECT_EQ(stat_of(out + "/TOP.TXT").st_mtime, 946684799 + 5 * 3600);
    EXPECT_GE(stat_of(out + "/EMPTY.DAT").st_mtime, before);
    for (const char *name : {"DOCS/README.TXT", "DOCS/ODD.BIN", "DOCS/SUB/BIG.BIN", "FILLER.BIN"}) {
        EXPECT_EQ(stat_of(out + "/" + name).st_mtime, FIXTURE_TIME) << name;
        EXPECT_EQ(stat_of(out + "/" + name).st_mtim.tv_nsec, 0) << name;
    }
}

TEST_F(Extraction, SecondRunOfTheSameDiscRewritesNothing) {
    open();
    ASSERT_EQ(cdimage_extract_all(), 6);
    const std::vector<std::string> files = {"TOP.TXT", "EMPTY.DAT", "DOCS/README.TXT", "DOCS/ODD.BIN",
                                            "DOCS/SUB/BIG.BIN", "FILLER.BIN"};
    std::vector<timespec> changed;
    for (const std::string &file : files)
        changed.push_back(stat_of(out + "/" + file).st_ctim);
    // Any write, truncation or time change would move the change time on by
    // at least one tick of the file system's clock.
    usleep(50 * 1000);
    EXPECT_EQ(cdimage_extract_all(), 6);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(stat_of(out + "/" + files[i]).st_ctim.tv_sec, changed[i].tv_sec) << files[i];
        EXPECT_EQ(stat_of(out + "/" + files[i]).st_ctim.tv_nsec, changed[i].tv_nsec) << files[i];
    }
}

struct ExistingCase {
    const char *what;
    Bytes contents;
    int64_t mtime;
    bool kept;
};

TEST_F(Extraction, ExistingFileIsKeptOnlyWithTheEntrysSizeAndTime) {
    open();
    mkdir(out.c_str(), 0755);
    const Bytes top = {'t', 'o', 'p'};
    const std::vector<ExistingCase> cases = {
        {"same size and time, other bytes", {'x', 'y', 'z'}, FIXTURE_TIME, true},
        {"same size, other time", {'x', 'y', 'z'}, FIXTURE_TIME + 1, false},
        {"other size, same time", {'x', 'y'}, FIXTURE_TIME, false},
    };
    for (const ExistingCase &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(out + "/TOP.TXT", c.contents);
        set_mtime(out + "/TOP.TXT", c.mtime);
        char path[1024];
        EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 1);
        EXPECT_EQ(read_file(out + "/TOP.TXT"), c.kept ? c.contents : top);
        EXPECT_EQ(stat_of(out + "/TOP.TXT").st_mtime, c.kept ? c.mtime : FIXTURE_TIME);
    }
    // A directory of the name is never taken for the file.
    std::remove((out + "/TOP.TXT").c_str());
    mkdir((out + "/TOP.TXT").c_str(), 0755);
    char path[1024];
    EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 0);
}

TEST_F(Extraction, SecondDiscOfASetReplacesEveryFileOfTheFirst) {
    // Disc 2 holds files of the same names and sizes, other bytes and dates.
    std::vector<IsoNode> second = sample_tree();
    std::function<void(std::vector<IsoNode> &)> change = [&](std::vector<IsoNode> &nodes) {
        for (IsoNode &node : nodes) {
            node.date = {125, 1, 2, 3, 4, 5, 0};
            for (uint8_t &byte : node.data)
                byte = static_cast<uint8_t>(~byte);
            change(node.children);
        }
    };
    change(second);
    TempDir disc2;
    const std::string cue2 = write_data_image(disc2.path, build_iso_volume(second), SectorMode::MODE1_2048);
    open();
    ASSERT_EQ(cdimage_extract_all(), 6);
    ASSERT_EQ(open_and_capture(cue2, out).result, 1);
    EXPECT_EQ(cdimage_extract_all(), 6);
    const int64_t disc2_time = 1735787045;  // 2025-01-02 03:04:05
    auto inverted = [](Bytes bytes) {
        for (uint8_t &byte : bytes)
            byte = static_cast<uint8_t>(~byte);
        return bytes;
    };
    EXPECT_EQ(read_file(out + "/TOP.TXT"), inverted({'t', 'o', 'p'}));
    EXPECT_EQ(read_file(out + "/DOCS/README.TXT"), inverted(README));
    EXPECT_EQ(read_file(out + "/DOCS/ODD.BIN"), inverted(ODD));
    EXPECT_EQ(read_file(out + "/DOCS/SUB/BIG.BIN"), inverted(BIG));
    EXPECT_EQ(read_file(out + "/FILLER.BIN"), inverted(Bytes(4096, 'x')));
    for (const char *name : {"TOP.TXT", "EMPTY.DAT", "DOCS/README.TXT", "DOCS/ODD.BIN", "DOCS/SUB/BIG.BIN"})
        EXPECT_EQ(stat_of(out + "/" + name).st_mtime, disc2_time) << name;
}

TEST_F(Extraction, ExistingSizeIsComparedWhole) {
    open();
    // 2^32 + 3 bytes is not TOP.TXT's 3, though it is modulo 2^32.
    run_program({"mkdir", "-p", out});
    write_sparse_file(out + "/TOP.TXT", (uint64_t{1} << 32) + 3, 0, Bytes{'z'});
    set_mtime(out + "/TOP.TXT", FIXTURE_TIME);
    char path[1024];
    EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 1);
    EXPECT_EQ(read_file(out + "/TOP.TXT"), (Bytes{'t', 'o', 'p'}));
}

TEST_F(Extraction, ExtractFileFindsNamesIgnoringCase) {
    open();
    char path[1024];
    ASSERT_EQ(cdimage_extract_file("docs/readme.txt", path, sizeof path), 1);
    EXPECT_EQ(std::string(path), out + "/DOCS/README.TXT");
    EXPECT_EQ(read_file(path), README);
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"DOCS/", "DOCS/README.TXT"}));
    EXPECT_EQ(cdimage_extract_file("DOCS/MISSING.TXT", path, sizeof path), 0);
    EXPECT_EQ(cdimage_extract_file("README.TXT", path, sizeof path), 0);
}

TEST_F(Extraction, ExtractFileOfADirectoryCreatesItAlone) {
    open();
    char path[1024];
    ASSERT_EQ(cdimage_extract_file("docs/Sub", path, sizeof path), 1);
    EXPECT_EQ(std::string(path), out + "/DOCS/SUB");
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"DOCS/", "DOCS/SUB/"}));
    ASSERT_EQ(cdimage_extract_file("DOCS/NOTHING", path, sizeof path), 1);
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"DOCS/", "DOCS/NOTHING/", "DOCS/SUB/"}));
}

TEST_F(Extraction, PathsThatDoNotFitTheBufferWriteNothing) {
    open();
    const std::string file_path = out + "/DOCS/README.TXT";
    const std::string dir_path = out + "/DOCS/SUB";
    char path[2048];
    // The file's path and its terminator need length + 1 bytes.
    std::memset(path, '#', sizeof path);
    EXPECT_EQ(cdimage_extract_file("DOCS/README.TXT", path, file_path.size()), 0);
    EXPECT_EQ(path[file_path.size()], '#');
    // A directory is formed with a trailing '/': length + 2 bytes.
    for (size_t size : {size_t{0}, size_t{1}, dir_path.size(), dir_path.size() + 1}) {
        SCOPED_TRACE(size);
        std::memset(path, '#', sizeof path);
        EXPECT_EQ(cdimage_extract_file("DOCS/SUB", path, size), 0);
        EXPECT_TRUE(std::all_of(path + size, path + sizeof path, [](char c) { return c == '#'; }));
    }
    // What cannot come out creates nothing, not even the output directory.
    EXPECT_FALSE(path_exists(out));
    EXPECT_EQ(cdimage_extract_file("DOCS/README.TXT", path, file_path.size() + 1), 1);
    EXPECT_EQ(std::string(path), file_path);
    EXPECT_EQ(cdimage_extract_file("DOCS/SUB", path, dir_path.size() + 2), 1);
    EXPECT_EQ(std::string(path), dir_path);
}

// A shared output folder may hold links planted to lead writes elsewhere:
// no component below the output directory is followed, and each file that
// does not come out is named with the reason.
TEST_F(Extraction, LinksBelowTheOutputDirectoryAreRefusedAndNamed) {
    const std::string outside = tmp.at("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_text(outside + "/victim", "keep");
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), (out + "/DOCS").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/victim").c_str(), (out + "/TOP.TXT").c_str()), 0);
    ASSERT_EQ(mkdir((out + "/FILLER.BIN").c_str(), 0755), 0);
    open();

    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_all(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cdimage: TOP.TXT: TOP.TXT is a symbolic link, not followed\n"
              "cdimage: DOCS/README.TXT: DOCS is a symbolic link, not followed\n"
              "cdimage: DOCS/ODD.BIN: DOCS is a symbolic link, not followed\n"
              "cdimage: DOCS/SUB/BIG.BIN: DOCS is a symbolic link, not followed\n"
              "cdimage: FILLER.BIN: Is a directory\n");
    EXPECT_EQ(cdimage_failure_count(), 5);

    char path[1024];
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_file("DOCS/SUB", path, sizeof path), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cdimage: DOCS/SUB: DOCS is a symbolic link, not followed\n");
    EXPECT_EQ(cdimage_failure_count(), 1);

    EXPECT_EQ(list_tree(outside), std::vector<std::string>{"victim"});
    EXPECT_EQ(read_file(outside + "/victim"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"DOCS", "EMPTY.DAT", "FILLER.BIN/", "TOP.TXT"}));
}

TEST_F(Extraction, OutputDirectoryGivenAsALinkIsFollowed) {
    const std::string real = tmp.at("real");
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(symlink(real.c_str(), out.c_str()), 0);
    open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_all(), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(cdimage_failure_count(), 0);
    EXPECT_EQ(read_file(real + "/DOCS/SUB/BIG.BIN"), BIG);
}

// A file already there is replaced by a new file, never truncated: another
// name of the old one (a hard link planted in the output folder, leading
// to a file outside it) keeps its bytes.
TEST_F(Extraction, HardLinkInTheOutputFolderIsReplacedNotWrittenThrough) {
    const std::string victim = tmp.at("victim");
    write_text(victim, "the bytes of a file outside the output folder\n");
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ASSERT_EQ(link(victim.c_str(), (out + "/TOP.TXT").c_str()), 0);
    open();
    EXPECT_EQ(cdimage_extract_all(), 6);
    EXPECT_EQ(read_text(victim), "the bytes of a file outside the output folder\n");
    EXPECT_EQ(stat_of(victim).st_nlink, 1u);
    EXPECT_EQ(read_file(out + "/TOP.TXT"), (Bytes{'t', 'o', 'p'}));
}

// Unpacked into its own folder, a volume that holds its image's files by
// their names would overwrite the image as it is read: those files are
// refused, by device and inode, and named with the image's own path.
TEST(ExtractionRules, FilesOfTheImageItselfAreNotReplaced) {
    TempDir tmp;
    const Bytes volume = build_iso_volume({iso_file("GAME.BIN;1", Bytes(3000, 'b')), iso_file("GAME.CUE;1", Bytes{'c'}),
                                           iso_file("OTHER.TXT;1", Bytes{'o'})});
    const Bytes bin = wrap_sectors(volume, SectorMode::MODE1_2352);
    const std::string sheet = "FILE GAME.BIN BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    write_file(tmp.at("GAME.BIN"), bin);
    write_text(tmp.at("GAME.CUE"), sheet);
    // A second name of the track file is the track file too.
    ASSERT_EQ(mkdir(tmp.at("SUB").c_str(), 0755), 0);
    ASSERT_EQ(link(tmp.at("GAME.BIN").c_str(), tmp.at("SUB/OTHER.TXT").c_str()), 0);
    for (const std::string &out : {tmp.path, tmp.at("SUB")}) {
        SCOPED_TRACE(out);
        ASSERT_EQ(open_quietly(tmp.at("GAME.CUE"), out), 1);
        testing::internal::CaptureStderr();
        const int extracted = cdimage_extract_all();
        const std::string err = testing::internal::GetCapturedStderr();
        if (out == tmp.path) {
            EXPECT_EQ(extracted, 1);
            EXPECT_EQ(err, "cdimage: GAME.BIN: would replace the image's own " + tmp.at("GAME.BIN") + ", not written\n"
                           "cdimage: GAME.CUE: would replace the image's own " + tmp.at("GAME.CUE") + ", not written\n");
            EXPECT_EQ(cdimage_failure_count(), 2);
        } else {
            EXPECT_EQ(extracted, 2);
            EXPECT_EQ(err, "cdimage: OTHER.TXT: would replace the image's own " + tmp.at("GAME.BIN") + ", not written\n");
            EXPECT_EQ(cdimage_failure_count(), 1);
        }
        char path[1024];
        testing::internal::CaptureStderr();
        EXPECT_EQ(cdimage_extract_file("game.bin", path, sizeof path), out != tmp.path);
        testing::internal::GetCapturedStderr();
        cdimage_close();
        EXPECT_EQ(read_file(tmp.at("GAME.BIN")), bin);
        EXPECT_EQ(read_text(tmp.at("GAME.CUE")), sheet);
    }
    EXPECT_EQ(read_file(tmp.at("OTHER.TXT")), Bytes{'o'});
}

TEST_F(Extraction, LoadGivesExactlyTheFilesBytes) {
    open();
    for (const char *name : {"docs/sub/big.bin", "DOCS/ODD.BIN"}) {
        SCOPED_TRACE(name);
        uint32_t length = 0;
        void *data = cdimage_load_file(name, &length);
        ASSERT_NE(data, nullptr);
        const Bytes &expected = std::strcmp(name, "DOCS/ODD.BIN") == 0 ? ODD : BIG;
        EXPECT_EQ(Bytes(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + length), expected);
        std::free(data);
    }
    uint32_t length = 99;
    void *empty = cdimage_load_file("EMPTY.DAT", &length);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(length, 0u);
    std::free(empty);
    // Directories and unknown names give nothing and leave the length alone.
    length = 99;
    EXPECT_EQ(cdimage_load_file("DOCS/SUB", &length), nullptr);
    EXPECT_EQ(cdimage_load_file("NOPE", &length), nullptr);
    EXPECT_EQ(length, 99u);
    EXPECT_FALSE(path_exists(out));
}

// The entry table of an image stays filled while it is marked closed, so
// that only the calls' own guards keep them from extracting or loading.
TEST_F(Extraction, NothingWorksWithoutAnOpenImage) {
    open();
    mark_open(false);
    char path[1024];
    uint32_t length = 99;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_all(), 0);
    EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 0);
    EXPECT_EQ(cdimage_load_file("TOP.TXT", &length), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 99u);
    EXPECT_FALSE(path_exists(out));
    mark_open(true);
}

struct ShortTrackCase {
    const char *what;
    uint32_t cut_sector;    // of BIG.BIN's four: the track file ends inside it
    uint32_t cut_byte;      // after this many of its user bytes; 0: no cut
    uint32_t track_end;     // of BIG.BIN's sectors: where track 02 begins
    uint32_t unread;        // of BIG.BIN's sectors: the first that cannot be read
};

TEST(ExtractionRules, UnreadableSectorLeavesNoFileAndIsNamed) {
    const Bytes big = pattern(3 * 2048 + 5, 1);
    const std::vector<IsoNode> tree = {iso_file("OK.TXT;1", Bytes{'o', 'k'}), iso_dir("DIR", {iso_file("BIG.BIN;1", big)})};
    const Bytes volume = build_iso_volume(tree);
    // BIG.BIN is the last file: its four sectors end the volume.
    const uint32_t sectors = static_cast<uint32_t>(volume.size() / ISO_SECTOR);
    const uint32_t big_extent = sectors - 4;
    const std::vector<ShortTrackCase> cases = {
        {"the track file ends inside the third sector", 2, 100, 14, 2},
        {"the last sector is short though the file's 5 bytes are there", 3, 15, 14, 3},
        {"the last sector lies past the track's end though the file holds it", 0, 0, 3, 3},
    };
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        for (const ShortTrackCase &c : cases) {
            SCOPED_TRACE(std::string(mode_word(mode)) + ": " + c.what);
            TempDir tmp;
            Bytes stored = wrap_sectors(volume, mode);
            if (c.cut_byte != 0)
                stored.resize(static_cast<size_t>(big_extent + c.cut_sector) * stored_sector_size(mode) +
                              user_data_offset(mode) + c.cut_byte);
            write_file(tmp.at("disc.bin"), stored);
            write_text(tmp.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 ") + mode_word(mode) +
                                               "\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 " +
                                               msf_text(big_extent + c.track_end) + "\n");
            ASSERT_EQ(open_quietly(tmp.at("disc.cue"), tmp.at("out")), 1);
            ASSERT_EQ(cdimage_entry_count(), 3);
            testing::internal::CaptureStderr();
            EXPECT_EQ(cdimage_extract_all(), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "cdimage: DIR/BIG.BIN: read failed at sector " + std::to_string(big_extent + c.unread) + "\n");
            EXPECT_EQ(cdimage_failure_count(), 1);
            EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{"DIR/", "OK.TXT"}));
            // Loading names the same sector, and counts the failure.
            uint32_t length = 99;
            testing::internal::CaptureStderr();
            EXPECT_EQ(cdimage_load_file("dir/big.bin", &length), nullptr);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "cdimage: DIR/BIG.BIN: read failed at sector " + std::to_string(big_extent + c.unread) + "\n");
            EXPECT_EQ(cdimage_failure_count(), 1);
            EXPECT_EQ(length, 99u);
            cdimage_close();
        }
    }
}

// Files are copied in runs of 1 MiB (or file to file where sectors are bare
// 2048-byte blocks): sizes at and around the seams between runs, and a cut
// in the second run of a file.
TEST(ExtractionRules, LargeFilesComeOutWholeAcrossRunSeams) {
    const size_t RUN = static_cast<size_t>(SECTORS_PER_RUN) * ISO_SECTOR;
    const std::vector<size_t> sizes = {RUN - 1, RUN, RUN + 1, 3 * RUN + 2048 + 5};
    std::vector<IsoNode> tree;
    for (size_t i = 0; i < sizes.size(); ++i)
        tree.push_back(iso_file("F" + std::to_string(i) + ".BIN;1", pattern(sizes[i], static_cast<uint8_t>(i))));
    tree.push_back(iso_file("LAST.BIN;1", pattern(2 * RUN + 10, 99)));
    const Bytes volume = build_iso_volume(tree);
    // LAST.BIN ends the volume; the track file is cut inside its second run.
    const uint32_t last_extent = static_cast<uint32_t>(volume.size() / ISO_SECTOR) - 2 * SECTORS_PER_RUN - 1;
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir tmp;
        Bytes stored = wrap_sectors(volume, mode);
        stored.resize(static_cast<size_t>(last_extent + SECTORS_PER_RUN + 100) * stored_sector_size(mode));
        write_file(tmp.at("disc.bin"), stored);
        write_text(tmp.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 ") + mode_word(mode) +
                                           "\nINDEX 01 00:00:00\n");
        ASSERT_EQ(open_quietly(tmp.at("disc.cue"), tmp.at("out")), 1);
        EXPECT_EQ(cdimage_extract_all(), static_cast<int>(sizes.size()));
        EXPECT_FALSE(path_exists(tmp.at("out/LAST.BIN")));
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "F" + std::to_string(i) + ".BIN";
            SCOPED_TRACE(name);
            EXPECT_EQ(read_file(tmp.at("out/" + name)), pattern(sizes[i], static_cast<uint8_t>(i)));
            uint32_t length = 0;
            std::unique_ptr<void, FreeDeleter> loaded(cdimage_load_file(name.c_str(), &length));
            ASSERT_NE(loaded, nullptr);
            ASSERT_EQ(length, sizes[i]);
            EXPECT_EQ(Bytes(static_cast<uint8_t *>(loaded.get()), static_cast<uint8_t *>(loaded.get()) + length),
                      pattern(sizes[i], static_cast<uint8_t>(i)));
        }
        uint32_t length = 7;
        EXPECT_EQ(cdimage_load_file("LAST.BIN", &length), nullptr);
        EXPECT_EQ(length, 7u);
        cdimage_close();
    }
}

TEST(ExtractionRules, FileInThreeExtentsComesOutAsOne) {
    const Bytes data = pattern(2 * 4096 + 1234, 3);
    const Bytes volume = build_iso_volume({iso_multi_extent_file("M.BIN;1", data, 4096), iso_file("N.TXT;1", Bytes{'n'})});
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir tmp;
        const std::string cue = write_data_image(tmp.path, volume, mode);
        Opened opened = open_and_capture(cue, tmp.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 2 files\n");
        EXPECT_EQ(cdimage_extract_all(), 2);
        EXPECT_EQ(read_file(tmp.at("out/M.BIN")), data);
        uint32_t length = 0;
        std::unique_ptr<void, FreeDeleter> loaded(cdimage_load_file("m.bin", &length));
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(Bytes(static_cast<uint8_t *>(loaded.get()), static_cast<uint8_t *>(loaded.get()) + length), data);
        cdimage_close();
    }
}

// A root directory at sector 18 holding the records, the file data at
// sectors 40 to 42.
Bytes volume_of_records(const std::vector<Bytes> &records) {
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(18, ISO_SECTOR));
    Bytes root;
    for (const Bytes &record : records)
        root.insert(root.end(), record.begin(), record.end());
    put_bytes(volume, 18, root);
    put_bytes(volume, 40, pattern(3 * ISO_SECTOR, 1));
    return volume;
}

Bytes continued(const std::string &identifier, uint32_t extent, uint32_t size) {
    Bytes record = directory_record(identifier, extent, size, false);
    record[RECORD_FLAGS_OFFSET] |= RECORD_FLAG_MULTI_EXTENT;
    return record;
}

TEST(ExtractionRules, FileWhoseMiddleExtentIsUnreadableFailsAsOne) {
    // M.BIN's second extent lies far past the 43 sectors of the track.
    const Bytes volume = volume_of_records({continued("M.BIN;1", 40, ISO_SECTOR), continued("M.BIN;1", 9999, ISO_SECTOR),
                                            directory_record("M.BIN;1", 41, 10, false),
                                            directory_record("N.TXT;1", 42, 1, false)});
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir tmp;
        ASSERT_EQ(open_and_capture(write_data_image(tmp.path, volume, mode), tmp.at("out")).result, 1);
        ASSERT_EQ(cdimage_entry_count(), 2);
        EXPECT_EQ(cdimage_extract_all(), 1);
        EXPECT_EQ(list_tree(tmp.at("out")), std::vector<std::string>{"N.TXT"});
        char path[1024];
        EXPECT_EQ(cdimage_extract_file("M.BIN", path, sizeof path), 0);
        EXPECT_FALSE(path_exists(tmp.at("out/M.BIN")));
        uint32_t length = 99;
        EXPECT_EQ(cdimage_load_file("M.BIN", &length), nullptr);
        EXPECT_EQ(length, 99u);
        cdimage_close();
    }
}

// A file whose sectors lie past the track's end is named before anything
// is created for it: no output directory, no directory of its path.
TEST(ExtractionRules, ExtractFileOfAnUnreadableFileCreatesNothing) {
    // M.BIN's second extent lies far past the 43 sectors of the track.
    const Bytes volume = volume_of_records({continued("M.BIN;1", 40, ISO_SECTOR), directory_record("M.BIN;1", 9999, 10, false)});
    TempDir tmp;
    ASSERT_EQ(open_quietly(write_data_image(tmp.path, volume, SectorMode::MODE1_2352), tmp.at("out/sub")), 1);
    char path[1024];
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_file("M.BIN", path, sizeof path), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cdimage: M.BIN: read failed at sector 9999\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
    EXPECT_FALSE(path_exists(tmp.at("out")));
    cdimage_close();
}

struct SameOutputNameCase {
    const char *what;
    std::string first;   // identifiers as recorded, in record order
    std::string second;
    std::string name;    // the output name both come to
    std::string err;     // what the extraction names
};

// Two records of one output name (an identifier holding '/' made safe
// beside the real name, names differing in case only): the first comes out,
// the second is named by its identifier as recorded and counted, never
// written over it. Two versions of one identifier are no such pair: the
// first in the directory is the file, and nothing is said.
TEST(ExtractionRules, SecondEntryOfAnOutputNameIsNamedNotWritten) {
    const std::vector<SameOutputNameCase> cases = {
        {"a '/' made safe", "A_B;1", "A/B;1", "A_B", "cdimage: A/B: same output name as A_B, not written\n"},
        {"the case of a letter", "DUP.TXT;1", "dup.txt;1", "DUP.TXT",
         "cdimage: dup.txt: same output name as DUP.TXT, not written\n"},
        {"a trailing dot dropped", "Dot.;1", "DOT;1", "DOT", "cdimage: DOT: same output name as Dot, not written\n"},
        {"two versions", "V.TXT;2", "V.TXT;1", "V.TXT", ""},
    };
    const Bytes data = pattern(3 * ISO_SECTOR, 1);
    for (const SameOutputNameCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const Bytes volume = volume_of_records({directory_record(c.first, 40, 10, false),
                                                directory_record(c.second, 41, 20, false),
                                                directory_record("Z.TXT;1", 42, 5, false)});
        ASSERT_EQ(open_quietly(write_data_image(tmp.path, volume, SectorMode::MODE1_2048), tmp.at("out")), 1);
        ASSERT_EQ(cdimage_entry_count(), 3);
        testing::internal::CaptureStderr();
        EXPECT_EQ(cdimage_extract_all(), 2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(cdimage_failure_count(), c.err.empty() ? 0 : 1);
        EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{c.name, "Z.TXT"}));
        EXPECT_EQ(read_file(tmp.at("out/" + c.name)), slice(data, 0, 10));
        cdimage_close();
    }
}

TEST(ExtractionRules, FileOf4GiBOrMoreIsNotLoaded) {
    // Two extents of 2 GiB, one behind the other in a sparse track of 4 GiB
    // and more.
    TempDir tmp;
    const uint32_t half = 0x80000000u;
    const Bytes head = volume_of_records(
        {continued("HUGE.BIN;1", 40, half), directory_record("HUGE.BIN;1", 40 + half / ISO_SECTOR, half, false)});
    write_sparse_file(tmp.at("disc.bin"), 40 * uint64_t{ISO_SECTOR} + 2 * uint64_t{half}, 0, head);
    write_text(tmp.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");
    ASSERT_EQ(open_and_capture(tmp.at("disc.cue"), tmp.at("out")).result, 1);
    ASSERT_EQ(cdimage_entry_count(), 1);
    EXPECT_EQ(entry_view(0).size, uint64_t{1} << 32);
    uint32_t length = 99;
    EXPECT_EQ(cdimage_load_file("HUGE.BIN", &length), nullptr);
    EXPECT_EQ(length, 99u);
    cdimage_close();
}

TEST(ExtractionRules, FirstEntryOfANameWins) {
    TempDir tmp;
    // Two versions of A.TXT of different sizes, and a file and a directory
    // both named SAME.
    Bytes volume = build_iso_volume({
        iso_file("A.TXT;2", Bytes{'n', 'e', 'w'}),
        iso_file("A.TXT;1", Bytes{'o', 'l', 'd', 'e', 'r'}),
        iso_dir("SAME", {iso_file("IN.TXT;1", Bytes{'i'})}),
        iso_file("SAME;1", Bytes{'s'}),
    });
    std::string cue = write_data_image(tmp.path, volume, SectorMode::MODE2_2352);
    ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
    char path[1024];
    ASSERT_EQ(cdimage_extract_file("same", path, sizeof path), 1);
    EXPECT_EQ(read_file(tmp.at("out/SAME")), Bytes{'s'});
    // The first version of A.TXT comes out and the other is passed over;
    // SAME/IN.TXT cannot be created under the file SAME.
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_all(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cdimage: SAME/IN.TXT: Not a directory\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
    EXPECT_EQ(read_file(tmp.at("out/A.TXT")), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{"A.TXT", "SAME"}));
    uint32_t length = 0;
    std::unique_ptr<void, FreeDeleter> loaded(cdimage_load_file("a.txt", &length));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(loaded.get()), static_cast<uint8_t *>(loaded.get()) + length),
              (Bytes{'n', 'e', 'w'}));
    cdimage_close();
}

TEST(ExtractionRules, NoVolumeExtractsNothing) {
    TempDir tmp;
    std::string cue = write_data_image(tmp.path, Bytes(40 * ISO_SECTOR, 0), SectorMode::MODE1_2048);
    ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
    EXPECT_EQ(cdimage_extract_all(), 0);
    EXPECT_FALSE(path_exists(tmp.at("out")));
    cdimage_close();
}

}  // namespace
