// Two images unpacked at the same time from two threads, each through a
// handle of its own, come out exactly as two separate runs of the tool
// write them. Run under ThreadSanitizer too (the "tsan" preset).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "cdimage.h"
#include "fixtures.h"
#include "handle_unpack.h"

namespace {

// Every path below `root` with the bytes of each file.
std::vector<std::pair<std::string, Bytes>> tree_contents(const std::string &root)
{
    std::vector<std::pair<std::string, Bytes>> contents;
    for (const std::string &path : list_tree(root))
        contents.emplace_back(path, path.back() == '/' ? Bytes{} : read_file(root + "/" + path));
    return contents;
}

// A Video CD of two one-second movies, mastered by vcdimager; its cue sheet.
std::string make_video_cd(const TempDir &dir)
{
    for (int seed : {1, 2}) {
        const std::string movie = "movie" + std::to_string(seed) + ".mpg";
        const RunResult made = run_program({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                                            "testsrc=size=352x240:rate=29.97", "-f", "lavfi", "-i",
                                            "sine=frequency=" + std::to_string(300 * seed), "-t", "1",
                                            "-target", "ntsc-vcd", "-y", movie},
                                           dir.path);
        EXPECT_EQ(0, made.exit_code) << made.err;
    }
    const RunResult mastered = run_program({"vcdimager", "-t", "vcd2", "movie1.mpg", "movie2.mpg"}, dir.path);
    EXPECT_EQ(0, mastered.exit_code) << mastered.err;
    return dir.at("videocd.cue");
}

TEST(Threads, TwoHandlesUnpackTwoImagesAtOnceAsTwoRunsOfTheTool) {
    for (const char *program : {"ffmpeg", "vcdimager"})
        if (!have_program(program))
            GTEST_SKIP() << program << " is not installed (scripts/setup-deps.sh installs it)";
    TempDir work;
    // A disc with a data track and audio tracks (raw, WAVE, and compressed
    // ones where the encoders are installed), and a Video CD.
    const RunResult made = run_program({MAKE_SAMPLE_DISC_BINARY, "sample"}, work.path);
    ASSERT_EQ(0, made.exit_code) << made.err;
    const std::string sample_cue = work.at("sample/sample.cue");
    const std::string video_cue = make_video_cd(work);

    for (const auto &[cue, out] : {std::pair{sample_cue, work.at("tool-sample")}, {video_cue, work.at("tool-vcd")}}) {
        const RunResult run = run_program({cdunpack_binary(), cue, out});
        ASSERT_EQ(0, run.exit_code) << run.err;
    }
    Unpacked sample, video;
    std::thread first([&] { sample = unpack_with_handle(sample_cue, work.at("thread-sample")); });
    std::thread second([&] { video = unpack_with_handle(video_cue, work.at("thread-vcd")); });
    first.join();
    second.join();

    ASSERT_TRUE(sample.opened);
    ASSERT_TRUE(video.opened);
    EXPECT_EQ(0, sample.failures);
    EXPECT_EQ(0, video.failures);
    EXPECT_GT(sample.files, 0);
    EXPECT_GT(video.files, 0);
    const auto sample_tree = tree_contents(work.at("thread-sample"));
    EXPECT_TRUE(tree_contents(work.at("tool-sample")) == sample_tree);
    EXPECT_TRUE(tree_contents(work.at("tool-vcd")) == tree_contents(work.at("thread-vcd")));
    // The sample disc's audio came out too, not only its files.
    bool has_wave = false;
    for (const auto &entry : sample_tree)
        has_wave = has_wave || entry.first.rfind("audio/track", 0) == 0;
    EXPECT_TRUE(has_wave);
}

}  // namespace
