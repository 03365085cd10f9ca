#include "progress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

#include "audio_export.h"
#include "cdimage.h"
#include "file_io.h"
#include "printable_text.h"

namespace {

using Clock = std::chrono::steady_clock;

// A few updates a second are enough to read, and cost nothing.
constexpr auto DRAW_INTERVAL = std::chrono::milliseconds(250);
// A shorter run never shows the line.
constexpr auto FIRST_DRAW_AFTER = std::chrono::seconds(1);
// The speed is taken over the last two seconds.
constexpr std::size_t SPEED_SAMPLES = 8;
constexpr int DEFAULT_WIDTH = 80;
constexpr int NARROWEST_WIDTH = 20;
constexpr std::size_t LINE_TEXT_SIZE = 512;
constexpr std::size_t NAME_TEXT_SIZE = 32;
// Carriage return, then the line, then "erase to the end of the line".
constexpr char ERASE_LINE[] = "\r\033[K";
constexpr uint64_t BYTES_PER_FRAME = 4;

struct SpeedSample {
    Clock::time_point when;
    uint64_t done;
};

// What the drawing thread knows of the run. The plan is made before the
// thread starts and only read by it afterwards; `lock` guards the terminal
// state and the streams' hand-over.
struct ProgressState {
    // Bytes of the volume's files before each entry, in table order, and
    // each entry's own size and name. The module lends one name at a time,
    // so each is kept as the index of the directory entry its name begins
    // with (-1 for none) and the rest of it, in name_parts from entry_part
    // on: the plan grows with the names' components, not with their paths.
    std::vector<uint64_t> bytes_before_entry;
    std::vector<uint64_t> entry_size;
    std::vector<int32_t> entry_parent;
    std::vector<std::size_t> entry_part;
    std::string name_parts;
    uint64_t file_bytes = 0;
    // The audio tracks as the export takes them: number, bytes before.
    std::vector<int> audio_number;
    std::vector<uint64_t> bytes_before_track;
    std::vector<uint64_t> track_size;
    uint64_t total = 0;

    std::thread drawer;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    bool line_shown = false;
    bool at_line_start = true;
    uint64_t done = 0;
    std::vector<SpeedSample> samples;

    std::FILE *real_stdout = nullptr;
    std::FILE *real_stderr = nullptr;
    std::FILE *passing_stdout = nullptr;
    std::FILE *passing_stderr = nullptr;
};

ProgressState g_progress;
// line_shown as a signal handler may read it: a lock-free atomic, never the
// mutex.
std::atomic<bool> g_line_on_terminal{false};

void erase_line_locked()
{
    if (g_progress.line_shown)
        write_all(STDERR_FILENO, ERASE_LINE, sizeof ERASE_LINE - 1);
    g_progress.line_shown = false;
    g_line_on_terminal.store(false);
}

// The write function of the streams that stand in for standard output and
// error while the line is up: the line goes, the message is written.
ssize_t write_past_line(void *cookie, const char *data, std::size_t size)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    std::lock_guard<std::mutex> guard(g_progress.lock);
    erase_line_locked();
    if (!write_all(fd, data, size))
        return -1;
    if (size > 0)
        g_progress.at_line_start = data[size - 1] == '\n';
    return static_cast<ssize_t>(size);
}

std::FILE *passing_stream(int fd)
{
    cookie_io_functions_t functions{};
    functions.write = write_past_line;
    std::FILE *stream = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), "w", functions);
    // Whole lines reach the terminal in one write, so the line is erased
    // once per message.
    if (stream != nullptr)
        std::setvbuf(stream, nullptr, _IOLBF, BUFSIZ);
    return stream;
}

void forget_run()
{
    ProgressState &p = g_progress;
    p.bytes_before_entry.clear();
    p.entry_size.clear();
    p.entry_parent.clear();
    p.entry_part.clear();
    p.name_parts.clear();
    p.audio_number.clear();
    p.bytes_before_track.clear();
    p.track_size.clear();
    p.samples.clear();
    p.file_bytes = p.total = p.done = 0;
    p.stopping = false;
    p.line_shown = false;
    g_line_on_terminal.store(false);
    p.at_line_start = true;
}

void plan_files()
{
    const int count = cdimage_entry_count();
    ProgressState &p = g_progress;
    p.bytes_before_entry.reserve(static_cast<std::size_t>(count));
    p.entry_size.reserve(static_cast<std::size_t>(count));
    p.entry_parent.reserve(static_cast<std::size_t>(count));
    p.entry_part.reserve(static_cast<std::size_t>(count));
    // The directories whose names the coming entries' may begin with, each
    // name a proper beginning of the next: the table lists a directory's
    // contents right behind it.
    std::vector<std::pair<int32_t, std::string>> holders;
    for (int index = 0; index < count; ++index) {
        const char *name = "";
        uint64_t size = 0;
        int is_dir = 0;
        cdimage_entry_info(index, &name, &size, &is_dir);
        const std::string_view full(name);
        while (!holders.empty()) {
            const std::string &holder = holders.back().second;
            if (full.size() > holder.size() && full.compare(0, holder.size(), holder) == 0 &&
                full[holder.size()] == '/')
                break;
            holders.pop_back();
        }
        p.entry_parent.push_back(holders.empty() ? -1 : holders.back().first);
        p.entry_part.push_back(p.name_parts.size());
        p.name_parts.append(full.substr(holders.empty() ? 0 : holders.back().second.size() + 1));
        if (is_dir) {
            holders.emplace_back(index, std::string(full));
            size = 0;
        }
        p.bytes_before_entry.push_back(p.file_bytes);
        p.entry_size.push_back(size);
        p.file_bytes += size;
    }
}

// The name of the entry at table position `index`, as planned.
std::string planned_name(std::size_t index)
{
    const ProgressState &p = g_progress;
    std::string name;
    for (int32_t at = static_cast<int32_t>(index); at >= 0; at = p.entry_parent[static_cast<std::size_t>(at)]) {
        const std::size_t i = static_cast<std::size_t>(at);
        const std::size_t end = i + 1 < p.entry_part.size() ? p.entry_part[i + 1] : p.name_parts.size();
        name.insert(0, p.name_parts, p.entry_part[i], end - p.entry_part[i]);
        if (p.entry_parent[i] >= 0)
            name.insert(0, 1, '/');
    }
    return name;
}

void plan_audio()
{
    uint64_t before = 0;
    for (int index = 0; index < cdimage_track_count(); ++index) {
        const int number = cdimage_track_number(index);
        const char *path = nullptr;
        uint64_t offset = 0;
        uint32_t frames = 0;
        int big_endian = 0;
        if (!cdimage_track_is_audio(number) || !cdimage_audio_extent(number, &path, &offset, &frames, &big_endian))
            continue;
        const uint64_t size = static_cast<uint64_t>(frames) * BYTES_PER_FRAME;
        g_progress.audio_number.push_back(number);
        g_progress.bytes_before_track.push_back(before);
        g_progress.track_size.push_back(size);
        before += size;
    }
    g_progress.total = g_progress.file_bytes + before;
}

// Bytes done by now and the name of the file being written, from what the
// extraction and the audio export publish. `done` never goes back.
const char *read_position(char (&track_name)[NAME_TEXT_SIZE], std::string &entry_text)
{
    ProgressState &p = g_progress;
    const char *name = nullptr;
    uint64_t done = 0, bytes = 0;
    int item = 0;
    if (cdimage_audio_progress(&item, &bytes)) {
        auto found = std::find(p.audio_number.begin(), p.audio_number.end(), item);
        std::snprintf(track_name, sizeof track_name, "audio/track%02d.wav", item);
        name = track_name;
        done = p.file_bytes;
        if (found != p.audio_number.end()) {
            std::size_t i = static_cast<std::size_t>(found - p.audio_number.begin());
            done += p.bytes_before_track[i] + std::min(bytes, p.track_size[i]);
        }
    } else if (cdimage_extract_progress(&item, &bytes) && static_cast<std::size_t>(item) < p.entry_size.size()) {
        std::size_t i = static_cast<std::size_t>(item);
        entry_text = planned_name(i);
        name = entry_text.c_str();
        done = p.bytes_before_entry[i] + std::min(bytes, p.entry_size[i]);
    }
    p.done = std::max(p.done, done);
    return name;
}

uint64_t bytes_per_second(Clock::time_point now)
{
    std::vector<SpeedSample> &samples = g_progress.samples;
    samples.push_back({now, g_progress.done});
    if (samples.size() > SPEED_SAMPLES)
        samples.erase(samples.begin());
    const SpeedSample &oldest = samples.front();
    const double seconds = std::chrono::duration<double>(now - oldest.when).count();
    return seconds > 0 ? static_cast<uint64_t>(static_cast<double>(g_progress.done - oldest.done) / seconds) : 0;
}

int terminal_width()
{
    struct winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return DEFAULT_WIDTH;
}

void draw(const char *name, uint64_t speed)
{
    const int width = terminal_width();
    if (width < NARROWEST_WIDTH)
        return;
    char text[LINE_TEXT_SIZE], line[LINE_TEXT_SIZE + sizeof ERASE_LINE];
    format_progress_line(g_progress.done, g_progress.total, speed, name != nullptr ? name : "", width, text,
                         sizeof text);
    // Drawn over the previous line, whose longer tail is erased.
    std::snprintf(line, sizeof line, "\r%s\033[K", text);
    std::lock_guard<std::mutex> guard(g_progress.lock);
    // A message cut in the middle of its line must not be run into.
    if (!g_progress.line_shown && !g_progress.at_line_start)
        return;
    g_line_on_terminal.store(true);
    g_progress.line_shown = write_all(STDERR_FILENO, line, std::strlen(line));
    g_line_on_terminal.store(g_progress.line_shown);
}

void draw_until_stopped()
{
    const Clock::time_point start = Clock::now();
    g_progress.samples.push_back({start, 0});
    char track_name[NAME_TEXT_SIZE];
    std::string entry_text;
    std::unique_lock<std::mutex> guard(g_progress.lock);
    for (;;) {
        g_progress.wake.wait_for(guard, DRAW_INTERVAL, [] { return g_progress.stopping; });
        if (g_progress.stopping)
            return;
        guard.unlock();
        const Clock::time_point now = Clock::now();
        const char *name = read_position(track_name, entry_text);
        const uint64_t speed = bytes_per_second(now);
        if (now - start >= FIRST_DRAW_AFTER)
            draw(name, speed);
        guard.lock();
    }
}

// Puts the real standard output and error back in place.
void give_streams_back()
{
    ProgressState &p = g_progress;
    if (p.passing_stdout != nullptr) {
        stdout = p.real_stdout;
        std::fclose(p.passing_stdout);
    }
    if (p.passing_stderr != nullptr) {
        stderr = p.real_stderr;
        std::fclose(p.passing_stderr);
    }
    p.real_stdout = p.real_stderr = p.passing_stdout = p.passing_stderr = nullptr;
}

}  // namespace

void format_bytes(uint64_t bytes, char *text, std::size_t size)
{
    static const char *const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        std::snprintf(text, size, "%" PRIu64 " B", bytes);
        return;
    }
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof UNITS / sizeof UNITS[0]) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, size, "%.1f %s", value, UNITS[unit]);
}

void format_progress_line(uint64_t done, uint64_t total, uint64_t bytes_per_second, const char *name,
                          int width, char *text, std::size_t size)
{
    char done_text[NAME_TEXT_SIZE], total_text[NAME_TEXT_SIZE], speed_text[NAME_TEXT_SIZE];
    format_bytes(done, done_text, sizeof done_text);
    format_bytes(total, total_text, sizeof total_text);
    format_bytes(bytes_per_second, speed_text, sizeof speed_text);
    const unsigned percent = total > 0 ? static_cast<unsigned>(std::min<uint64_t>(done, total) * 100 / total) : 0;
    int used = std::snprintf(text, size, "%3u%%  %s / %s  %s/s  ", percent, done_text, total_text, speed_text);
    if (used < 0 || static_cast<std::size_t>(used) >= size)
        return;
    // A line as wide as the terminal would wrap: one column stays free.
    const std::size_t fits = std::min(static_cast<std::size_t>(width > 1 ? width - 1 : 0), size - 1);
    const std::size_t length = std::strlen(name);
    const std::size_t room = fits > static_cast<std::size_t>(used) ? fits - used : 0;
    if (length <= room)
        std::snprintf(text + used, size - used, "%s", name);
    else if (room > 3)
        std::snprintf(text + used, size - used, "...%s", name + length - (room - 3));
    else
        text[used - 2] = '\0';  // no room for a name: the line ends with the speed
    const std::size_t length_shown = std::min(std::strlen(text), fits);
    text[length_shown] = '\0';
    // A name from the image may hold control characters, escape sequences
    // among them: the terminal gets '?' in their place.
    char *shown_name = text + std::min(static_cast<std::size_t>(used), length_shown);
    make_printable(shown_name, std::strlen(shown_name));
}

void erase_progress_line_on_signal()
{
    static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");
    if (g_line_on_terminal.load())
        if (write(STDERR_FILENO, ERASE_LINE, sizeof ERASE_LINE - 1) < 0)
            return;  // nothing more a handler can do
}

void start_progress()
{
    ProgressState &p = g_progress;
    if (p.drawer.joinable())
        return;
    forget_run();
    plan_files();
    plan_audio();
    if (p.total == 0)
        return;

    std::fflush(stdout);
    std::fflush(stderr);
    p.real_stderr = stderr;
    p.passing_stderr = passing_stream(STDERR_FILENO);
    if (p.passing_stderr == nullptr)
        return;
    stderr = p.passing_stderr;
    if (isatty(STDOUT_FILENO)) {
        p.real_stdout = stdout;
        p.passing_stdout = passing_stream(STDOUT_FILENO);
        if (p.passing_stdout != nullptr)
            stdout = p.passing_stdout;
    }

    // Signals are for the main thread, which handles them; the drawing
    // thread takes none.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        p.drawer = std::thread(draw_until_stopped);
    } catch (const std::system_error &) {
        // No thread, no line: the run goes on as under a pipe.
        give_streams_back();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void stop_progress()
{
    ProgressState &p = g_progress;
    if (!p.drawer.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        p.stopping = true;
    }
    p.wake.notify_one();
    p.drawer.join();

    std::fflush(stdout);
    std::fflush(stderr);
    erase_line_locked();
    give_streams_back();
}
