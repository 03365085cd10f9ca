// The command line as a user meets it: the built cdunpack binary, its
// arguments, its output directory, its messages and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

// The mode bits of a directory, or -1 when the path is not one.
int directory_mode(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

}  // namespace

TEST(Cli, WrongArgumentCountPrintsUsageAndCreatesNothing) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"disc.cue"}, {"disc.cue", "out", "extra"}};
    for (const auto &arguments : argument_lists) {
        TempDir work;
        write_text(work.at("disc.cue"), "FILE disc.bin BINARY\n");
        std::vector<std::string> argv = {cdunpack_binary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(1, run.exit_code) << arguments.size();
        EXPECT_EQ("usage: " + cdunpack_binary() + " <image.cue> <out>\n", run.err) << arguments.size();
        EXPECT_EQ("", run.out) << arguments.size();
        EXPECT_EQ(std::vector<std::string>{"disc.cue"}, list_tree(work.path)) << arguments.size();
    }
}

TEST(Cli, MissingCueSheetCreatesTheDirectoryAndFails) {
    TempDir work;
    umask(022);
    RunResult run = run_program({cdunpack_binary(), "missing.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("cdunpack: missing.cue: No such file or directory\nmissing.cue: cannot open the image\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0755, directory_mode(work.at("out")));
    EXPECT_EQ(std::vector<std::string>{"out/"}, list_tree(work.path));
}

TEST(Cli, ImageOfAudioTracksOnlyDoesNotOpen) {
    TempDir work;
    umask(022);
    write_sectors(work.at("music.bin"), 200);
    write_text(work.at("music.cue"),
               "FILE music.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n");
    RunResult run = run_program({cdunpack_binary(), "music.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("music.cue: cannot open the image\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0755, directory_mode(work.at("out")));
    EXPECT_EQ((std::vector<std::string>{"music.bin", "music.cue", "out/"}), list_tree(work.path));
}

TEST(Cli, MissingTrackFileIsReportedBeforeTheToolsLine) {
    TempDir work;
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                    "FILE side.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("cdimage: ./disc.bin is missing: only its audio tracks\n"
              "cdimage: ./side.wav is missing\n"
              "disc.cue: cannot open the image\n",
              run.err);
    EXPECT_EQ("", run.out);
}

TEST(Cli, ImageWithoutVolumeOpensAndExitsZero) {
    TempDir work;
    write_sectors(work.at("disc.bin"), 300);
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                    "TRACK 02 AUDIO\nINDEX 01 00:02:00\n");
    ASSERT_EQ(0, mkdir(work.at("out").c_str(), 0755));
    write_text(work.at("out/keep.txt"), "kept\n");
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("cdimage: disc.cue has no ISO 9660 data track\n"
              "cdimage: disc.cue, 2 tracks, 0 files\n",
              run.err);
    EXPECT_EQ(0u, run.out.rfind("0 files\n", 0)) << run.out;
    EXPECT_EQ(read_file(work.at("out/keep.txt")), Bytes({'k', 'e', 'p', 't', '\n'}));
}
