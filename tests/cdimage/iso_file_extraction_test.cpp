// Taking files out of the mounted volume: extraction of one file or
// directory by name, of every file, and loading a file into memory.
#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
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

TEST_F(Extraction, SecondRunKeepsFilesOfTheRightSizeAndCountsThemAgain) {
    open();
    ASSERT_EQ(cdimage_extract_all(), 6);
    // Same size, other bytes: left alone. Other size: written again.
    write_file(out + "/DOCS/README.TXT", Bytes(README.size(), '?'));
    write_file(out + "/TOP.TXT", Bytes{'c', 'h', 'a', 'n', 'g', 'e', 'd'});
    EXPECT_EQ(cdimage_extract_all(), 6);
    EXPECT_EQ(read_file(out + "/DOCS/README.TXT"), Bytes(README.size(), '?'));
    EXPECT_EQ(read_file(out + "/TOP.TXT"), (Bytes{'t', 'o', 'p'}));
}

TEST_F(Extraction, ExistingSizeIsComparedModulo2To32) {
    open();
    // 2^32 + 3 bytes stands for TOP.TXT's 3.
    run_program({"mkdir", "-p", out});
    write_sparse_file(out + "/TOP.TXT", (uint64_t{1} << 32) + 3, 0, Bytes{'z'});
    char path[1024];
    EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 1);
    EXPECT_EQ(file_size(out + "/TOP.TXT"), (uint64_t{1} << 32) + 3);
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
    EXPECT_FALSE(path_exists(out + "/DOCS"));
    EXPECT_EQ(path[file_path.size()], '#');
    // A directory is formed with a trailing '/': length + 2 bytes.
    for (size_t size : {size_t{0}, size_t{1}, dir_path.size(), dir_path.size() + 1}) {
        SCOPED_TRACE(size);
        std::memset(path, '#', sizeof path);
        EXPECT_EQ(cdimage_extract_file("DOCS/SUB", path, size), 0);
        EXPECT_TRUE(std::all_of(path + size, path + sizeof path, [](char c) { return c == '#'; }));
        EXPECT_FALSE(path_exists(out + "/DOCS/SUB"));
    }
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

TEST_F(Extraction, NothingWorksWithoutAnOpenImage) {
    open();
    cdimage_close();
    char path[1024];
    uint32_t length = 99;
    EXPECT_EQ(cdimage_extract_all(), 0);
    EXPECT_EQ(cdimage_extract_file("TOP.TXT", path, sizeof path), 0);
    EXPECT_EQ(cdimage_load_file("TOP.TXT", &length), nullptr);
    EXPECT_EQ(length, 99u);
    EXPECT_FALSE(path_exists(out));
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
            ASSERT_EQ(g_image.entry_count, 3);
            testing::internal::CaptureStderr();
            EXPECT_EQ(cdimage_extract_all(), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "cdimage: DIR/BIG.BIN: read failed at sector " + std::to_string(big_extent + c.unread) + "\n");
            EXPECT_EQ(cdimage_failure_count(), 1);
            EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{"DIR/", "OK.TXT"}));
            uint32_t length = 99;
            EXPECT_EQ(cdimage_load_file("DIR/BIG.BIN", &length), nullptr);
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
    // Both A.TXT calls resolve to the first; SAME/IN.TXT cannot be created
    // under the file SAME.
    EXPECT_EQ(cdimage_extract_all(), 3);
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
