// The cue sheet reader: the sheet is read whole (at most 16 MiB; UTF-16 is
// turned into UTF-8 first), then its FILE, TRACK and INDEX lines fill the
// file and track tables; every other line is passed over. A FILE, TRACK or
// INDEX line that cannot be taken as written refuses the sheet, with its
// reason, rather than being passed over and changing what the lines after
// it mean.
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_state.h"
#include "utf8_text.h"
#include "cue_sheet.h"
#include "disc_time.h"

namespace {

// Cue sheet times are minutes, seconds and frames (disc_time.h).
constexpr int64_t MAX_MINUTES = INT_MAX;
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::string_view UTF16_LE_BOM = "\xFF\xFE";
constexpr std::string_view UTF16_BE_BOM = "\xFE\xFF";
constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;
// The bytes looked at for a FILE line before a file is read as a cue sheet.
constexpr std::size_t CUE_SNIFF_SIZE = 64 * 1024;
// The characters of a malformed time that its reason quotes.
constexpr int QUOTED_TIME_SIZE = 24;

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
std::string_view take_token(std::string_view &text, std::size_t limit = std::string_view::npos)
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

// Reads one or more digits as a number no greater than `max`; false, the
// text untouched, for no digit or a larger number.
bool take_number(std::string_view &text, int64_t max, int64_t &value)
{
    std::size_t n = 0;
    value = 0;
    for (; n < text.size() && is_digit(text[n]); ++n) {
        value = value * 10 + (text[n] - '0');
        if (value > max)
            return false;
    }
    if (n == 0)
        return false;
    text.remove_prefix(n);
    return true;
}

bool take_colon(std::string_view &text)
{
    if (text.empty() || text[0] != ':')
        return false;
    text.remove_prefix(1);
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

bool starts_with_ignoring_case(std::string_view text, const char *prefix)
{
    const std::size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.data(), prefix, n) == 0;
}

enum class LineOutcome { GO_ON, FAIL_OPEN };

// Records why the open refuses the sheet; `line` is the line that is the
// cause, or 0 when no single line is.
__attribute__((format(printf, 3, 4))) LineOutcome refuse(ImageState &image, int line, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(image.open_reason, sizeof image.open_reason, format, arguments);
    va_end(arguments);
    image.open_reason_line = line;
    return LineOutcome::FAIL_OPEN;
}

// Refuses a file that is no cue sheet; gives CDIMAGE_NOT_A_CUE_SHEET.
int refuse_as_no_cue_sheet(ImageState &image, const char *reason)
{
    refuse(image, 0, "%s", reason);
    return CDIMAGE_NOT_A_CUE_SHEET;
}

// Refuses a sheet that could not be read; gives the errno of the failure.
int refuse_as_unread(ImageState &image, int error)
{
    refuse(image, 0, "%s", std::strerror(error));
    return error;
}

// Appends up to `limit` bytes of the stream to `text` (fewer at its end);
// false, with errno, when a read fails.
bool read_more(std::FILE *stream, std::string &text, std::size_t limit)
{
    char chunk[CUE_SNIFF_SIZE];
    while (limit > 0) {
        const std::size_t want = limit < sizeof chunk ? limit : sizeof chunk;
        const std::size_t got = std::fread(chunk, 1, want, stream);
        text.append(chunk, got);
        limit -= got;
        if (got < want)
            return !std::ferror(stream);
    }
    return true;
}

// UTF-16: units of 2 bytes; a code point past the 16-bit range is a high
// surrogate (its upper 10 bits) followed by a low one (its lower 10 bits).
constexpr std::size_t UTF16_UNIT_SIZE = 2;
constexpr uint32_t HIGH_SURROGATE_FIRST = 0xD800;
constexpr uint32_t HIGH_SURROGATE_LAST = 0xDBFF;
constexpr uint32_t LOW_SURROGATE_FIRST = 0xDC00;
constexpr uint32_t LOW_SURROGATE_LAST = 0xDFFF;
constexpr uint32_t SURROGATE_BITS = 10;
constexpr uint32_t FIRST_SUPPLEMENTARY = 0x10000;

bool has_utf16_bom(std::string_view bytes)
{
    return bytes.substr(0, UTF16_LE_BOM.size()) == UTF16_LE_BOM || bytes.substr(0, UTF16_BE_BOM.size()) == UTF16_BE_BOM;
}

// The 16-bit unit at byte `at` of UTF-16 text.
uint32_t utf16_unit(std::string_view bytes, std::size_t at, bool big_endian)
{
    const auto first = static_cast<unsigned char>(bytes[at]);
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    return big_endian ? (first << 8 | second) : (second << 8 | first);
}

// UTF-16 text that begins with its byte-order mark, as UTF-8 without it. A
// surrogate without its partner becomes U+FFFD; an odd last byte is dropped.
std::string utf8_from_utf16(std::string_view bytes)
{
    const bool big_endian = bytes.substr(0, UTF16_BE_BOM.size()) == UTF16_BE_BOM;
    std::string text;
    // Each unit gives at most 3 bytes of UTF-8 (a pair of units, 4).
    text.reserve(bytes.size() / UTF16_UNIT_SIZE * 3);
    for (std::size_t at = UTF16_BE_BOM.size(); at + 1 < bytes.size(); at += UTF16_UNIT_SIZE) {
        uint32_t code_point = utf16_unit(bytes, at, big_endian);
        if (code_point >= HIGH_SURROGATE_FIRST && code_point <= HIGH_SURROGATE_LAST &&
            at + UTF16_UNIT_SIZE + 1 < bytes.size()) {
            const uint32_t low = utf16_unit(bytes, at + UTF16_UNIT_SIZE, big_endian);
            if (low >= LOW_SURROGATE_FIRST && low <= LOW_SURROGATE_LAST) {
                code_point = FIRST_SUPPLEMENTARY + ((code_point - HIGH_SURROGATE_FIRST) << SURROGATE_BITS) +
                             (low - LOW_SURROGATE_FIRST);
                at += UTF16_UNIT_SIZE;
            }
        }
        if (code_point >= HIGH_SURROGATE_FIRST && code_point <= LOW_SURROGATE_LAST)
            code_point = REPLACEMENT_CHARACTER;
        append_utf8(text, code_point);
    }
    return text;
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

// The next line of the text, without its newline; `text` moves past it.
std::string_view take_line(std::string_view &text)
{
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    return line;
}

// A cue sheet is text with a FILE line beginning in its first 64 KiB: a
// file without one is some other file given in its place.
bool has_file_line_near_start(std::string_view text)
{
    std::string_view head = text.substr(0, CUE_SNIFF_SIZE);
    for (bool first_line = true; !head.empty(); first_line = false) {
        std::string_view line = take_line(head);
        if (equals_ignoring_case(take_keyword(line, first_line), "FILE"))
            return true;
    }
    return false;
}

// Reads the whole cue sheet into `text`, as UTF-8. 0 when it is one; else,
// its reason recorded, CDIMAGE_NOT_A_CUE_SHEET or the errno of the failure.
// The sheet is opened without waiting (a FIFO would block the open until
// some writer came) and read only when it is a regular file.
int load_cue_sheet(ImageState &image, const char *cue_path, std::string &text)
{
    errno = 0;
    const int fd = open(cue_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse_as_unread(image, errno);
    FileHandle cue(fdopen(fd, "rb"));
    if (!cue) {
        const int error = errno;
        close(fd);
        return refuse_as_unread(image, error);
    }
    // A sheet that opens refills the tables, whatever its lines turn out to be.
    image.file_count = 0;
    image.track_count = 0;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return refuse_as_unread(image, errno);
    if (S_ISDIR(info.st_mode))
        return refuse_as_unread(image, EISDIR);
    if (!S_ISREG(info.st_mode))
        return refuse_as_no_cue_sheet(image, "not a regular file");

    // A NUL byte in the first 64 KiB is a disc image or a track file given
    // in the sheet's place, whatever its size; UTF-16 text holds NUL bytes.
    if (!read_more(cue.get(), text, CUE_SNIFF_SIZE))
        return refuse_as_unread(image, errno != 0 ? errno : EIO);
    const bool utf16 = has_utf16_bom(text);
    if (!utf16 && text.find('\0') != std::string::npos)
        return refuse_as_no_cue_sheet(image, "not a cue sheet");
    // One byte past the limit tells a sheet that grows while it is read.
    if (static_cast<uint64_t>(info.st_size) > MAX_CUE_SHEET_SIZE ||
        !read_more(cue.get(), text, MAX_CUE_SHEET_SIZE + 1 - text.size()) || text.size() > MAX_CUE_SHEET_SIZE) {
        if (std::ferror(cue.get()))
            return refuse_as_unread(image, errno != 0 ? errno : EIO);
        return refuse_as_no_cue_sheet(image, "larger than 16 MiB");
    }
    if (utf16)
        text = utf8_from_utf16(text);
    if (text.find('\0') != std::string::npos || !has_file_line_near_start(text))
        return refuse_as_no_cue_sheet(image, "not a cue sheet");
    return 0;
}

// What the reader keeps while it goes through the lines.
struct SheetReading {
    std::string_view directory;  // the cue sheet's: names resolve against it
    int line;                    // the number of the line being read, from 1
    CueSheet &cue;
};

// The cue sheet's directory: everything before its last '/', or "." when it
// has none (so "/disc.cue" gives the empty text and names resolve to "/name").
std::string_view cue_directory(const char *cue_path)
{
    const char *slash = std::strrchr(cue_path, '/');
    if (slash == nullptr)
        return ".";
    return std::string_view(cue_path, static_cast<std::size_t>(slash - cue_path));
}

// The name and type word of a FILE line: null when the line has a name, else
// why it names nothing.
const char *parse_file_line(std::string_view rest, std::string_view &name, char (&type)[CUE_TOKEN_SIZE])
{
    copy_text(type, "BINARY");
    skip_blanks(rest);
    if (!rest.empty() && rest[0] == '"') {
        rest.remove_prefix(1);
        std::size_t close = rest.find('"');
        if (close == std::string_view::npos)
            return "FILE name without its closing quote";
        name = rest.substr(0, close);
        rest.remove_prefix(close + 1);
    } else {
        name = take_token(rest);
    }
    if (name.empty())
        return "FILE line without a name";
    std::string_view type_token = take_token(rest, CUE_TOKEN_SIZE - 1);
    if (!type_token.empty())
        copy_text(type, type_token);
    return nullptr;
}

// Rippers often write a track's TRACK line (and its INDEX 00, a pregap at
// the end of the file before) ahead of the FILE line of the file that holds
// its INDEX 01: a track still waiting for its INDEX 01 belongs to the new file.
void move_waiting_track_to(ImageState &image, CueSheet &cue, int file_index)
{
    if (image.track_count < 1)
        return;
    CueTrack &last = cue.tracks[image.track_count - 1];
    if (last.index1 < 0)
        last.file_index = file_index;
}

// Adds the file named by a FILE line to the table and has it probed. Its
// path is the cue sheet's directory and the name, whole: a path that would
// not fit refuses the sheet rather than opening some other file.
LineOutcome read_file_line(ImageState &image, const SheetReading &sheet, std::string_view rest)
{
    std::string_view name;
    char type[CUE_TOKEN_SIZE];
    if (const char *reason = parse_file_line(rest, name, type))
        return refuse(image, sheet.line, "%s", reason);
    if (image.file_count == MAX_TRACK_FILES)
        return refuse(image, sheet.line, "more than %d FILE lines", MAX_TRACK_FILES);

    TrackFile &file = image.files[image.file_count];
    file = TrackFile{};
    const std::size_t length = sheet.directory.size() + 1 + name.size();
    if (length >= sizeof file.path)
        return refuse(image, sheet.line, "track file path longer than %zu bytes", sizeof file.path - 1);
    sheet.directory.copy(file.path, sheet.directory.size());
    file.path[sheet.directory.size()] = '/';
    name.copy(file.path + sheet.directory.size() + 1, name.size());
    file.path[length] = '\0';
    for (char *c = file.path; *c != '\0'; ++c)
        if (*c == '\\')
            *c = '/';

    if (!probe_track_file(image, file, sheet.directory, type))
        return LineOutcome::FAIL_OPEN;
    move_waiting_track_to(image, sheet.cue, image.file_count);
    ++image.file_count;
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
        track.source.sector_size = MODE2_SECTOR_SIZE;
        track.source.header_size = MODE2_SUBHEADER_SIZE;
    } else if (mode.find("2048") != std::string_view::npos) {
        track.source.sector_size = DATA_SECTOR_SIZE;
        track.source.header_size = 0;
    } else {
        track.source.sector_size = RAW_SECTOR_SIZE;
        track.source.header_size = starts_with_ignoring_case(mode, "MODE2") ? MODE2_RAW_USER_DATA_OFFSET
                                                                     : MODE1_RAW_USER_DATA_OFFSET;
    }
}

LineOutcome read_track_line(ImageState &image, SheetReading &sheet, std::string_view rest)
{
    // A TRACK line before any FILE line has no file to lie in: passed over.
    if (image.file_count < 1)
        return LineOutcome::GO_ON;
    if (image.track_count >= MAX_TRACKS)
        return refuse(image, sheet.line, "more than %d TRACK lines", MAX_TRACKS);
    Track &track = image.tracks[image.track_count];
    track = Track{};
    std::string_view mode;
    if (take_int(rest, track.number))
        mode = take_token(rest, CUE_TOKEN_SIZE - 1);
    CueTrack &place = sheet.cue.tracks[image.track_count];
    place = CueTrack{};
    place.index1 = -1;
    place.index0 = -1;
    place.file_index = image.file_count - 1;
    place.index0_file = place.file_index;
    set_track_mode(track, mode);
    sheet.cue.track_lines[image.track_count] = sheet.line;
    ++image.track_count;
    return LineOutcome::GO_ON;
}

// INDEX 00 and 01 place the track; other index numbers (and INDEX lines
// before the first track) change nothing and are passed over.
LineOutcome read_index_line(ImageState &image, const SheetReading &sheet, std::string_view rest)
{
    if (image.track_count < 1)
        return LineOutcome::GO_ON;
    int index_number = -1;
    if (!take_int(rest, index_number) || (index_number != 0 && index_number != 1))
        return LineOutcome::GO_ON;
    const std::string_view time = take_token(rest);
    if (time.empty())
        return refuse(image, sheet.line, "INDEX %02d without a time", index_number);
    const int64_t position = parse_msf(time);
    if (position < 0) {
        const int shown = time.size() < QUOTED_TIME_SIZE ? static_cast<int>(time.size()) : QUOTED_TIME_SIZE;
        return refuse(image, sheet.line, "INDEX %02d time '%.*s' is not mm:ss:ff (seconds < 60, frames < 75)",
                      index_number, shown, time.data());
    }
    CueTrack &track = sheet.cue.tracks[image.track_count - 1];
    if (index_number == 1) {
        track.index1 = position;
    } else {
        track.index0 = position;
        track.index0_file = track.file_index;
    }
    return LineOutcome::GO_ON;
}

// What the whole sheet must describe: at least one track, each with its
// INDEX 01, and a track that is not audio, for the volume.
LineOutcome check_tracks(ImageState &image, const SheetReading &sheet)
{
    if (image.track_count == 0)
        return refuse(image, 0, "no TRACK line");
    for (int i = 0; i < image.track_count; ++i)
        if (sheet.cue.tracks[i].index1 < 0)
            return refuse(image, sheet.cue.track_lines[i], "track %02d has no INDEX 01", image.tracks[i].number);
    for (int i = 0; i < image.track_count; ++i)
        if (!image.tracks[i].is_audio)
            return LineOutcome::GO_ON;
    if (image.options.open_without_data_track)
        return LineOutcome::GO_ON;
    return refuse(image, 0, "no data track");
}

}  // namespace

int64_t parse_msf(std::string_view time)
{
    int64_t minutes = 0, seconds = 0, frames = 0;
    if (!take_number(time, MAX_MINUTES, minutes) || !take_colon(time) ||
        !take_number(time, SECONDS_PER_MINUTE - 1, seconds) || !take_colon(time) ||
        !take_number(time, SECTORS_PER_SECOND - 1, frames) || !time.empty())
        return -1;
    return disc_time_sectors(minutes, seconds, frames);
}

bool read_cue_sheet(ImageState &image, const char *cue_path, CueSheet &cue)
{
    std::string text;
    image.cue_error = load_cue_sheet(image, cue_path, text);
    if (image.cue_error != 0)
        return false;

    SheetReading sheet{cue_directory(cue_path), 0, cue};
    std::string_view rest_of_sheet(text);
    for (sheet.line = 1; !rest_of_sheet.empty(); ++sheet.line) {
        std::string_view rest = take_line(rest_of_sheet);
        std::string_view keyword = take_keyword(rest, sheet.line == 1);
        LineOutcome outcome = LineOutcome::GO_ON;
        if (equals_ignoring_case(keyword, "FILE"))
            outcome = read_file_line(image, sheet, rest);
        else if (equals_ignoring_case(keyword, "TRACK"))
            outcome = read_track_line(image, sheet, rest);
        else if (equals_ignoring_case(keyword, "INDEX"))
            outcome = read_index_line(image, sheet, rest);
        if (outcome == LineOutcome::FAIL_OPEN)
            return false;
    }
    return check_tracks(image, sheet) == LineOutcome::GO_ON;
}
