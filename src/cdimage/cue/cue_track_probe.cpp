// Track file probing: how each track file holds its audio, where its data
// begins and how many bytes of it there are, and what a missing or
// undecodable file does to the open.
#include <cstring>
#include <new>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio.h"
#include "cue_sheet.h"
#include "image_state.h"
#include "printable_text.h"
#include "utf8_text.h"

namespace {

// RIFF WAVE layout: a 12-byte form header, then chunks of an 8-byte header
// (identifier, little-endian body size) and a body padded to even length.
constexpr long RIFF_HEADER_SIZE = 12;
constexpr int RIFF_ID_OFFSET = 0;
constexpr int RIFF_FORM_TYPE_OFFSET = 8;
constexpr int CHUNK_HEADER_SIZE = 8;
constexpr int CHUNK_SIZE_OFFSET = 4;
constexpr std::size_t CHUNK_ID_SIZE = 4;
// The part of a "fmt " body that says what the samples are: format tag,
// channels, sample rate, byte rate, block align, bits per sample.
constexpr int FORMAT_BODY_SIZE = 16;
constexpr int FORMAT_TAG_OFFSET = 0;
constexpr int FORMAT_CHANNELS_OFFSET = 2;
constexpr int FORMAT_RATE_OFFSET = 4;
constexpr int FORMAT_BITS_OFFSET = 14;
constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Names and leading bytes that mark a file for the decoder.
constexpr const char *DECODED_SUFFIXES[] = {".ogg", ".flac", ".mp3", ".opus"};
constexpr std::string_view DECODED_SIGNATURES[] = {"OggS", "fLaC", "ID3"};
constexpr std::size_t SIGNATURE_SIZE = 4;

// The form header names a RIFF file of form type WAVE (letter case counts).
bool is_riff_wave_header(const unsigned char *header)
{
    return std::memcmp(header + RIFF_ID_OFFSET, "RIFF", CHUNK_ID_SIZE) == 0 &&
           std::memcmp(header + RIFF_FORM_TYPE_OFFSET, "WAVE", CHUNK_ID_SIZE) == 0;
}

// Opens a track file for measuring. A directory counts as a file that cannot
// be opened (reading it would fail, and its "length" means nothing), and so
// does a FIFO or socket, which has no length and whose open could wait for a
// writer forever.
FileHandle open_regular_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    FileHandle stream(fdopen(fd, "rb"));
    if (!stream)
        close(fd);
    return stream;
}

// Cue sheets written on case-insensitive systems often name GAME.BIN as
// game.bin. When exactly one entry of the file's directory matches its last
// component ignoring ASCII case, that entry is the file: `path` becomes its
// real path.
FileHandle open_by_case_insensitive_name(char (&path)[TRACK_PATH_SIZE])
{
    const char *slash = std::strrchr(path, '/');
    std::string directory = slash == nullptr ? std::string(".") : std::string(path, static_cast<std::size_t>(slash - path));
    if (slash != nullptr && directory.empty())
        directory = "/";
    const char *wanted = slash == nullptr ? path : slash + 1;

    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory.c_str()), closedir);
    if (!dir)
        return nullptr;
    std::string match;
    int matches = 0;
    while (const dirent *entry = readdir(dir.get())) {
        if (strcasecmp(entry->d_name, wanted) == 0) {
            ++matches;
            match = entry->d_name;
        }
    }
    if (matches != 1)
        return nullptr;

    char real_path[TRACK_PATH_SIZE];
    int written = std::snprintf(real_path, sizeof real_path, "%.*s%s",
                                static_cast<int>(wanted - path), path, match.c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof real_path)
        return nullptr;
    FileHandle stream = open_regular_file(real_path);
    if (stream)
        std::memcpy(path, real_path, sizeof real_path);
    return stream;
}

// Opens the file as named, or by its last component in another case.
FileHandle open_as_named(char (&path)[TRACK_PATH_SIZE])
{
    FileHandle stream = open_regular_file(path);
    return stream ? std::move(stream) : open_by_case_insensitive_name(path);
}

// The text with its ISO 8859-1 bytes (0x80 and above) as UTF-8, two bytes
// each; false when it has none or the result does not fit.
bool latin1_as_utf8(const char *text, char (&utf8)[TRACK_PATH_SIZE])
{
    std::string converted;
    bool changed = false;
    for (const char *c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        append_utf8(converted, byte);
        changed = changed || byte >= FIRST_OF_2_BYTES;
    }
    if (!changed || converted.size() >= sizeof utf8)
        return false;
    converted.copy(utf8, converted.size());
    utf8[converted.size()] = '\0';
    return true;
}

// Sheets made on other machines name their files by paths that do not
// exist here: a Windows path (C:\Rips\Game.bin), another machine's
// absolute path, a name in ISO 8859-1 where this disk holds UTF-8. Such a
// file is looked for as named, then by its base name (after the last '/' or
// '\\') in the cue sheet's directory, then both again with their ISO 8859-1
// bytes as UTF-8; letter case is ignored where one entry matches. `path`
// becomes the path found.
FileHandle open_track_file(char (&path)[TRACK_PATH_SIZE], std::string_view cue_directory)
{
    char candidates[4][TRACK_PATH_SIZE];
    int count = 0;
    std::memcpy(candidates[count++], path, sizeof path);
    const char *base = path;
    for (const char *c = path; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\')
            base = c + 1;
    const int written = std::snprintf(candidates[count], sizeof candidates[count], "%.*s/%s",
                                      static_cast<int>(cue_directory.size()), cue_directory.data(), base);
    if (written >= 0 && static_cast<std::size_t>(written) < sizeof candidates[count] &&
        std::strcmp(candidates[count], path) != 0)
        ++count;
    for (int i = 0, named = count; i < named; ++i)
        if (latin1_as_utf8(candidates[i], candidates[count]))
            ++count;
    for (int i = 0; i < count; ++i) {
        FileHandle stream = open_as_named(candidates[i]);
        if (stream) {
            std::memcpy(path, candidates[i], sizeof path);
            return stream;
        }
    }
    return nullptr;
}

bool has_decoded_suffix(const char *path)
{
    std::size_t length = std::strlen(path);
    for (const char *suffix : DECODED_SUFFIXES) {
        std::size_t n = std::strlen(suffix);
        if (length > n && strcasecmp(path + length - n, suffix) == 0)
            return true;
    }
    return false;
}

// Reads the first bytes alone, past the stream's buffer: probing a raw file
// reads no track data beyond them.
bool has_decoded_signature(std::FILE *stream)
{
    char head[SIGNATURE_SIZE];
    const ssize_t got = pread(fileno(stream), head, sizeof head, 0);
    std::string_view bytes(head, got > 0 ? static_cast<std::size_t>(got) : 0);
    for (std::string_view signature : DECODED_SIGNATURES)
        if (bytes.substr(0, signature.size()) == signature)
            return true;
    return false;
}

// A compressed file goes to the decoder by its name, its type word or its
// first bytes; a file of type BINARY or MOTOROLA without such a name or
// signature never does.
bool is_compressed_file(const char *path, const char *type, std::FILE *stream)
{
    return has_decoded_suffix(path) || strcasecmp(type, "MP3") == 0 || has_decoded_signature(stream);
}

// 16-bit stereo integer PCM is copied as stored; so is a "data" chunk that
// no "fmt " chunk describes.
bool wave_holds_cd_samples(const WaveLayout &wave)
{
    return !wave.has_format || (wave.format_tag == WAVE_FORMAT_PCM && wave.channels == 2 &&
                                wave.bits_per_sample == 16 && wave.sample_rate >= 1 &&
                                wave.sample_rate <= MAX_SAMPLE_RATE);
}

// Measures a file through the decoder: its frames, as 16-bit stereo, and its
// own sample rate.
bool probe_decoded_file(ImageState &image, TrackFile &file, std::FILE *stream)
{
    file.format = TrackFormat::DECODED;
    file.data_offset = 0;
    const DecodedMeasure measure = measure_decoded_file(fileno(stream));
    if (measure.error != 0) {
        const std::string reason = "does not decode (" + decimal_text(measure.error) + ")";
        record_line(image, LedgerKind::OPEN_REFUSED, file.path, reason,
                    "cdimage: " + printable_text(file.path) + " " + reason);
        return false;
    }
    file.data_size = measure.frames * BYTES_PER_FRAME;
    file.sample_rate = measure.sample_rate;
    return true;
}

}  // namespace

WaveLayout read_wave_layout(std::FILE *stream)
{
    WaveLayout wave{};
    unsigned char header[RIFF_HEADER_SIZE];
    if (fseeko(stream, 0, SEEK_SET) != 0 || std::fread(header, 1, sizeof header, stream) != sizeof header ||
        !is_riff_wave_header(header))
        return WaveLayout{};

    // Chunk sizes come from the file: positions are kept in 64 bits, and a
    // walk that leads past the end of the file stops at the short read.
    int64_t position = RIFF_HEADER_SIZE;
    for (;;) {
        unsigned char chunk[CHUNK_HEADER_SIZE];
        if (fseeko(stream, position, SEEK_SET) != 0 ||
            std::fread(chunk, 1, sizeof chunk, stream) != sizeof chunk)
            return WaveLayout{};
        if (std::memcmp(chunk, "data", CHUNK_ID_SIZE) == 0) {
            wave.data_offset = position + CHUNK_HEADER_SIZE;
            return wave;
        }
        uint32_t body_size = little_endian_32(chunk + CHUNK_SIZE_OFFSET);
        unsigned char format[FORMAT_BODY_SIZE];
        if (std::memcmp(chunk, "fmt ", CHUNK_ID_SIZE) == 0 && body_size >= FORMAT_BODY_SIZE &&
            std::fread(format, 1, sizeof format, stream) == sizeof format) {
            wave.has_format = true;
            wave.format_tag = little_endian_16(format + FORMAT_TAG_OFFSET);
            wave.channels = little_endian_16(format + FORMAT_CHANNELS_OFFSET);
            wave.sample_rate = little_endian_32(format + FORMAT_RATE_OFFSET);
            wave.bits_per_sample = little_endian_16(format + FORMAT_BITS_OFFSET);
        }
        position += CHUNK_HEADER_SIZE + static_cast<int64_t>(body_size) + (body_size % 2);
    }
}

bool probe_track_file(ImageState &image, TrackFile &file, std::string_view cue_directory, const char *type)
{
    file.big_endian_type = strcasecmp(type, "MOTOROLA") == 0;
    file.format = file.big_endian_type ? TrackFormat::STORED_BIG_ENDIAN : TrackFormat::STORED;
    file.sample_rate = CD_SAMPLE_RATE;
    FileHandle stream = open_track_file(file.path, cue_directory);
    if (!stream) {
        // What a missing BINARY file costs is named once its tracks are known.
        if (strcasecmp(type, "BINARY") == 0) {
            file.missing = true;
            return true;
        }
        record_line(image, LedgerKind::OPEN_REFUSED, file.path, "is missing",
                    "cdimage: " + printable_text(file.path) + " is missing");
        return false;
    }

    if (is_compressed_file(file.path, type, stream.get()))
        return probe_decoded_file(image, file, stream.get());
    if (strcasecmp(type, "WAVE") == 0) {
        const WaveLayout wave = read_wave_layout(stream.get());
        if (!wave_holds_cd_samples(wave))
            return probe_decoded_file(image, file, stream.get());
        file.data_offset = wave.data_offset;
        if (wave.has_format)
            file.sample_rate = wave.sample_rate;
    }

    fseeko(stream.get(), 0, SEEK_END);
    int64_t length = ftello(stream.get());
    if (length < 0)
        length = 0;
    file.data_size = length - file.data_offset;
    return true;
}
