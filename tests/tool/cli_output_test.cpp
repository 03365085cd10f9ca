// What a run writes, as a user meets it through the built cdunpack binary:
// files already in the output folder, the image's own files there, two
// entries of one output name, the file size limit and the output path's
// parents.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixtures.h"

namespace {

// disc.bin: a MODE1/2352 data track holding the volume, then a second of an
// audio track; disc.cue lists both.
Bytes write_disc(const TempDir &dir, const std::vector<IsoNode> &tree) {
    Bytes bin = wrap_sectors(build_iso_volume(tree), SectorMode::MODE1_2352);
    const uint32_t audio_start = static_cast<uint32_t>(bin.size() / RAW_SECTOR);
    append(bin, pattern(75 * RAW_SECTOR, 3));
    write_file(dir.at("disc.bin"), bin);
    write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                   "TRACK 02 AUDIO\nINDEX 01 " + msf_text(audio_start) + "\n");
    return bin;
}

int mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// A volume mastered with lower-case names beside upper-case ones: under the
// volume's ISO 9660 names both come to README.TXT; the second is named by
// its identifier as recorded, and no file is lost without a word.
TEST(CliOutput, NamesThatDifferOnlyInCaseAreNamedNotLost) {
    if (!have_program("genisoimage"))
        GTEST_SKIP() << "genisoimage is not installed (scripts/setup-deps.sh installs it)";
    TempDir work;
    ASSERT_EQ(mkdir(work.at("tree").c_str(), 0755), 0);
    write_text(work.at("tree/README.TXT"), "upper\n");
    write_text(work.at("tree/readme.txt"), "lower\n");
    const RunResult mastered =
        run_program({"genisoimage", "-quiet", "-allow-lowercase", "-o", "disc.iso", "tree"}, work.path);
    ASSERT_EQ(mastered.exit_code, 0) << mastered.err;
    write_text(work.at("disc.cue"), "FILE disc.iso BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");

    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);

    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 1 tracks, 2 files\n"
                       "cdimage: readme.txt: same output name as README.TXT, not written\n");
    EXPECT_EQ(run.out, "1 files\n");
    EXPECT_EQ(read_text(work.at("out/README.TXT")), "upper\n");
}

}  // namespace

// `ln ../passwd-copy out/README.TXT` before a run: the file outside the
// output folder keeps its bytes, for the volume's files and the WAVE files
// alike; the names in the output folder get the disc's files.
TEST(CliOutput, HardLinksInTheOutputFolderAreReplacedNotWrittenThrough) {
    TempDir work;
    const Bytes bin = write_disc(work, {iso_file("README.TXT;1", text_bytes("read me\n"))});
    const std::string secret = "root:x:0:0:root:/root:/bin/sh\n";
    write_text(work.at("passwd-copy"), secret);
    ASSERT_EQ(mkdir(work.at("out").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.at("out/audio").c_str(), 0755), 0);
    ASSERT_EQ(link(work.at("passwd-copy").c_str(), work.at("out/README.TXT").c_str()), 0);
    ASSERT_EQ(link(work.at("passwd-copy").c_str(), work.at("out/audio/track02.wav").c_str()), 0);

    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 1 files\n");
    EXPECT_EQ(run.out, "1 files\ntrack 02: 0:01\n");
    EXPECT_EQ(read_text(work.at("passwd-copy")), secret);
    EXPECT_EQ(read_text(work.at("out/README.TXT")), "read me\n");
    EXPECT_EQ(read_file(work.at("out/audio/track02.wav")), wave_file(slice(bin, bin.size() - 75 * RAW_SECTOR, 75 * RAW_SECTOR)));
}

// `cd dir && cdunpack GAME.CUE .` on a volume that holds GAME.BIN, with a
// track file kept as audio/track03.wav: the image's own files are refused
// by device and inode and named, everything else comes out.
TEST(CliOutput, UnpackingIntoTheImagesOwnFolderLeavesTheImageWhole) {
    TempDir work;
    Bytes bin = wrap_sectors(build_iso_volume({iso_file("GAME.BIN;1", Bytes(3000, 'g')),
                                               iso_file("README.TXT;1", text_bytes("read me\n"))}),
                             SectorMode::MODE1_2352);
    const uint32_t audio_start = static_cast<uint32_t>(bin.size() / RAW_SECTOR);
    append(bin, pattern(75 * RAW_SECTOR, 3));
    write_file(work.at("GAME.BIN"), bin);
    ASSERT_EQ(mkdir(work.at("audio").c_str(), 0755), 0);
    const Bytes track03 = wave_file(pattern(75 * RAW_SECTOR, 8));
    write_file(work.at("audio/track03.wav"), track03);
    const std::string sheet = "FILE GAME.BIN BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                              "TRACK 02 AUDIO\nINDEX 01 " + msf_text(audio_start) + "\n"
                              "FILE audio/track03.wav WAVE\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n";
    write_text(work.at("GAME.CUE"), sheet);

    const RunResult run = run_program({cdunpack_binary(), "GAME.CUE", "."}, work.path);

    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "cdimage: GAME.CUE, 3 tracks, 2 files\n"
                       "cdimage: GAME.BIN: would replace the image's own ./GAME.BIN, not written\n"
                       "./audio/track03.wav: would replace the image's own ./audio/track03.wav, not written\n");
    EXPECT_EQ(run.out, "1 files\ntrack 02: 0:01\n");
    EXPECT_EQ(read_file(work.at("GAME.BIN")), bin);
    EXPECT_EQ(read_text(work.at("GAME.CUE")), sheet);
    EXPECT_EQ(read_file(work.at("audio/track03.wav")), track03);
    EXPECT_EQ(read_text(work.at("README.TXT")), "read me\n");
}

// Records that come to one output name: the count says what was written,
// the second of each is named, and the exit code tells.
TEST(CliOutput, SecondEntryOfAnOutputNameIsNamedAndTheExitCodeTells) {
    TempDir work;
    write_disc(work, {iso_file("A_B;1", text_bytes("real\n")), iso_file("A/B;1", text_bytes("slash\n")),
                      iso_file("DUP.TXT;1", text_bytes("upper\n")), iso_file("dup.txt;1", text_bytes("lower\n"))});

    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);

    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 4 files\n"
                       "cdimage: A/B: same output name as A_B, not written\n"
                       "cdimage: dup.txt: same output name as DUP.TXT, not written\n");
    EXPECT_EQ(run.out, "2 files\ntrack 02: 0:01\n");
    EXPECT_EQ(read_text(work.at("out/A_B")), "real\n");
    EXPECT_EQ(read_text(work.at("out/DUP.TXT")), "upper\n");
}

struct SizeLimitCase {
    SectorMode data_mode;    // bare 2048-byte sectors are copied file to file, raw ones written
    const char *audio_type;  // MOTOROLA samples are swapped and written, BINARY ones copied
};

// Under `ulimit -f 100` (51,200 bytes) a file that reaches the limit fails
// its write, is named and removed, and the run goes on to its end.
TEST(CliOutput, FileSizeLimitFailsTheFilesThatReachItAndTheRunGoesOn) {
    const std::vector<SizeLimitCase> cases = {{SectorMode::MODE1_2048, "BINARY"}, {SectorMode::MODE1_2352, "MOTOROLA"}};
    for (const SizeLimitCase &c : cases) {
        SCOPED_TRACE(mode_word(c.data_mode));
        TempDir work;
        const Bytes volume = build_iso_volume({iso_file("SMALL.TXT;1", pattern(100, 1)),
                                               iso_file("BIG.BIN;1", pattern(200000, 2))});
        write_data_image(work.path, volume, c.data_mode);
        write_file(work.at("audio.bin"), pattern(75 * RAW_SECTOR, 3));
        write_text(work.at("disc.cue"), read_text(work.at("disc.cue")) + "FILE audio.bin " + c.audio_type +
                                            "\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");

        const RunResult run = run_program(
            {"/bin/sh", "-c", "ulimit -f 100; exec \"$0\" \"$@\"", cdunpack_binary(), "disc.cue", "out"}, work.path);

        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 2 files\n"
                           "cdimage: BIG.BIN: File too large\n"
                           "out/audio/track02.wav: File too large\n");
        EXPECT_EQ(run.out, "1 files\n");
        EXPECT_EQ(list_tree(work.at("out")), (std::vector<std::string>{"SMALL.TXT", "audio/"}));
        EXPECT_EQ(read_file(work.at("out/SMALL.TXT")), pattern(100, 1));
    }
}

// `cdunpack disc.cue a/b/out` with no a/: the parents are created, as
// mkdir -p creates them.
TEST(CliOutput, MissingParentsOfTheOutputDirectoryAreCreated) {
    TempDir work;
    umask(022);
    write_disc(work, {iso_file("A.TXT;1", text_bytes("a\n"))});

    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "a/b/out"}, work.path);

    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 1 files\n");
    EXPECT_EQ(run.out, "1 files\ntrack 02: 0:01\n");
    for (const char *dir : {"a", "a/b", "a/b/out"})
        EXPECT_EQ(mode_of(work.at(dir)), 0755) << dir;
    EXPECT_EQ(read_text(work.at("a/b/out/A.TXT")), "a\n");
    EXPECT_TRUE(path_exists(work.at("a/b/out/audio/track02.wav")));
}
