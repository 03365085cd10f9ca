// The audio phase: each audio track is streamed from its track file into a
// 44-byte-header RIFF WAVE file (PCM, stereo, 16-bit, 44100 Hz).
#include "audio_export.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define STB_VORBIS_HEADER_ONLY
#include <stb_vorbis.h>

#include "cdimage.h"
#include "file_io.h"
#include "output_tree.h"

namespace {

// The WAVE file being written, for discard_partial_wave.
PartialFile g_partial_wave;

constexpr std::size_t PATH_TEXT_SIZE = 1024;
// A frame of CD audio: two 16-bit samples.
constexpr int BYTES_PER_FRAME = 4;
constexpr std::size_t WAVE_HEADER_SIZE = 44;
constexpr int RIFF_SIZE_OFFSET = 4;
constexpr int DATA_SIZE_OFFSET = 40;
constexpr uint32_t SAMPLE_RATE = 44100;
constexpr uint32_t FRAMES_PER_MINUTE = SAMPLE_RATE * 60;
// Data bytes + 36 must fit the 32-bit RIFF size: fewer frames than this.
constexpr uint64_t FRAME_LIMIT = (UINT64_C(0x100000000) - 36) / BYTES_PER_FRAME;
// The bounded buffer a track streams through.
constexpr std::size_t STREAM_FRAMES = 256 * 1024;

void write_le16(std::FILE *stream, uint16_t value)
{
    std::fputc(value & 0xFF, stream);
    std::fputc(value >> 8, stream);
}

void write_wave_header(std::FILE *out, uint32_t frames)
{
    const uint32_t data_bytes = frames * BYTES_PER_FRAME;
    std::fwrite("RIFF", 1, 4, out);
    write_le32(out, data_bytes + 36);
    std::fwrite("WAVEfmt ", 1, 8, out);
    write_le32(out, 16);
    write_le16(out, 1);  // PCM
    write_le16(out, 2);  // channels
    write_le32(out, SAMPLE_RATE);
    write_le32(out, SAMPLE_RATE * BYTES_PER_FRAME);
    write_le16(out, BYTES_PER_FRAME);
    write_le16(out, 16);  // bits per sample
    std::fwrite("data", 1, 4, out);
    write_le32(out, data_bytes);
}

// Rewrites both size fields once the frames really written are known.
bool patch_wave_sizes(std::FILE *out, uint32_t frames)
{
    const uint32_t data_bytes = frames * BYTES_PER_FRAME;
    if (fseeko(out, RIFF_SIZE_OFFSET, SEEK_SET) != 0)
        return false;
    write_le32(out, data_bytes + 36);
    if (fseeko(out, DATA_SIZE_OFFSET, SEEK_SET) != 0)
        return false;
    write_le32(out, data_bytes);
    return !std::ferror(out);
}

void swap_sample_bytes(unsigned char *bytes, std::size_t count)
{
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        unsigned char low = bytes[i];
        bytes[i] = bytes[i + 1];
        bytes[i + 1] = low;
    }
}

// The module measures a track file ending in ".ogg" (any case) as Ogg
// Vorbis, whatever its type word; its frames must be decoded.
bool is_ogg_path(const char *path)
{
    std::size_t length = std::strlen(path);
    return length > 4 && strcasecmp(path + length - 4, ".ogg") == 0;
}

void print_read_failed(int number)
{
    std::fprintf(stderr, "track %02d: read failed\n", number);
}

struct DecoderCloser {
    void operator()(stb_vorbis *decoder) const { stb_vorbis_close(decoder); }
};
using Decoder = std::unique_ptr<stb_vorbis, DecoderCloser>;

// Where one track's frames come from: a track file of stored samples, or an
// Ogg Vorbis stream decoded to 16-bit stereo.
struct TrackSource {
    FileHandle raw;
    Decoder ogg;
    bool swap_bytes = false;
    uint64_t available = 0;  // frames the source holds for the track, up to `frames`
};

bool open_raw_source(TrackSource &source, const char *path, uint64_t offset, uint32_t frames, int big_endian)
{
    source.raw.reset(std::fopen(path, "rb"));
    if (!source.raw || offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(source.raw.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    struct stat info;
    if (fstat(fileno(source.raw.get()), &info) != 0)
        return false;
    // Only a regular file's size says how many frames it holds: a directory
    // opened in its place reads as nothing.
    uint64_t size = S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    uint64_t held = size > offset ? (size - offset) / BYTES_PER_FRAME : 0;
    source.available = held < frames ? held : frames;
    source.swap_bytes = big_endian != 0;
    return true;
}

// Decoded samples are native 16-bit values: never swapped, whatever the
// FILE line's type word.
bool open_ogg_source(TrackSource &source, const char *path, uint64_t offset, uint32_t frames)
{
    int error = 0;
    source.ogg.reset(stb_vorbis_open_filename(path, &error, nullptr));
    if (!source.ogg)
        return false;
    uint64_t skip = offset / BYTES_PER_FRAME;
    if (skip > UINT32_MAX || (skip > 0 && !stb_vorbis_seek(source.ogg.get(), static_cast<unsigned>(skip))))
        return false;
    uint64_t length = stb_vorbis_stream_length_in_samples(source.ogg.get());
    uint64_t held = length > skip ? length - skip : 0;
    source.available = held < frames ? held : frames;
    return true;
}

// Reads up to `wanted` frames; fewer only at the end of the source.
std::size_t read_frames(TrackSource &source, unsigned char *buffer, std::size_t wanted)
{
    if (source.ogg) {
        std::size_t got = 0;
        while (got < wanted) {
            int n = stb_vorbis_get_samples_short_interleaved(
                source.ogg.get(), 2, reinterpret_cast<short *>(buffer + got * BYTES_PER_FRAME),
                static_cast<int>((wanted - got) * 2));
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
    std::size_t got = std::fread(buffer, BYTES_PER_FRAME, wanted, source.raw.get());
    if (source.swap_bytes)
        swap_sample_bytes(buffer, got * BYTES_PER_FRAME);
    return got;
}

// Stored samples in the output's byte order are copied file to file,
// inside the kernel. Gives the frames copied, -1 when a write failed, or -2
// when nothing was copied because the file systems cannot copy that way.
int64_t copy_raw_samples(TrackSource &source, uint64_t offset, uint32_t frames, std::FILE *out)
{
    if (std::fflush(out) != 0)
        return -1;
    const int out_fd = fileno(out);
    KernelCopyResult result = copy_in_kernel(fileno(source.raw.get()), static_cast<off_t>(offset), out_fd,
                                             static_cast<uint64_t>(frames) * BYTES_PER_FRAME);
    if (result.outcome == KernelCopy::UNSUPPORTED)
        return -2;
    if (result.outcome == KernelCopy::FAILED) {
        errno = result.error;
        return -1;
    }
    uint64_t copied = result.copied;
    // A file cut while it was copied may leave part of a frame behind.
    if (copied % BYTES_PER_FRAME != 0) {
        copied -= copied % BYTES_PER_FRAME;
        if (ftruncate(out_fd, static_cast<off_t>(WAVE_HEADER_SIZE + copied)) != 0)
            return -1;
    }
    return static_cast<int64_t>(copied / BYTES_PER_FRAME);
}

// Streams the track's frames behind the header. Gives the frames written,
// or -1 when a write fell short.
int64_t write_samples(TrackSource &source, uint64_t offset, uint32_t frames, std::FILE *out,
                      unsigned char *buffer)
{
    if (source.raw && !source.swap_bytes) {
        int64_t copied = copy_raw_samples(source, offset, frames, out);
        if (copied != -2)
            return copied;
    }
    uint64_t written = 0;
    while (written < frames) {
        uint64_t left = frames - written;
        std::size_t wanted = static_cast<std::size_t>(left < STREAM_FRAMES ? left : STREAM_FRAMES);
        std::size_t got = read_frames(source, buffer, wanted);
        if (got > 0 && std::fwrite(buffer, BYTES_PER_FRAME, got, out) != got)
            return -1;
        written += got;
        if (got < wanted)
            break;
    }
    return static_cast<int64_t>(written);
}

// Names a WAVE file that could not be written whole, as perror would.
void report_wave_failure(const char *file_name, const std::string &reason)
{
    std::fprintf(stderr, "%s: %s\n", file_name, reason.c_str());
}

// Exports one track; false when it failed, the failure named.
bool export_track(OutputTree &tree, const char *out_dir, int number)
{
    const char *path = nullptr;
    uint64_t offset = 0;
    uint32_t frames = 0;
    int big_endian = 0;
    if (!cdimage_audio_extent(number, &path, &offset, &frames, &big_endian)) {
        print_read_failed(number);
        return false;
    }

    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(STREAM_FRAMES * BYTES_PER_FRAME)));
    TrackSource source;
    bool opened = is_ogg_path(path) ? open_ogg_source(source, path, offset, frames)
                                    : open_raw_source(source, path, offset, frames, big_endian);
    // The frames the track really holds must fit the header's 32-bit sizes.
    if (!buffer || !opened || source.available >= FRAME_LIMIT) {
        print_read_failed(number);
        return false;
    }

    char file_name[PATH_TEXT_SIZE];
    int written = std::snprintf(file_name, sizeof file_name, "%s/audio/track%02d.wav", out_dir, number);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof file_name) {
        // The cut name could lie anywhere: create nothing there.
        report_wave_failure(file_name, std::strerror(ENAMETOOLONG));
        return false;
    }
    // The audio directory and the file are created below the output
    // directory's descriptor, refusing links.
    char relative[64];
    std::snprintf(relative, sizeof relative, "audio/track%02d.wav", number);
    OutputSpot spot;
    OutputFailure refused;
    int out_fd = -1;
    if (tree.root_fd < 0)
        refused.error = open_output_root(tree, out_dir);
    if (refused.error == 0 && find_output_spot(tree, relative, spot, refused)) {
        // Recorded before it exists: an interruption right after the
        // creation must find it.
        begin_partial_file(g_partial_wave, spot);
        out_fd = create_output_file(spot, relative, refused);
    }
    FileHandle out(out_fd >= 0 ? fdopen(out_fd, "wb") : nullptr);
    if (!out) {
        if (out_fd >= 0) {
            refused.error = errno;
            close(out_fd);
            unlinkat(spot.dir_fd, spot.leaf, 0);
        }
        end_partial_file(g_partial_wave);
        report_wave_failure(file_name, describe_output_failure(refused, relative));
        return false;
    }

    // The header is written for the frames measured; a source that turns
    // out shorter (a file cut while it is read) gets its sizes patched.
    const uint32_t expected = static_cast<uint32_t>(source.available);
    write_wave_header(out.get(), expected);
    int64_t frames_written = write_samples(source, offset, expected, out.get(), buffer.get());
    int error = errno;
    source = TrackSource{};
    bool complete = frames_written >= 0;
    if (complete && frames_written != expected) {
        complete = patch_wave_sizes(out.get(), static_cast<uint32_t>(frames_written));
        error = errno;
    }
    if (std::fclose(out.release()) != 0 && complete) {
        complete = false;
        error = errno;
    }
    // A WAVE file that is not whole would claim more than it holds.
    if (!complete)
        unlinkat(spot.dir_fd, spot.leaf, 0);
    end_partial_file(g_partial_wave);
    if (!complete) {
        report_wave_failure(file_name, std::strerror(error));
        return false;
    }
    uint32_t done = static_cast<uint32_t>(frames_written);
    std::printf("track %02d: %u:%02u\n", number, done / FRAMES_PER_MINUTE, (done / SAMPLE_RATE) % 60);
    return true;
}

}  // namespace

void write_le32(std::FILE *stream, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        std::fputc(static_cast<int>((value >> shift) & 0xFF), stream);
}

int export_audio_tracks(const char *out_dir)
{
    OutputTree tree;
    int failures = 0;
    for (int index = 0; index < cdimage_track_count(); ++index) {
        int number = cdimage_track_number(index);
        if (cdimage_track_is_audio(number) && !export_track(tree, out_dir, number))
            ++failures;
    }
    return failures;
}

void discard_partial_wave()
{
    discard_partial_file(g_partial_wave);
}
