// The tool interrupted (SIGINT, SIGTERM, SIGHUP) while it writes a large
// file of the volume or a WAVE file: the file being written is removed, no
// other name is left behind, and the process ends by that signal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace {

// Large enough that the write is still going when the signal comes; the
// track files are sparse, only their last bytes are written.
constexpr uint64_t BIG_SIZE = 256ull << 20;
constexpr uint32_t BIG_EXTENT = 24;
const Bytes MARKER = {'t', 'h', 'e', ' ', 'e', 'n', 'd'};

enum class Writing { VOLUME_FILE, WAVE_FILE };

struct InterruptionCase {
    const char *what;
    Writing writing;
    const char *form;  // the data track's mode, or the audio file's type
    int signal_number;
};

// The volume: one file, BIG.BIN, of BIG_SIZE bytes at BIG_EXTENT, whose last
// bytes are the marker; the track file is sparse.
void write_big_volume_image(const TempDir &dir, SectorMode mode) {
    Bytes head;
    put_bytes(head, 16, primary_descriptor(20, ISO_SECTOR));
    put_bytes(head, 20, directory_record("BIG.BIN;1", BIG_EXTENT, static_cast<uint32_t>(BIG_SIZE), false));
    const Bytes stored_head = wrap_sectors(head, mode);
    const uint64_t sector = stored_sector_size(mode);
    const uint64_t last_sector = BIG_EXTENT + BIG_SIZE / ISO_SECTOR - 1;
    const uint64_t marker_at = last_sector * sector + user_data_offset(mode) + ISO_SECTOR - MARKER.size();
    write_sparse_file(dir.at("disc.bin"), (last_sector + 1) * sector, marker_at, MARKER);
    // The head sectors go in front, over the sparse zeros.
    int fd = open(dir.at("disc.bin").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, stored_head.data(), stored_head.size(), 0), static_cast<ssize_t>(stored_head.size()));
    close(fd);
    write_text(dir.at("disc.cue"),
               std::string("FILE disc.bin BINARY\nTRACK 01 ") + mode_word(mode) + "\nINDEX 01 00:00:00\n");
}

// A data track without a volume, then one audio track of BIG_SIZE bytes in
// a sparse file of its own, whose last bytes are the marker.
void write_big_audio_image(const TempDir &dir, const std::string &type) {
    write_sparse_file(dir.at("disc.bin"), 20 * ISO_SECTOR);
    write_sparse_file(dir.at("audio.bin"), BIG_SIZE, BIG_SIZE - MARKER.size(), MARKER);
    write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                                   "FILE audio.bin " + type + "\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
}

// Starts the program with its output discarded and the interruptions at
// their default action, whatever the test runner was started with.
pid_t start_program(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0 || dup2(null_fd, 2) < 0)
            _exit(126);
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
            signal(signal_number, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

off_t size_of(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

}  // namespace

TEST(Interruption, FileBeingWrittenIsRemovedAndTheSignalEndsTheRun) {
    const std::vector<InterruptionCase> cases = {
        {"a volume file copied file to file", Writing::VOLUME_FILE, "MODE1/2048", SIGINT},
        {"a volume file gathered from raw sectors", Writing::VOLUME_FILE, "MODE1/2352", SIGTERM},
        {"a volume file, hung up", Writing::VOLUME_FILE, "MODE1/2352", SIGHUP},
        {"a WAVE file copied file to file", Writing::WAVE_FILE, "BINARY", SIGTERM},
        {"a WAVE file of swapped samples", Writing::WAVE_FILE, "MOTOROLA", SIGINT},
    };
    for (const InterruptionCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        std::string target;
        if (c.writing == Writing::VOLUME_FILE) {
            write_big_volume_image(work, std::string(c.form) == "MODE1/2048" ? SectorMode::MODE1_2048
                                                                             : SectorMode::MODE1_2352);
            target = work.at("out/BIG.BIN");
        } else {
            write_big_audio_image(work, c.form);
            target = work.at("out/audio/track02.wav");
        }

        const pid_t pid = start_program({cdunpack_binary(), work.at("disc.cue"), work.at("out")});
        ASSERT_GT(pid, 0);
        // Signalled once data is going into the file.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        bool ended_early = false;
        while (size_of(target) <= 0 && std::chrono::steady_clock::now() < give_up) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended_early = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_FALSE(ended_early) << "the run ended before its file was written";
        const off_t size_when_signalled = size_of(target);
        kill(pid, c.signal_number);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        ASSERT_GT(size_when_signalled, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
        EXPECT_EQ(WTERMSIG(status), c.signal_number);
        EXPECT_FALSE(path_exists(target));
        const std::vector<std::string> left =
            c.writing == Writing::VOLUME_FILE ? std::vector<std::string>{} : std::vector<std::string>{"audio/"};
        EXPECT_EQ(list_tree(work.at("out")), left);
    }
}
