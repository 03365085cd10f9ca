// The built tool on whole images: what it prints, what it writes, and what
// it costs in memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "module_view.h"
#include "fixtures.h"

namespace {

// A cue sheet game.cue naming a raw game.bin (a MODE1/2352 data track, then
// two audio tracks, the second behind a pregap) and a WAVE file track04.wav
// holding a fourth track.
struct Game {
    TempDir dir;
    Bytes readme = text_bytes("Read me first.\r\n");
    Bytes guide = Bytes(5000, 'g');
    Bytes todo = text_bytes("Nothing left.\r\n");
    Bytes track02 = tone_samples(150 * FRAMES_PER_SECTOR, 440.0, 440.0);
    // The pregap belongs to neither track: a tone of its own shows where it
    // went.
    Bytes pregap = tone_samples(150 * FRAMES_PER_SECTOR, 1000.0, 1000.0);
    Bytes track03 = tone_samples(75 * FRAMES_PER_SECTOR, 660.0, 660.0);
    // 75 sectors and a few frames: the last track of a file ends at its last
    // whole frame.
    Bytes track04_file_samples = tone_samples(75 * FRAMES_PER_SECTOR + 10, 523.0, 784.0);

    Game() {
        Bytes bin = wrap_sectors(build_iso_volume({
                                     iso_file("README.TXT;1", readme),
                                     iso_dir("DOCS", {iso_file("GUIDE.TXT;1", guide),
                                                      iso_dir("NOTES", {iso_file("TODO.TXT;1", todo)})}),
                                 }),
                                 SectorMode::MODE1_2352);
        const uint32_t track02_start = static_cast<uint32_t>(bin.size() / RAW_SECTOR);
        append(bin, track02);
        append(bin, pregap);
        append(bin, track03);
        write_file(dir.at("game.bin"), bin);
        write_file(dir.at("track04.wav"), wave_file(track04_file_samples));
        const uint32_t pregap_start = track02_start + 150;
        write_text(dir.at("game.cue"), "FILE \"game.bin\" BINARY\n"
                                       "  TRACK 01 MODE1/2352\n"
                                       "    INDEX 01 00:00:00\n"
                                       "  TRACK 02 AUDIO\n"
                                       "    INDEX 01 " + msf_text(track02_start) + "\n"
                                       "  TRACK 03 AUDIO\n"
                                       "    INDEX 00 " + msf_text(pregap_start) + "\n"
                                       "    INDEX 01 " + msf_text(pregap_start + 150) + "\n"
                                       "FILE \"track04.wav\" WAVE\n"
                                       "  TRACK 04 AUDIO\n"
                                       "    INDEX 01 00:00:00\n");
    }
};

void expect_game_unpacked(const Game &game, const RunResult &run) {
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("3 files\ntrack 02: 0:02\ntrack 03: 0:01\ntrack 04: 0:01\n", run.out);
    EXPECT_EQ("cdimage: game.cue, 4 tracks, 5 files\n", run.err);
    const std::string out = game.dir.at("out");
    EXPECT_EQ((std::vector<std::string>{"DOCS/", "DOCS/GUIDE.TXT", "DOCS/NOTES/", "DOCS/NOTES/TODO.TXT", "README.TXT",
                                        "audio/", "audio/track02.wav", "audio/track03.wav", "audio/track04.wav"}),
              list_tree(out));
    EXPECT_TRUE(game.readme == read_file(out + "/README.TXT"));
    EXPECT_TRUE(game.guide == read_file(out + "/DOCS/GUIDE.TXT"));
    EXPECT_TRUE(game.todo == read_file(out + "/DOCS/NOTES/TODO.TXT"));
    EXPECT_TRUE(wave_file(game.track02) == read_file(out + "/audio/track02.wav"));
    EXPECT_TRUE(wave_file(game.track03) == read_file(out + "/audio/track03.wav"));
    EXPECT_TRUE(wave_file(game.track04_file_samples) == read_file(out + "/audio/track04.wav"));
}

TEST(EndToEnd, UnpacksDataTrackFilesAndEveryAudioTrack) {
    Game game;
    expect_game_unpacked(game, run_program({cdunpack_binary(), "game.cue", "out"}, game.dir.path));
}

TEST(EndToEnd, SecondRunIntoTheSameDirectoryGivesTheSameResult) {
    Game game;
    ASSERT_EQ(0, run_program({cdunpack_binary(), "game.cue", "out"}, game.dir.path).exit_code);
    // A stale, longer file where a track goes is overwritten whole.
    write_file(game.dir.at("out/audio/track03.wav"), Bytes(2 * 1024 * 1024, 0xee));
    expect_game_unpacked(game, run_program({cdunpack_binary(), "game.cue", "out"}, game.dir.path));
}

TEST(EndToEnd, AudioDirectoryThatCannotBeCreatedGivesOneLinePerTrack) {
    Game game;
    mkdir(game.dir.at("out").c_str(), 0755);
    write_text(game.dir.at("out/audio"), "in the way\n");

    const RunResult run = run_program({cdunpack_binary(), "game.cue", "out"}, game.dir.path);

    EXPECT_EQ(2, run.exit_code);
    EXPECT_EQ("3 files\n", run.out);
    EXPECT_EQ("cdimage: game.cue, 4 tracks, 5 files\n"
              "out/audio/track02.wav: Not a directory\n"
              "out/audio/track03.wav: Not a directory\n"
              "out/audio/track04.wav: Not a directory\n",
              run.err);
    EXPECT_TRUE(text_bytes("in the way\n") == read_file(game.dir.at("out/audio")));
}

// ---- peak memory ---------------------------------------------------------

// A TempDir under base instead of the usual temporary directory.
std::unique_ptr<TempDir> temp_dir_under(const char *base) {
    const char *old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", base, 1);
    auto dir = std::make_unique<TempDir>();
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    return dir;
}

struct Measured {
    int status;
    long max_rss_kib;
};

// Runs the program with its standard output and error in files, and gives
// the child's own peak resident size.
Measured run_measured(const std::vector<std::string> &args, const std::string &out_file, const std::string &err_file) {
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        // Under the sanitizers, the leak checker's scan at exit walks every
        // mapped library and would count in the peak; leaks are the rest of
        // the suite's to find.
        const char *asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Measured measured{-1, 0};
    struct rusage usage {};
    if (child > 0 && wait4(child, &measured.status, 0, &usage) == child)
        measured.max_rss_kib = usage.ru_maxrss;
    return measured;
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's runtime alone keeps some 20 MiB resident.
constexpr long PEAK_RSS_LIMIT_KIB = 64 * 1024;
#else
constexpr long PEAK_RSS_LIMIT_KIB = 16 * 1024;
#endif

// An 80-minute track is 846,720,000 bytes; exporting it must not hold it in
// memory. The track file is sparse, and the WAVE file goes to a tmpfs.
TEST(PeakMemory, EightyMinuteTrackIsStreamedThroughABoundedBuffer) {
    constexpr uint64_t track_bytes = 80ull * 60 * 75 * RAW_SECTOR;
    struct statvfs shm {};
    if (statvfs("/dev/shm", &shm) != 0 || uint64_t{shm.f_bavail} * shm.f_frsize < track_bytes + (256u << 20))
        GTEST_SKIP() << "/dev/shm lacks room for the 80-minute WAVE file";
    const std::unique_ptr<TempDir> dir = temp_dir_under("/dev/shm");
    write_file(dir->at("data.bin"), wrap_sectors(build_iso_volume({}), SectorMode::MODE1_2352));
    // A few real samples at the end show that the whole track was copied.
    const Bytes tail = {0x01, 0x02, 0x03, 0x04};
    write_sparse_file(dir->at("long.bin"), track_bytes, track_bytes - tail.size(), tail);
    write_text(dir->at("long.cue"), "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                    "FILE \"long.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");

    const Measured run = run_measured({cdunpack_binary(), dir->at("long.cue"), dir->at("out")}, dir->at("stdout"),
                                      dir->at("stderr"));

    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(0, WEXITSTATUS(run.status));
    EXPECT_EQ("0 files\ntrack 02: 80:00\n", read_text(dir->at("stdout")));
    EXPECT_EQ("cdimage: " + dir->at("long.cue") + ", 2 tracks, 0 files\n", read_text(dir->at("stderr")));
    const std::string wave = dir->at("out/audio/track02.wav");
    struct stat st {};
    ASSERT_EQ(0, stat(wave.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(44 + track_bytes), st.st_size);
    Bytes end(4);
    {
        const FileHandle stream(std::fopen(wave.c_str(), "rb"));
        ASSERT_NE(nullptr, stream);
        std::fseek(stream.get(), -4, SEEK_END);
        EXPECT_EQ(4u, std::fread(end.data(), 1, 4, stream.get()));
    }
    EXPECT_EQ(tail, end);
    std::remove(wave.c_str());
    EXPECT_LT(run.max_rss_kib, PEAK_RSS_LIMIT_KIB) << "peak resident size in KiB";
    std::printf("peak resident size exporting an 80-minute track: %ld KiB\n", run.max_rss_kib);
}

// A hostile volume: directory sectors packed with small records (38 bytes,
// a four-character identifier, each its own) in a directory whose name has
// 1004 characters.
// The entry table must grow with the records read, not with their paths:
// peak memory stays below four times the directory bytes and a margin.
TEST(PeakMemory, MinimalRecordsBelowALongPathCostNoMoreThanTheirBytes) {
    constexpr uint32_t deep_sectors = 2048;
    constexpr uint32_t record_size = 38;
    constexpr uint32_t records_per_sector = ISO_SECTOR / record_size;
    constexpr uint32_t root = 18;
    constexpr uint32_t levels = 5;
    // The root and four directories of 200 characters hold one directory of
    // 200 characters each, the last of them the records.
    constexpr uint32_t deep = root + levels;
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(root, ISO_SECTOR));
    for (uint32_t level = 0; level < levels; ++level) {
        const uint32_t self = root + level;
        const uint32_t child = self + 1;
        const uint32_t child_size = child == deep ? deep_sectors * ISO_SECTOR : ISO_SECTOR;
        put_bytes(volume, self,
                  concat({directory_record(Bytes{0}, self, ISO_SECTOR, true),
                          directory_record(Bytes{1}, self, ISO_SECTOR, true),
                          directory_record(std::string(200, static_cast<char>('A' + level)), child, child_size, true)}));
    }
    constexpr char DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint32_t serial = 0;
    for (uint32_t k = 0; k < deep_sectors; ++k) {
        Bytes records;
        for (uint32_t i = 0; i < records_per_sector; ++i, ++serial) {
            std::string identifier;
            for (uint32_t digit = 0, rest = serial; digit < 4; ++digit, rest /= 36)
                identifier.insert(identifier.begin(), DIGITS[rest % 36]);
            append(records, directory_record(identifier, 0, 0, false));
        }
        put_bytes(volume, deep + k, records);
    }
    const uint64_t directory_bytes = uint64_t{deep - root + deep_sectors} * ISO_SECTOR;

    TempDir dir;
    const std::string cue = write_data_image(dir.path, volume, SectorMode::MODE1_2048);
    const Measured run = run_measured({cdunpack_binary(), cue, dir.at("out")}, dir.at("stdout"), dir.at("stderr"));

    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(0, WEXITSTATUS(run.status));
    const uint64_t files = uint64_t{deep_sectors} * records_per_sector;
    EXPECT_EQ("cdimage: " + cue + ", 1 tracks, " + std::to_string(files + levels) + " files\n",
              read_text(dir.at("stderr")));
    EXPECT_EQ(std::to_string(files) + " files\n", read_text(dir.at("stdout")));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (AddressSanitizer keeps freed blocks in quarantine, and
    // ThreadSanitizer shadows every byte, so there the peak tells nothing of
    // the table's own size.)
    const long limit_kib = static_cast<long>(4 * directory_bytes / 1024) + PEAK_RSS_LIMIT_KIB;
    EXPECT_LT(run.max_rss_kib, limit_kib) << "peak resident size in KiB";
#endif
    std::printf("peak resident size for %llu KiB of directory records: %ld KiB\n",
                static_cast<unsigned long long>(directory_bytes / 1024), run.max_rss_kib);
}

}  // namespace
