// The cue sheet reader: FILE, TRACK and INDEX lines fill the file and track
// tables; every other line is ignored.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "cdimage_internal.h"

namespace {

constexpr std::size_t CUE_LINE_SIZE = 1024;
// Cue sheet times are minutes, seconds and frames; a frame is one sector.
constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int64_t SECTORS_PER_SECOND = 75;
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
// The bytes looked at before a file is read as a cue sheet.
constexpr std::size_t CUE_SNIFF_SIZE = 64 * 1024;

// The six white-space characters of the POSIX locale; bytes of 128 and above
// are not white space.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

void skip_blanks(std::string_view &text)
{
    std::size_t n = 0;
    while (n < text.size() && is_blank(text[n]))
        ++n;
    text.remove_prefix(n);
}

// Reads the next token after any white space, at most `limit` characters of
// it; what is left of a longer token stays in `text`. Empty when none.
std::string_view take_token(std::string_view &text, std::size_t limit)
{
    skip_blanks(text);
    std::size_t n = 0;
    while (n < text.size() && n < limit && !is_blank(text[n]))
        ++n;
    std::string_view token = text.substr(0, n);
    text.remove_prefix(n);
    return token;
}

// Reads a decimal integer with an optional sign after any white space, as
// scanf's %d does; values beyond the range of int are held at its ends.
bool take_int(std::string_view &text, int &value)
{
    std::string_view rest = text;
    skip_blanks(rest);
    bool negative = false;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
    }
    if (rest.empty() || !is_digit(rest[0]))
        return false;
    int64_t magnitude = 0;
    while (!rest.empty() && is_digit(rest[0])) {
        if (magnitude <= INT_MAX)
            magnitude = magnitude * 10 + (rest[0] - '0');
        rest.remove_prefix(1);
    }
    int64_t signed_value = negative ? -magnitude : magnitude;
    if (signed_value > INT_MAX)
        signed_value = INT_MAX;
    if (signed_value < INT_MIN)
        signed_value = INT_MIN;
    value = static_cast<int>(signed_value);
    text = rest;
    return true;
}

// Copies a view into a fixed text, cut to fit with its terminator.
template <std::size_t N>
void copy_text(char (&out)[N], std::string_view text)
{
    std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    // An empty view may hold no pointer at all, which memcpy must not get.
    if (n > 0)
        std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

bool equals_ignoring_case(std::string_view a, const char *b)
{
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// The keyword of one line as the reader takes it; `rest` is left behind
// the keyword.
std::string_view take_keyword(std::string_view &rest, bool first_line)
{
    // Editors on other systems put a byte-order mark in front of the text.
    if (first_line && rest.substr(0, UTF8_BOM.size()) == UTF8_BOM)
        rest.remove_prefix(UTF8_BOM.size());
    return take_token(rest, CUE_TOKEN_SIZE - 1);
}

// A cue sheet is text with a FILE line near its start. A NUL byte, or no
// FILE line in the first 64 KiB, is some other file given in its place
// (a track file, a disc image). 0 when it looks like a cue sheet, else
// CDIMAGE_NOT_A_CUE_SHEET or the errno of a failed read. Leaves the stream
// at its start.
int check_cue_sheet_start(std::FILE *cue)
{
    static char head[CUE_SNIFF_SIZE];
    std::size_t size = std::fread(head, 1, sizeof head, cue);
    if (size < sizeof head && std::ferror(cue))
        return errno != 0 ? errno : EIO;
    if (std::memchr(head, '\0', size) != nullptr)
        return CDIMAGE_NOT_A_CUE_SHEET;
    // Lines as the reader takes them: each cut to 1023 bytes.
    std::string_view text(head, size);
    bool has_file_line = false;
    for (bool first_line = true; !text.empty() && !has_file_line; first_line = false) {
        std::size_t newline = text.find('\n');
        std::size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
        std::string_view line = text.substr(0, std::min(length, CUE_LINE_SIZE - 1));
        text.remove_prefix(length);
        has_file_line = equals_ignoring_case(take_keyword(line, first_line), "FILE");
    }
    if (!has_file_line)
        return CDIMAGE_NOT_A_CUE_SHEET;
    return std::fseek(cue, 0, SEEK_SET) == 0 ? 0 : errno;
}

bool starts_with_ignoring_case(std::string_view text, const char *prefix)
{
    const std::size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.data(), prefix, n) == 0;
}

// The cue sheet's directory: everything before its last '/', or "." when it
// has none (so "/disc.cue" gives the empty text and names resolve to "/name").
void cue_directory(const char *cue_path, char (&directory)[PATH_TEXT_SIZE])
{
    const char *slash = std::strrchr(cue_path, '/');
    if (slash == nullptr)
        copy_text(directory, ".");
    else
        copy_text(directory, std::string_view(cue_path, static_cast<std::size_t>(slash - cue_path)));
}

// Skips what is left of a line that did not fit the line buffer: text deep
// inside a long remark or title is never read as a keyword line of its own.
void skip_rest_of_line(std::FILE *stream)
{
    int c;
    do
        c = std::getc(stream);
    while (c != EOF && c != '\n');
}

enum class LineOutcome { GO_ON, FAIL_OPEN };

// The name and type word of a FILE line; false when the line names nothing
// (no name, or a quote that is never closed).
bool parse_file_line(std::string_view rest, char (&name)[CUE_NAME_SIZE], char (&type)[CUE_TOKEN_SIZE])
{
    copy_text(type, "BINARY");
    skip_blanks(rest);
    if (!rest.empty() && rest[0] == '"') {
        rest.remove_prefix(1);
        std::size_t close = rest.find('"');
        if (close == std::string_view::npos)
            return false;
        copy_text(name, rest.substr(0, close));
        rest.remove_prefix(close + 1);
    } else {
        std::string_view token = take_token(rest, CUE_NAME_SIZE - 1);
        if (token.empty())
            return false;
        copy_text(name, token);
    }
    std::string_view type_token = take_token(rest, CUE_TOKEN_SIZE - 1);
    if (!type_token.empty())
        copy_text(type, type_token);
    return true;
}

// Rippers often write a track's TRACK line (and its INDEX 00, a pregap at
// the end of the file before) ahead of the FILE line of the file that holds
// its INDEX 01: a track still waiting for its INDEX 01 belongs to the new file.
void move_waiting_track_to(int file_index)
{
    if (g_image.track_count < 1)
        return;
    Track &last = g_image.tracks[g_image.track_count - 1];
    if (last.index1 < 0)
        last.file_index = file_index;
}

// Adds the file to the table and has it probed.
LineOutcome register_track_file(const char *directory, const char *name, const char *type)
{
    if (g_image.file_count == MAX_TRACK_FILES)
        return LineOutcome::FAIL_OPEN;

    TrackFile &file = g_image.files[g_image.file_count];
    file = TrackFile{};
    std::snprintf(file.path, sizeof file.path, "%s/%s", directory, name);
    for (char *c = file.path; *c != '\0'; ++c)
        if (*c == '\\')
            *c = '/';

    if (!probe_track_file(file, directory, type))
        return LineOutcome::FAIL_OPEN;
    move_waiting_track_to(g_image.file_count);
    ++g_image.file_count;
    return LineOutcome::GO_ON;
}

void set_track_mode(Track &track, std::string_view mode)
{
    copy_text(track.mode, mode);
    for (char *c = track.mode; *c != '\0'; ++c)
        if (*c >= 'a' && *c <= 'z')
            *c = static_cast<char>(*c - 'a' + 'A');
    track.is_audio = equals_ignoring_case(mode, "AUDIO");
    if (mode.find("2336") != std::string_view::npos) {
        // MODE2/2336 files store the subheader, then the 2048 user bytes.
        track.sector_size = MODE2_SECTOR_SIZE;
        track.header_size = MODE2_SUBHEADER_SIZE;
    } else if (mode.find("2048") != std::string_view::npos) {
        track.sector_size = DATA_SECTOR_SIZE;
        track.header_size = 0;
    } else {
        track.sector_size = RAW_SECTOR_SIZE;
        track.header_size = starts_with_ignoring_case(mode, "MODE2") ? MODE2_RAW_USER_DATA_OFFSET
                                                                     : MODE1_RAW_USER_DATA_OFFSET;
    }
}

void read_track_line(std::string_view rest)
{
    if (g_image.file_count < 1 || g_image.track_count >= MAX_TRACKS)
        return;
    Track &track = g_image.tracks[g_image.track_count];
    track = Track{};
    std::string_view mode;
    if (take_int(rest, track.number))
        mode = take_token(rest, CUE_TOKEN_SIZE - 1);
    track.index1 = -1;
    track.index0 = -1;
    track.file_index = g_image.file_count - 1;
    track.index0_file = track.file_index;
    set_track_mode(track, mode);
    ++g_image.track_count;
}

void read_index_line(std::string_view rest)
{
    if (g_image.track_count < 1)
        return;
    int index_number = -1;
    char time[CUE_TOKEN_SIZE] = "";
    if (take_int(rest, index_number))
        copy_text(time, take_token(rest, CUE_TOKEN_SIZE - 1));
    Track &track = g_image.tracks[g_image.track_count - 1];
    if (index_number == 1) {
        track.index1 = parse_msf(time);
    } else if (index_number == 0) {
        track.index0 = parse_msf(time);
        track.index0_file = track.file_index;
    }
}

}  // namespace

int64_t parse_msf(const char *time)
{
    std::string_view text(time);
    int minutes = 0, seconds = 0, frames = 0;
    if (!take_int(text, minutes) || text.empty() || text[0] != ':')
        return -1;
    text.remove_prefix(1);
    if (!take_int(text, seconds) || text.empty() || text[0] != ':')
        return -1;
    text.remove_prefix(1);
    if (!take_int(text, frames))
        return -1;
    return (static_cast<int64_t>(minutes) * SECONDS_PER_MINUTE + seconds) * SECTORS_PER_SECOND + frames;
}

int read_cue_sheet(const char *cue_path)
{
    errno = 0;
    FileHandle cue(std::fopen(cue_path, "r"));
    if (!cue) {
        g_image.cue_error = errno;
        return 0;
    }
    g_image.file_count = 0;
    g_image.track_count = 0;
    g_image.cue_error = check_cue_sheet_start(cue.get());
    if (g_image.cue_error != 0)
        return 0;

    char directory[PATH_TEXT_SIZE];
    cue_directory(cue_path, directory);

    char line[CUE_LINE_SIZE];
    bool first_line = true;
    for (;;) {
        // fgets writes the last byte of the buffer only when the line filled
        // it; a NUL there without a newline before it means the line is longer.
        line[CUE_LINE_SIZE - 1] = 'x';
        if (std::fgets(line, sizeof line, cue.get()) == nullptr)
            break;
        if (line[CUE_LINE_SIZE - 1] == '\0' && line[CUE_LINE_SIZE - 2] != '\n')
            skip_rest_of_line(cue.get());
        std::string_view rest(line);
        std::string_view keyword = take_keyword(rest, first_line);
        first_line = false;
        if (equals_ignoring_case(keyword, "FILE")) {
            char name[CUE_NAME_SIZE];
            char type[CUE_TOKEN_SIZE];
            if (parse_file_line(rest, name, type) &&
                register_track_file(directory, name, type) == LineOutcome::FAIL_OPEN)
                return 0;
        } else if (equals_ignoring_case(keyword, "TRACK")) {
            read_track_line(rest);
        } else if (equals_ignoring_case(keyword, "INDEX")) {
            read_index_line(rest);
        }
    }
    return 1;
}
