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

namespace {

constexpr std::size_t WAVE_HEADER_SIZE = 44;

struct Unpacked {
    bool opened = false;
    int files = 0;
    int failures = -1;
};

// What the tool does, through one handle: the volume's files, then each
// audio track as a WAVE file whose samples the library writes.
Unpacked unpack(const std::string &cue, const std::string &out)
{
    Unpacked result;
    cdimage_handle *disc = cdimage_handle_new();
    if (disc == nullptr)
        return result;
    cdimage_handle_set_option(disc, CDIMAGE_OPTION_MESSAGES, 0);
    result.opened = cdimage_handle_open(disc, cue.c_str(), out.c_str()) == 1;
    if (result.opened) {
        result.files = cdimage_handle_extract_all(disc);
        for (int index = 0; index < cdimage_handle_track_count(disc); ++index) {
            const int number = cdimage_handle_track_number(disc, index);
            uint32_t frames = 0, rate = 0;
            if (!cdimage_handle_track_is_audio(disc, number) ||
                !cdimage_handle_audio_frames(disc, number, &frames, &rate))
                continue;
            mkdir((out + "/audio").c_str(), 0755);
            char name[32];
            std::snprintf(name, sizeof name, "/audio/track%02d.wav", number);
            const std::string path = out + name;
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            const Bytes header = slice(wave_file(Bytes(static_cast<std::size_t>(frames) * 4), rate), 0,
                                       WAVE_HEADER_SIZE);
            uint32_t written = 0;
            if (fd < 0 || write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size()) ||
                cdimage_handle_write_audio(disc, number, fd, path.c_str(), frames, &written) !=
                    CDIMAGE_AUDIO_WHOLE ||
                written != frames)
                cdimage_handle_record_loss(disc, CDIMAGE_LINE_TRACK_LOST, path.c_str(), "not written whole");
            if (fd >= 0)
                close(fd);
        }
        result.failures = cdimage_handle_failure_count(disc);
    }
    cdimage_handle_free(disc);
    return result;
}

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
    std::thread first([&] { sample = unpack(sample_cue, work.at("thread-sample")); });
    std::thread second([&] { video = unpack(video_cue, work.at("thread-vcd")); });
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
