// cdunpack_bench: times cdunpack on large generated CD images against the
// cost of merely moving the bytes it writes (cp -r of its own output), checks
// that every byte of that output is right, and reports the tool's peak
// resident memory.
//
//   cdunpack_bench [--quick] [--runs N] [--only NAME,...] [--binary PATH] [--dir DIR] [--terminal]
//   cdunpack_bench --strace NAME
//
// Inputs and outputs live under /dev/shm/cdunpack-bench (a tmpfs, so the page
// cache is always warm and the file system's own costs stay small), one input
// at a time, and are removed afterwards.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "byte_order.h"
#include "disc_time.h"
#include "file_io.h"
#include "fixtures.h"

namespace {

// Where inputs and outputs live; --dir moves it, so that two benchmarks on
// one machine keep apart.
std::string g_work_dir = "/dev/shm/cdunpack-bench";

constexpr uint64_t MIB = 1024 * 1024;
// Decoded samples below this peak count as silence.
constexpr int AUDIBLE_PEAK = 1000;

// ---- deterministic contents --------------------------------------------------

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A reproducible stream of pseudo-random bytes: the contents of a file or of
// an audio track, made once to write the image and again to check the
// output, so nothing large is ever held to compare against. Incompressible
// and aperiodic, so a shifted, repeated or truncated copy never matches.
class ByteStream {
public:
    explicit ByteStream(uint64_t seed) : state_(seed) {}

    void fill(uint8_t *out, size_t n) {
        for (; n > 0 && spare_ > 0; --n, --spare_, word_ >>= 8)
            *out++ = static_cast<uint8_t>(word_);
        for (; n >= 8; n -= 8, out += 8) {
            uint64_t w = next();
            for (int i = 0; i < 8; ++i)
                out[i] = static_cast<uint8_t>(w >> (8 * i));
        }
        if (n > 0) {
            word_ = next();
            spare_ = 8;
            for (; n > 0; --n, --spare_, word_ >>= 8)
                *out++ = static_cast<uint8_t>(word_);
        }
    }

private:
    uint64_t next() { return mix(state_++); }

    uint64_t state_;
    uint64_t word_ = 0;
    int spare_ = 0;
};

// ---- input descriptions --------------------------------------------------------

struct FileSpec {
    std::string name;  // identifier without its ";1" version suffix, upper case
    uint32_t size;
    uint64_t seed;
};

struct DirSpec {
    std::string name;
    std::vector<DirSpec> dirs;
    std::vector<FileSpec> files;
};

// An audio track of raw samples, behind `pregap` sectors of other noise
// (which must not end up in any track).
struct RawTrack {
    uint32_t pregap;
    uint32_t sectors;
    uint64_t seed;
};

// A tone encoded by a codec's reference encoder.
struct CompressedTrack {
    Codec codec;
    const char *encoder;
    const char *suffix;
    uint32_t frames;
};

struct Input {
    std::string name;
    std::string what;
    DirSpec volume;
    SectorMode data_mode = SectorMode::MODE1_2352;
    bool data_in_wave = false;              // the data track's file is a RIFF WAVE file
    std::vector<RawTrack> behind_data;      // audio tracks in the data track's file
    std::vector<RawTrack> in_audio_file;    // audio tracks in a raw file of their own
    std::vector<CompressedTrack> compressed;  // tracks of a tone, each in a file of its own
};

void collect_dirs(DirSpec &dir, std::vector<DirSpec *> &out) {
    out.push_back(&dir);
    for (DirSpec &sub : dir.dirs)
        collect_dirs(sub, out);
}

// Deals the sizes out over every directory of the tree, the root included,
// round robin, naming the files F0000.DAT, F0001.DAT, ... in that order.
void distribute_files(DirSpec &root, const std::vector<uint32_t> &sizes, uint64_t seed) {
    std::vector<DirSpec *> dirs;
    collect_dirs(root, dirs);
    for (size_t i = 0; i < sizes.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "F%04zu.DAT", i);
        dirs[i % dirs.size()]->files.push_back({name, sizes[i], mix(seed ^ (i << 20))});
    }
}

DirSpec dir_named(const char *format, unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, format, index);
    DirSpec dir;
    dir.name = name;
    return dir;
}

// Sizes spread evenly on a log scale between low and high, then scaled so
// that together they make `total` bytes.
std::vector<uint32_t> log_spread_sizes(size_t count, double low, double high, uint64_t total, uint64_t seed) {
    std::vector<double> raw;
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        double u = static_cast<double>(mix(seed + i) >> 11) / 9007199254740992.0;
        raw.push_back(low * std::pow(high / low, u));
        sum += raw.back();
    }
    std::vector<uint32_t> sizes;
    for (double r : raw)
        sizes.push_back(static_cast<uint32_t>(std::llround(r * static_cast<double>(total) / sum)));
    return sizes;
}

uint64_t sum_sizes(const std::vector<uint32_t> &sizes) {
    uint64_t sum = 0;
    for (uint32_t size : sizes)
        sum += size;
    return sum;
}

Input big_input() {
    Input input;
    input.name = "big";
    input.what = "MODE1/2352 volume of 3000 files in 175 nested directories, 3 audio tracks behind pregaps";
    DirSpec &root = input.volume;
    for (unsigned d = 0; d < 8; ++d) {
        DirSpec top = dir_named("D%u", d);
        for (unsigned s = 0; s < 4; ++s) {
            DirSpec mid = dir_named("S%u", s);
            for (unsigned t = 0; t < 4; ++t)
                mid.dirs.push_back(dir_named("T%u", t));
            top.dirs.push_back(mid);
        }
        root.dirs.push_back(top);
    }
    // A chain down to a directory of 7 components.
    DirSpec *deep = &root.dirs[0];
    for (unsigned level = 1; level <= 6; ++level) {
        deep->dirs.push_back(dir_named("L%u", level));
        deep = &deep->dirs.back();
    }
    // Sizes that sit on the seams of sector runs, then a log-scale spread.
    std::vector<uint32_t> sizes = {0,           1,           2047,         2048,          2049,
                                   4095,        4096,        65543,        MIB - 1,       MIB,
                                   MIB + 1,     3 * MIB + 5, 24 * MIB + 123, 40 * MIB + 1};
    const uint64_t total = 550'000'000;
    std::vector<uint32_t> spread = log_spread_sizes(3000 - sizes.size(), 256, 2 * MIB, total - sum_sizes(sizes), 1);
    sizes.insert(sizes.end(), spread.begin(), spread.end());
    distribute_files(root, sizes, 0xB16);
    const uint32_t pregap = 2 * SECTORS_PER_SECOND;
    input.behind_data = {{pregap, 15000, 0xA2}, {pregap, 14287, 0xA3}, {pregap, 15713, 0xA4}};
    return input;
}

// `entries` files and directories, one directory (and one below it) for
// every 256 entries, files mostly of 1 to 8 KiB.
Input many_input(const std::string &name, unsigned entries) {
    Input input;
    input.name = name;
    const unsigned tops = entries / 256;
    const unsigned files = entries - 2 * tops;
    input.what = "MODE1/2352 volume of " + std::to_string(entries) + " entries: " + std::to_string(files) +
                 " files, mostly 1-8 KiB";
    for (unsigned d = 0; d < tops; ++d) {
        DirSpec top = dir_named("D%02u", d);
        top.dirs.push_back(dir_named("S%u", 0));
        input.volume.dirs.push_back(top);
    }
    std::vector<uint32_t> sizes;
    for (unsigned i = 0; i < files; ++i) {
        uint64_t r = mix(0x3A7 + i);
        sizes.push_back(i % 16 == 15 ? static_cast<uint32_t>(8192 + r % (56 * 1024))
                                     : static_cast<uint32_t>(1024 + r % (7 * 1024 + 1)));
    }
    distribute_files(input.volume, sizes, 0x3A7);
    return input;
}

// A tree three directories wide and six deep, with a chain of 24 more levels
// below its first leaf (30 levels in all), and files of 0 to 4 KiB dealt out
// over every directory: `entries` files and directories together.
Input wide_input(const std::string &name, unsigned entries) {
    Input input;
    input.name = name;
    std::vector<DirSpec *> level = {&input.volume};
    unsigned directories = 0;
    for (unsigned depth = 1; depth <= 6; ++depth) {
        std::vector<DirSpec *> next;
        for (DirSpec *dir : level) {
            for (unsigned i = 0; i < 3; ++i)
                dir->dirs.push_back(dir_named("S%u", i));
            directories += 3;
        }
        // Pointers are taken once a level's vectors have stopped growing.
        for (DirSpec *dir : level)
            for (DirSpec &sub : dir->dirs)
                next.push_back(&sub);
        level = next;
    }
    DirSpec *deep = level.front();
    for (unsigned depth = 7; depth <= 30; ++depth, ++directories) {
        deep->dirs.push_back(dir_named("L%u", depth));
        deep = &deep->dirs.back();
    }
    const unsigned files = entries - directories;
    input.what = "MODE1/2352 volume of " + std::to_string(entries) + " entries: " + std::to_string(files) +
                 " files of 0-4 KiB in " + std::to_string(directories) + " directories, 30 levels deep";
    std::vector<uint32_t> sizes;
    for (unsigned i = 0; i < files; ++i)
        sizes.push_back(static_cast<uint32_t>(mix(0x91DE + i) % 4097));
    distribute_files(input.volume, sizes, 0x91DE);
    return input;
}

// A small MODE1/2048 data track in its own file, then one audio track of
// `minutes` in a raw file of its own.
Input long_input(const std::string &name, uint32_t minutes) {
    Input input;
    input.name = name;
    input.what = "one " + std::to_string(minutes) + "-minute audio track (" +
                 std::to_string(uint64_t{minutes} * SECTORS_PER_MINUTE * RAW_SECTOR) + " bytes)";
    input.data_mode = SectorMode::MODE1_2048;
    input.volume.files = {{"README.TXT", 3000, 0x10}};
    DirSpec docs;
    docs.name = "DOCS";
    docs.files = {{"NOTES.TXT", 5000, 0x11}};
    input.volume.dirs.push_back(docs);
    input.in_audio_file = {{0, static_cast<uint32_t>(minutes * SECTORS_PER_MINUTE), 0x1096 + minutes}};
    return input;
}

Input wavogg_input() {
    Input input;
    input.name = "wavogg";
    input.what = "MODE1/2048 volume in a WAVE file (236 files), a 2-minute Ogg Vorbis track, a 2-minute FLAC track";
    input.data_mode = SectorMode::MODE1_2048;
    input.data_in_wave = true;
    for (unsigned d = 0; d < 4; ++d) {
        DirSpec top = dir_named("D%u", d);
        for (unsigned s = 0; s < 4; ++s)
            top.dirs.push_back(dir_named("S%u", s));
        input.volume.dirs.push_back(top);
    }
    distribute_files(input.volume, log_spread_sizes(236, 512, 2 * MIB, 48'000'000, 7), 0x0A6);
    // 9000 whole sectors each.
    input.compressed = {{Codec::VORBIS, "oggenc", ".ogg", 120 * 44100}, {Codec::FLAC, "flac", ".flac", 120 * 44100}};
    return input;
}

std::vector<Input> all_inputs() {
    return {big_input(),
            many_input("many-half", 2048),
            many_input("many", 4096),
            wide_input("wide", 20000),
            wide_input("wide-10k", 10000),
            wide_input("wide-100k", 100000),
            long_input("long-half", 40),
            long_input("long", 80),
            wavogg_input()};
}

// ---- what the tool must write --------------------------------------------------

struct ExpectedWave {
    int number;
    uint64_t bytes;   // of the "data" chunk
    uint64_t seed;    // of the raw samples; unused for a decoded track
    bool decoded;     // from a compressed file: only the length and audibility are checked
};

struct Expected {
    int tracks = 1;
    int files = 0;
    int entries = 0;
    uint64_t bytes = 0;  // the whole output tree
    std::vector<std::string> tree;  // as list_tree gives it
    std::vector<ExpectedWave> waves;
};

// Adds the paths below `dir` to the listing; gives whether a file lies in it
// or below it (a directory without one is never created).
bool list_expected(const DirSpec &dir, const std::string &prefix, Expected &expected) {
    bool holds_file = !dir.files.empty();
    for (const FileSpec &file : dir.files) {
        expected.tree.push_back(prefix + file.name);
        expected.bytes += file.size;
        ++expected.files;
        ++expected.entries;
    }
    for (const DirSpec &sub : dir.dirs) {
        ++expected.entries;
        std::string path = prefix + sub.name + "/";
        if (list_expected(sub, path, expected)) {
            expected.tree.push_back(path);
            holds_file = true;
        }
    }
    return holds_file;
}

Expected expected_output(const Input &input) {
    Expected expected;
    list_expected(input.volume, "", expected);
    int number = 2;
    for (const auto *tracks : {&input.behind_data, &input.in_audio_file})
        for (const RawTrack &track : *tracks)
            expected.waves.push_back({number++, uint64_t{track.sectors} * RAW_SECTOR, track.seed, false});
    for (const CompressedTrack &track : input.compressed)
        expected.waves.push_back({number++, uint64_t{track.frames} / FRAMES_PER_SECTOR * RAW_SECTOR, 0, true});
    expected.tracks = number - 1;
    if (!expected.waves.empty())
        expected.tree.push_back("audio/");
    for (const ExpectedWave &wave : expected.waves) {
        char name[32];
        std::snprintf(name, sizeof name, "audio/track%02d.wav", wave.number);
        expected.tree.push_back(name);
        expected.bytes += WAVE_HEADER + wave.bytes;
    }
    std::sort(expected.tree.begin(), expected.tree.end());
    return expected;
}

std::string expected_stdout(const Expected &expected) {
    std::string text = std::to_string(expected.files) + " files\n";
    for (const ExpectedWave &wave : expected.waves) {
        const uint32_t frames = static_cast<uint32_t>(wave.bytes / 4);
        char line[64];
        std::snprintf(line, sizeof line, "track %02d: %u:%02u\n", wave.number, frames / 2646000, frames / 44100 % 60);
        text += line;
    }
    return text;
}

std::string expected_stderr(const Expected &expected, const std::string &cue) {
    return "cdimage: " + cue + ", " + std::to_string(expected.tracks) + " tracks, " +
           std::to_string(expected.entries) + " files\n";
}

// ---- making the image ------------------------------------------------------------

IsoNode iso_tree(const DirSpec &dir) {
    IsoNode node;
    node.identifier = dir.name;
    node.is_dir = true;
    for (const DirSpec &sub : dir.dirs)
        node.children.push_back(iso_tree(sub));
    for (const FileSpec &file : dir.files) {
        IsoNode leaf;
        leaf.identifier = file.name + ";1";
        leaf.data.resize(file.size);
        ByteStream(file.seed).fill(leaf.data.data(), leaf.data.size());
        node.children.push_back(std::move(leaf));
    }
    return node;
}

void append_stream(FILE *out, uint64_t seed, uint64_t bytes) {
    ByteStream stream(seed);
    std::vector<uint8_t> chunk(MIB);
    while (bytes > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, chunk.size()));
        stream.fill(chunk.data(), n);
        if (std::fwrite(chunk.data(), 1, n, out) != n)
            throw std::runtime_error("cannot write audio samples");
        bytes -= n;
    }
}

// Writes the raw tracks into `out` one after another, starting at sector
// `position`, and gives their TRACK and INDEX lines.
std::string append_raw_tracks(FILE *out, const std::vector<RawTrack> &tracks, uint32_t position, int &number) {
    std::string cue;
    for (const RawTrack &track : tracks) {
        char head[32];
        std::snprintf(head, sizeof head, "  TRACK %02d AUDIO\n", number++);
        cue += head;
        if (track.pregap > 0)
            cue += "    INDEX 00 " + msf_text(position) + "\n";
        cue += "    INDEX 01 " + msf_text(position + track.pregap) + "\n";
        append_stream(out, mix(track.seed ^ 0x9e6a9), uint64_t{track.pregap} * RAW_SECTOR);
        append_stream(out, track.seed, uint64_t{track.sectors} * RAW_SECTOR);
        position += track.pregap + track.sectors;
    }
    return cue;
}

FileHandle open_for_append(const std::string &path) {
    FileHandle file(std::fopen(path.c_str(), "ab"));
    if (!file)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return file;
}

void close_checked(FileHandle file, const std::string &path) {
    if (std::fclose(file.release()) != 0)
        throw std::runtime_error("cannot write " + path);
}

// Writes dir/<name>.cue and its track files; gives the cue sheet's path.
std::string make_image(const Input &input, const std::string &dir) {
    const std::string data_name = input.name + (input.data_in_wave ? ".wav" : ".bin");
    const std::string data_path = dir + "/" + data_name;
    uint32_t data_sectors = 0;
    {
        IsoNode root = iso_tree(input.volume);
        const Bytes volume = build_iso_volume(root.children);
        root = IsoNode();
        data_sectors = static_cast<uint32_t>(volume.size() / ISO_SECTOR);
        write_file(data_path, input.data_in_wave ? wave_file(volume) : wrap_sectors(volume, input.data_mode));
    }
    std::string cue = "FILE \"" + data_name + "\" " + (input.data_in_wave ? "WAVE" : "BINARY") + "\n  TRACK 01 " +
                      mode_word(input.data_mode) + "\n    INDEX 01 00:00:00\n";
    int number = 2;
    if (!input.behind_data.empty()) {
        FileHandle out = open_for_append(data_path);
        cue += append_raw_tracks(out.get(), input.behind_data, data_sectors, number);
        close_checked(std::move(out), data_path);
    }
    if (!input.in_audio_file.empty()) {
        const std::string audio_name = input.name + "-audio.bin";
        const std::string audio_path = dir + "/" + audio_name;
        FileHandle out = open_for_append(audio_path);
        cue += "FILE \"" + audio_name + "\" BINARY\n" + append_raw_tracks(out.get(), input.in_audio_file, 0, number);
        close_checked(std::move(out), audio_path);
    }
    for (const CompressedTrack &track : input.compressed) {
        const std::string source = dir + "/tone.wav";
        const std::string name = input.name + track.suffix;
        write_file(source, wave_file(tone_samples(track.frames, 440.0, 554.37)));
        const RunResult encoded = encode_audio(track.codec, source, dir + "/" + name);
        std::remove(source.c_str());
        if (encoded.exit_code != 0)
            throw std::runtime_error(std::string(track.encoder) + " failed: " + encoded.err);
        char head[32];
        std::snprintf(head, sizeof head, "  TRACK %02d AUDIO\n", number++);
        cue += "FILE \"" + name + "\" WAVE\n" + head + "    INDEX 01 00:00:00\n";
    }
    const std::string cue_path = dir + "/" + input.name + ".cue";
    write_text(cue_path, cue);
    return cue_path;
}

// The image is made in a child process, so that the gigabytes it passes
// through never count in this process's peak resident memory, which every
// child forked later starts from.
bool make_image_in_child(const Input &input, const std::string &dir) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        int code = 0;
        try {
            make_image(input, dir);
        } catch (const std::exception &failure) {
            std::fprintf(stderr, "cdunpack_bench: making %s: %s\n", input.name.c_str(), failure.what());
            code = 1;
        }
        std::fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- running ---------------------------------------------------------------------

struct Outcome {
    double seconds;
    double peak_mib;  // ru_maxrss of the child
    int exit_code;    // -1 when it did not exit normally
};

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Everything a pseudo-terminal's master gives until the child's side is
// closed, into the file.
void drain_terminal(int master, const std::string &path) {
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
    }
    write_text(path, text);
}

// Runs argv with standard output and error going to the two files (with
// `on_terminal`, standard error goes to a pseudo-terminal whose output ends
// up in err_path), and times it from fork to reaping.
Outcome run_measured(const std::vector<std::string> &argv, const std::string &out_path, const std::string &err_path,
                     bool on_terminal = false) {
    std::string slave_name;
    const int master = on_terminal ? open_terminal(slave_name) : -1;
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    const double start = now_seconds();
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = on_terminal ? attach_terminal(slave_name) : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (on_terminal) {
        drain_terminal(master, err_path);
        close(master);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double seconds = now_seconds() - start;
    return {seconds, static_cast<double>(usage.ru_maxrss) / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// ---- checking the output -----------------------------------------------------------

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Fd {
    int fd;
    explicit Fd(const std::string &path) : fd(open(path.c_str(), O_RDONLY)) {
        if (fd < 0)
            throw Failure("cannot open " + path + ": " + std::strerror(errno));
    }
    ~Fd() { close(fd); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// Reads up to n bytes, as many as there are.
size_t read_up_to(int fd, uint8_t *buffer, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buffer + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

// The file's bytes from `offset` on are exactly `bytes` bytes of the stream.
void check_stream(const std::string &path, uint64_t offset, uint64_t bytes, uint64_t seed) {
    if (file_size(path) != offset + bytes)
        throw Failure(path + " holds " + std::to_string(file_size(path)) + " bytes, not " +
                      std::to_string(offset + bytes));
    Fd file(path);
    if (lseek(file.fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        throw Failure("cannot seek in " + path);
    ByteStream stream(seed);
    // Buffers of the file's size up to 1 MiB: a fresh megabyte per small
    // file would cost more than the comparison.
    const size_t buffer_bytes = static_cast<size_t>(std::min<uint64_t>(bytes, MIB));
    std::vector<uint8_t> got(buffer_bytes);
    std::vector<uint8_t> want(buffer_bytes);
    for (uint64_t done = 0; done < bytes;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes - done, MIB));
        stream.fill(want.data(), n);
        if (read_up_to(file.fd, got.data(), n) != n)
            throw Failure(path + " ends early");
        auto differ = std::mismatch(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n), got.begin());
        if (differ.first != want.begin() + static_cast<std::ptrdiff_t>(n))
            throw Failure(path + " differs from its source at byte " +
                          std::to_string(offset + done + static_cast<uint64_t>(differ.first - want.begin())));
        done += n;
    }
}

void check_files(const DirSpec &dir, const std::string &out_dir) {
    for (const FileSpec &file : dir.files)
        check_stream(out_dir + "/" + file.name, 0, file.size, file.seed);
    for (const DirSpec &sub : dir.dirs)
        check_files(sub, out_dir + "/" + sub.name);
}

// The header is the fixtures' canonical one (44100 Hz, 16-bit stereo) with
// the sizes of `bytes` bytes of samples.
void check_wave_header(const std::string &path, uint64_t bytes) {
    uint8_t header[WAVE_HEADER];
    Fd file(path);
    if (read_up_to(file.fd, header, sizeof header) != sizeof header)
        throw Failure(path + " has no whole WAVE header");
    Bytes expected = wave_file(Bytes());
    put_le32(&expected[4], static_cast<uint32_t>(bytes + WAVE_HEADER - 8));
    put_le32(&expected[WAVE_HEADER - 4], static_cast<uint32_t>(bytes));
    if (expected.size() != WAVE_HEADER || std::memcmp(header, expected.data(), WAVE_HEADER) != 0 ||
        bytes + WAVE_HEADER - 8 > UINT32_MAX)
        throw Failure(path + " has a wrong WAVE header for " + std::to_string(bytes) + " bytes of samples");
}

// Decoded audio cannot be compared byte for byte with anything here; its
// length and that it is not silence are what a fast wrong path would break.
void check_audible(const std::string &path, uint64_t bytes) {
    if (file_size(path) != WAVE_HEADER + bytes)
        throw Failure(path + " holds " + std::to_string(file_size(path)) + " bytes, not " +
                      std::to_string(WAVE_HEADER + bytes));
    Fd file(path);
    std::vector<uint8_t> chunk(MIB);
    int peak = 0;
    lseek(file.fd, WAVE_HEADER, SEEK_SET);
    for (size_t n; (n = read_up_to(file.fd, chunk.data(), chunk.size())) > 0;)
        for (size_t i = 0; i + 1 < n; i += 2)
            peak = std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(chunk[i] | chunk[i + 1] << 8))));
    if (peak < AUDIBLE_PEAK)
        throw Failure(path + " is silent (peak " + std::to_string(peak) + ")");
}

// With `on_terminal`, standard error is checked as the terminal shows it at
// the end: the progress line gone, the messages whole.
void check_streams(const Outcome &run, const std::string &name, const Expected &expected, const std::string &cue,
                   const std::string &out_log, const std::string &err_log, bool on_terminal = false) {
    const std::string out = read_text(out_log);
    const std::string err = on_terminal ? terminal_screen_text(read_text(err_log)) : read_text(err_log);
    if (run.exit_code != 0 || out != expected_stdout(expected) || err != expected_stderr(expected, cue))
        throw Failure(name + ": cdunpack exited with " + std::to_string(run.exit_code) + "\n--- its output:\n" + out +
                      "--- expected:\n" + expected_stdout(expected) + "--- its errors:\n" + err +
                      "--- expected:\n" + expected_stderr(expected, cue));
}

void check_output(const Input &input, const Expected &expected, const std::string &out_dir) {
    const std::vector<std::string> tree = list_tree(out_dir);
    if (tree != expected.tree) {
        std::vector<std::string> extra;
        std::vector<std::string> missing;
        std::set_difference(tree.begin(), tree.end(), expected.tree.begin(), expected.tree.end(),
                            std::back_inserter(extra));
        std::set_difference(expected.tree.begin(), expected.tree.end(), tree.begin(), tree.end(),
                            std::back_inserter(missing));
        throw Failure(input.name + ": output tree differs: " + std::to_string(extra.size()) + " extra (first: " +
                      (extra.empty() ? "-" : extra[0]) + "), " + std::to_string(missing.size()) +
                      " missing (first: " + (missing.empty() ? "-" : missing[0]) + ")");
    }
    check_files(input.volume, out_dir);
    for (const ExpectedWave &wave : expected.waves) {
        char name[32];
        std::snprintf(name, sizeof name, "/audio/track%02d.wav", wave.number);
        const std::string path = out_dir + name;
        check_wave_header(path, wave.bytes);
        if (wave.decoded)
            check_audible(path, wave.bytes);
        else
            check_stream(path, WAVE_HEADER, wave.bytes, wave.seed);
    }
}

// ---- the benchmark -----------------------------------------------------------------

struct Options {
    std::string binary = cdunpack_binary();
    int runs = 5;
    std::vector<std::string> only;
    std::string strace_input;
    bool terminal = false;  // time runs with standard error on a terminal too
};

struct Row {
    std::string name;
    int files;
    double image_mb;
    double out_mb;
    double tool_s;
    double copy_s;
    double peak_mib;
    double terminal_s;  // median with standard error on a terminal, 0 when not measured
    int drawings;       // progress lines drawn in the last such run
};

uint64_t free_bytes(const std::string &path) {
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0)
        throw std::runtime_error("cannot stat " + path);
    return uint64_t{fs.f_bavail} * fs.f_frsize;
}

uint64_t tree_bytes(const std::string &dir) {
    uint64_t sum = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            sum += entry.file_size();
    return sum;
}

// Room for the image, the tool's output and its copy, with some to spare.
bool has_room(const Input &input, const Expected &expected) {
    const uint64_t image = expected.bytes / ISO_SECTOR * RAW_SECTOR;
    const uint64_t needed = image + 2 * expected.bytes + 256 * MIB;
    const uint64_t room = free_bytes("/dev/shm");
    if (room >= needed)
        return true;
    std::fprintf(stderr, "cdunpack_bench: %s skipped: it needs %llu MB on /dev/shm, %llu MB are free\n",
                 input.name.c_str(), static_cast<unsigned long long>(needed / 1000000),
                 static_cast<unsigned long long>(room / 1000000));
    return false;
}

// Makes the input; gives its cue sheet's path, or "" when it is skipped.
std::string prepare(const Input &input, const Expected &expected) {
    for (const CompressedTrack &track : input.compressed) {
        if (!have_program(track.encoder)) {
            std::fprintf(stderr, "cdunpack_bench: %s skipped: %s is not on PATH\n", input.name.c_str(), track.encoder);
            return "";
        }
    }
    if (!has_room(input, expected))
        return "";
    const std::string dir = g_work_dir + "/" + input.name;
    std::filesystem::create_directories(dir);
    std::fprintf(stderr, "%s: making it (%s)\n", input.name.c_str(), input.what.c_str());
    if (!make_image_in_child(input, dir))
        throw std::runtime_error("cannot make " + input.name);
    return dir + "/" + input.name + ".cue";
}

// A child forked by this process starts out with this process's resident
// pages (the descriptions of the inputs), and they count in its peak. GNU
// time is small: the tool started by it reports its own peak alone.
const char *const GNU_TIME = "/usr/bin/time";

double peak_under_time(const std::vector<std::string> &tool, const std::string &out_log, const std::string &err_log) {
    const std::string peak_file = g_work_dir + "/peak.txt";
    std::vector<std::string> argv = {GNU_TIME, "-f", "%M", "-o", peak_file};
    argv.insert(argv.end(), tool.begin(), tool.end());
    const Outcome run = run_measured(argv, out_log, err_log);
    if (run.exit_code != 0)
        throw Failure("the run under " + std::string(GNU_TIME) + " failed: " + read_text(err_log));
    return std::stod(read_text(peak_file)) / 1024.0;
}

Row measure(const Input &input, const Options &options) {
    const Expected expected = expected_output(input);
    Row row{input.name, expected.files + static_cast<int>(expected.waves.size()), 0, 0, 0, 0, 0, 0, 0};
    const std::string cue = prepare(input, expected);
    if (cue.empty())
        return row;
    const std::string dir = g_work_dir + "/" + input.name;
    row.image_mb = static_cast<double>(tree_bytes(dir)) / 1e6;
    const std::string out = g_work_dir + "/out";
    const std::string copy = g_work_dir + "/copy";
    const std::string out_log = g_work_dir + "/stdout.txt";
    const std::string err_log = g_work_dir + "/stderr.txt";
    const std::vector<std::string> tool = {options.binary, cue, out};
    const std::vector<std::string> cp = {"cp", "-r", out, copy};

    // One run to check every byte, which also warms everything up.
    std::fprintf(stderr, "%s: checking the output\n", input.name.c_str());
    std::filesystem::remove_all(out);
    const Outcome first = run_measured(tool, out_log, err_log);
    check_streams(first, input.name, expected, cue, out_log, err_log);
    check_output(input, expected, out);
    row.out_mb = static_cast<double>(tree_bytes(out)) / 1e6;
    row.peak_mib = first.peak_mib;
    if (access(GNU_TIME, X_OK) == 0) {
        std::filesystem::remove_all(out);
        row.peak_mib = peak_under_time(tool, out_log, err_log);
    }

    std::vector<double> tool_times;
    std::vector<double> copy_times;
    std::vector<double> terminal_times;
    for (int run = 1; run <= options.runs; ++run) {
        if (options.terminal) {
            // The same start as the piped run: no output and no copy about.
            std::filesystem::remove_all(out);
            std::filesystem::remove_all(copy);
            const Outcome shown = run_measured(tool, out_log, err_log, true);
            check_streams(shown, input.name, expected, cue, out_log, err_log, true);
            terminal_times.push_back(shown.seconds);
            const std::string drawn = read_text(err_log);
            row.drawings = static_cast<int>(std::count(drawn.begin(), drawn.end(), '\r'));
        }
        std::fprintf(stderr, "%s: run %d of %d\n", input.name.c_str(), run, options.runs);
        std::filesystem::remove_all(out);
        std::filesystem::remove_all(copy);
        const Outcome timed = run_measured(tool, out_log, err_log);
        check_streams(timed, input.name, expected, cue, out_log, err_log);
        const Outcome copied = run_measured(cp, out_log, err_log);
        if (copied.exit_code != 0)
            throw Failure(input.name + ": cp -r failed: " + read_text(err_log));
        tool_times.push_back(timed.seconds);
        copy_times.push_back(copied.seconds);
    }
    std::filesystem::remove_all(out);
    std::filesystem::remove_all(copy);
    std::filesystem::remove_all(dir);
    row.tool_s = median(tool_times);
    row.copy_s = median(copy_times);
    row.terminal_s = terminal_times.empty() ? 0 : median(terminal_times);
    return row;
}

const char *verdict(bool met) { return met ? "met" : "NOT MET"; }

const Row *find_row(const std::vector<Row> &rows, const std::string &name) {
    for (const Row &row : rows)
        if (row.name == name && row.tool_s > 0)
            return &row;
    return nullptr;
}

void print_scaling(const std::vector<Row> &rows, const std::string &small, const std::string &large,
                   const char *work, double work_small, double work_large) {
    const Row *a = find_row(rows, small);
    const Row *b = find_row(rows, large);
    if (!a || !b)
        return;
    const double factor = b->tool_s / a->tool_s;
    std::printf("  %s -> %s: %.2fx the %s, %.2fx the cdunpack time (cp -r %.2fx): %s\n", small.c_str(),
                large.c_str(), work_large / work_small, work, factor, b->copy_s / a->copy_s,
                verdict(factor <= work_large / work_small));
}

void print_report(const std::vector<Row> &rows, const Options &options, const std::string &command,
                  double floor_mib) {
    std::printf("\n$ %s\n", command.c_str());
    std::printf("cdunpack: %s; inputs and outputs in %s; medians of %d runs each (fresh output directory "
                "per run, cp -r of that run's output right after it)\n\n",
                options.binary.c_str(), g_work_dir.c_str(), options.runs);
    std::printf("%-10s %6s %9s %9s %12s %10s %7s %14s\n", "input", "files", "image MB", "out MB", "cdunpack s",
                "cp -r s", "ratio", "peak RSS MiB");
    for (const Row &row : rows) {
        if (row.tool_s <= 0) {
            std::printf("%-10s %6d %9s %9s %12s %10s %7s %14s\n", row.name.c_str(), row.files, "-", "-", "skipped",
                        "-", "-", "-");
            continue;
        }
        std::printf("%-10s %6d %9.1f %9.1f %12.3f %10.3f %7.2f %14.1f\n", row.name.c_str(), row.files, row.image_mb,
                    row.out_mb, row.tool_s, row.copy_s, row.tool_s / row.copy_s, row.peak_mib);
    }
    std::printf("\n(files: files written, WAVE files included; out MB: bytes written, which cp -r copies again; "
                "peak RSS: %s)\n\n",
                access(GNU_TIME, X_OK) == 0
                    ? "the tool's alone, as GNU time reports it"
                    : ("a child forked by this program, at least " + std::to_string(floor_mib) +
                       " MiB as /bin/true shows; install GNU time for the tool's own")
                          .c_str());
    if (options.terminal) {
        std::printf("with standard error on a terminal (the progress line), runs interleaved with the above:\n");
        for (const Row &row : rows)
            if (row.terminal_s > 0)
                std::printf("  %-10s %8.3f s against %8.3f s through a pipe: %.3fx (%d carriage returns in the "
                            "last run)\n",
                            row.name.c_str(), row.terminal_s, row.tool_s, row.terminal_s / row.tool_s, row.drawings);
        std::printf("\n");
    }
    std::printf("targets:\n");
    for (const char *name : {"big", "many", "wide", "long"})
        if (const Row *row = find_row(rows, name))
            std::printf("  %s: ratio %.2f <= 1.0: %s\n", name, row->tool_s / row->copy_s,
                        verdict(row->tool_s <= row->copy_s));
    for (const Row &row : rows) {
        // A volume of 100,000 entries may take up to 64 MiB, any other 16.
        const double limit = row.name == "wide-100k" ? 64.0 : 16.0;
        if (row.tool_s > 0)
            std::printf("  %s: peak RSS %.1f MiB < %.0f MiB: %s\n", row.name.c_str(), row.peak_mib, limit,
                        verdict(row.peak_mib < limit));
    }
    const Row *many_half = find_row(rows, "many-half");
    const Row *many = find_row(rows, "many");
    if (many_half && many)
        print_scaling(rows, "many-half", "many", "files", many_half->files, many->files);
    print_scaling(rows, "long-half", "long", "audio bytes", 40, 80);
}

// One run of the tool under strace -c -f; prints strace's summary.
void strace_run(const Input &input) {
    if (!have_program("strace"))
        throw std::runtime_error("strace is not on PATH");
    const Expected expected = expected_output(input);
    const std::string cue = prepare(input, expected);
    if (cue.empty())
        throw std::runtime_error(input.name + " could not be made");
    const std::string out = g_work_dir + "/out";
    const std::string summary = g_work_dir + "/strace.txt";
    const std::string out_log = g_work_dir + "/stdout.txt";
    const std::string err_log = g_work_dir + "/stderr.txt";
    const std::vector<std::string> argv = {"strace", "-c", "-f", "-o", summary, cdunpack_binary(), cue, out};
    const Outcome run = run_measured(argv, out_log, err_log);
    check_streams(run, input.name, expected, cue, out_log, err_log);
    check_output(input, expected, out);
    std::string command;
    for (const std::string &arg : argv)
        command += (command.empty() ? "" : " ") + arg;
    std::printf("$ %s\n%s", command.c_str(), read_text(summary).c_str());
}

[[noreturn]] void usage(const char *program) {
    std::fprintf(stderr,
                 "usage: %s [--quick] [--runs N] [--only NAME,...] [--binary PATH] [--dir DIR] [--terminal]\n"
                 "       %s --strace NAME\n"
                 "inputs: big many-half many wide wide-10k wide-100k long-half long wavogg\n",
                 program, program);
    std::exit(2);
}

std::vector<std::string> split_commas(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    return parts;
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--quick") {
            options.runs = 3;
        } else if (arg == "--runs" && has_value) {
            options.runs = std::atoi(argv[++i]);
            if (options.runs < 1)
                usage(argv[0]);
        } else if (arg == "--only" && has_value) {
            options.only = split_commas(argv[++i]);
        } else if (arg == "--dir" && has_value) {
            g_work_dir = argv[++i];
        } else if (arg == "--binary" && has_value) {
            options.binary = argv[++i];
        } else if (arg == "--terminal") {
            options.terminal = true;
        } else if (arg == "--strace" && has_value) {
            options.strace_input = argv[++i];
        } else {
            usage(argv[0]);
        }
    }
    return options;
}

int run_bench(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    std::vector<Input> inputs = all_inputs();
    std::vector<std::string> wanted = options.only;
    if (!options.strace_input.empty())
        wanted = {options.strace_input};
    for (const std::string &name : wanted)
        if (std::none_of(inputs.begin(), inputs.end(), [&](const Input &input) { return input.name == name; }))
            usage(argv[0]);

    std::filesystem::remove_all(g_work_dir);
    std::filesystem::create_directories(g_work_dir);
    std::string command;
    for (int i = 0; i < argc; ++i)
        command += (i ? " " : "") + std::string(argv[i]);

    if (!options.strace_input.empty()) {
        for (const Input &input : inputs)
            if (input.name == options.strace_input)
                strace_run(input);
    } else {
        const double floor_mib = run_measured({"true"}, "/dev/null", "/dev/null").peak_mib;
        std::vector<Row> rows;
        for (const Input &input : inputs)
            if (wanted.empty() || std::find(wanted.begin(), wanted.end(), input.name) != wanted.end())
                rows.push_back(measure(input, options));
        print_report(rows, options, command, floor_mib);
    }
    std::filesystem::remove_all(g_work_dir);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run_bench(argc, argv);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "cdunpack_bench: FAILED: %s\n", failure.what());
        std::error_code ignored;
        std::filesystem::remove_all(g_work_dir, ignored);
        return 1;
    }
}
