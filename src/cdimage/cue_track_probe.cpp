// Track file probing: where each track file's data begins and how many bytes
// of it there are, and what a missing or undecodable file does to the open.
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define STB_VORBIS_HEADER_ONLY
#include <stb_vorbis.h>

#include "cdimage_internal.h"

namespace {

// RIFF WAVE layout: a 12-byte form header, then chunks of an 8-byte header
// (identifier, little-endian body size) and a body padded to even length.
constexpr long RIFF_HEADER_SIZE = 12;
constexpr int RIFF_ID_OFFSET = 0;
constexpr int RIFF_FORM_TYPE_OFFSET = 8;
constexpr int CHUNK_HEADER_SIZE = 8;
constexpr int CHUNK_SIZE_OFFSET = 4;

// The form header names a RIFF file of form type WAVE (letter case counts).
bool is_riff_wave_header(const unsigned char *header)
{
    return std::memcmp(header + RIFF_ID_OFFSET, "RIFF", 4) == 0 &&
           std::memcmp(header + RIFF_FORM_TYPE_OFFSET, "WAVE", 4) == 0;
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
FileHandle open_by_case_insensitive_name(char (&path)[PATH_TEXT_SIZE])
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

    char real_path[PATH_TEXT_SIZE];
    int written = std::snprintf(real_path, sizeof real_path, "%.*s%s",
                                static_cast<int>(wanted - path), path, match.c_str());
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof real_path)
        return nullptr;
    FileHandle stream = open_regular_file(real_path);
    if (stream)
        std::memcpy(path, real_path, sizeof real_path);
    return stream;
}

int probe_ogg_file(TrackFile &file)
{
    int error = 0;
    stb_vorbis *decoder = stb_vorbis_open_filename(file.path, &error, nullptr);
    if (decoder == nullptr) {
        std::fprintf(stderr, "cdimage: %s does not decode (%d)\n", file.path, error);
        return 0;
    }
    file.data_size = static_cast<int64_t>(stb_vorbis_stream_length_in_samples(decoder)) * BYTES_PER_FRAME;
    stb_vorbis_close(decoder);
    return 1;
}

}  // namespace

bool is_ogg_path(const char *path)
{
    std::size_t length = std::strlen(path);
    return length > 4 && strcasecmp(path + length - 4, ".ogg") == 0;
}

int64_t find_wave_data(std::FILE *stream)
{
    unsigned char header[RIFF_HEADER_SIZE];
    if (fseeko(stream, 0, SEEK_SET) != 0 || std::fread(header, 1, sizeof header, stream) != sizeof header ||
        !is_riff_wave_header(header))
        return 0;

    // Chunk sizes come from the file: positions are kept in 64 bits, and a
    // walk that leads past the end of the file stops at the short read.
    int64_t position = RIFF_HEADER_SIZE;
    for (;;) {
        unsigned char chunk[CHUNK_HEADER_SIZE];
        if (fseeko(stream, position, SEEK_SET) != 0 ||
            std::fread(chunk, 1, sizeof chunk, stream) != sizeof chunk)
            return 0;
        if (std::memcmp(chunk, "data", 4) == 0)
            return position + CHUNK_HEADER_SIZE;
        uint32_t body_size = little_endian_32(chunk + CHUNK_SIZE_OFFSET);
        position += CHUNK_HEADER_SIZE + static_cast<int64_t>(body_size) + (body_size % 2);
    }
}

int probe_track_file(TrackFile &file, const char *type)
{
    FileHandle stream = open_regular_file(file.path);
    if (!stream)
        stream = open_by_case_insensitive_name(file.path);
    if (!stream) {
        if (strcasecmp(type, "BINARY") == 0) {
            std::fprintf(stderr, "cdimage: %s is missing: only its audio tracks\n", file.path);
            return 1;
        }
        std::fprintf(stderr, "cdimage: %s is missing\n", file.path);
        return 0;
    }

    if (file.is_ogg) {
        stream.reset();
        return probe_ogg_file(file);
    }
    if (file.is_wave)
        file.data_offset = find_wave_data(stream.get());

    fseeko(stream.get(), 0, SEEK_END);
    int64_t length = ftello(stream.get());
    if (length < 0)
        length = 0;
    file.data_size = length - file.data_offset;
    return 1;
}
