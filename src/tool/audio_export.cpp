// The audio phase: each audio track is streamed from its track file into a
// 44-byte-header RIFF WAVE file of 16-bit stereo PCM at the track file's own
// sample rate. Stored samples are copied (byte-swapped when stored most
// significant byte first); compressed files are decoded through libsndfile.
#include "audio_export.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sndfile.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdimage.h"
#include "file_io.h"
#include "output_tree.h"
#include "printable_text.h"

namespace {

// The WAVE file being written, for discard_partial_wave.
PartialFile g_partial_wave;

constexpr std::size_t PATH_TEXT_SIZE = 1024;
// A frame of CD audio: two 16-bit samples.
constexpr int BYTES_PER_FRAME = 4;
constexpr int OUT_CHANNELS = 2;
constexpr std::size_t WAVE_HEADER_SIZE = 44;
constexpr int RIFF_SIZE_OFFSET = 4;
constexpr int DATA_SIZE_OFFSET = 40;
// The header bytes that the RIFF size counts besides the samples: from
// "WAVE" to the data chunk's size field.
constexpr uint32_t RIFF_SIZE_BEYOND_DATA = 36;
constexpr uint64_t SECONDS_PER_MINUTE = 60;
// Data bytes + 36 must fit the 32-bit RIFF size: fewer frames than this.
constexpr uint64_t FRAME_LIMIT = (UINT64_C(0x100000000) - RIFF_SIZE_BEYOND_DATA) / BYTES_PER_FRAME;
// The bounded buffer a track streams through.
constexpr std::size_t STREAM_FRAMES = 256 * 1024;
// Decoded samples (all channels, as doubles: exact for every integer
// format up to 32 bits) read at one time.
constexpr std::size_t DECODE_SAMPLES = 64 * 1024;

CopyProgress g_audio_progress;

void write_le16(std::FILE *stream, uint16_t value)
{
    std::fputc(value & 0xFF, stream);
    std::fputc(value >> 8, stream);
}

void write_wave_header(std::FILE *out, uint32_t frames, uint32_t sample_rate)
{
    const uint32_t data_bytes = frames * BYTES_PER_FRAME;
    std::fwrite("RIFF", 1, 4, out);
    write_le32(out, data_bytes + RIFF_SIZE_BEYOND_DATA);
    std::fwrite("WAVEfmt ", 1, 8, out);
    write_le32(out, 16);
    write_le16(out, 1);  // PCM
    write_le16(out, OUT_CHANNELS);
    write_le32(out, sample_rate);
    write_le32(out, sample_rate * BYTES_PER_FRAME);
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
    write_le32(out, data_bytes + RIFF_SIZE_BEYOND_DATA);
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

void print_read_failed(int number)
{
    std::fprintf(stderr, "track %02d: read failed\n", number);
}

struct DecoderCloser {
    void operator()(SNDFILE *decoder) const { sf_close(decoder); }
};
using Decoder = std::unique_ptr<SNDFILE, DecoderCloser>;

// Where one track's frames come from: a track file of stored samples, or a
// file that libsndfile decodes.
struct TrackSource {
    FileHandle raw;
    Decoder decoded;
    int channels = 0;  // of the decoded file
    std::unique_ptr<double[]> decode_buffer;
    bool swap_bytes = false;
    uint64_t available = 0;  // frames the source holds for the track, up to `frames`
};

bool open_raw_source(TrackSource &source, const char *path, uint64_t offset, uint32_t frames, bool big_endian)
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
    source.swap_bytes = big_endian;
    return true;
}

// The extent counts decoded frames: offset / 4 of them come before the
// track. A track that starts at or past the decoded end holds no frames.
bool open_decoded_source(TrackSource &source, const char *path, uint64_t offset, uint32_t frames)
{
    // The decoder is handed a regular file only: it would take a directory's
    // read error for the end of the stream.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat file_info;
    if (fd < 0 || fstat(fd, &file_info) != 0 || !S_ISREG(file_info.st_mode)) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    // From here libsndfile owns the descriptor, and closes it also when it
    // cannot open the file.
    SF_INFO info{};
    source.decoded.reset(sf_open_fd(fd, SFM_READ, &info, SF_TRUE));
    if (!source.decoded)
        return false;
    // A buffer of DECODE_SAMPLES holds at least one frame.
    if (info.channels < 1 || static_cast<std::size_t>(info.channels) > DECODE_SAMPLES)
        return false;
    source.channels = info.channels;
    const uint64_t skip = offset / BYTES_PER_FRAME;
    const uint64_t length = info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0;
    const uint64_t held = length > skip ? length - skip : 0;
    source.available = held < frames ? held : frames;
    // A track at the start of its file needs no seek (which would cost a
    // compressed stream a search).
    if (source.available > 0 && skip > 0 &&
        sf_seek(source.decoded.get(), static_cast<sf_count_t>(skip), SEEK_SET) != static_cast<sf_count_t>(skip))
        return false;
    source.decode_buffer.reset(new (std::nothrow) double[DECODE_SAMPLES]);
    return source.decode_buffer != nullptr;
}

// A decoded sample (full scale at +-1.0) as the nearest 16-bit value, ties
// upwards, held at the ends of the range (a NaN at the bottom). Without
// branches or libm calls, so that the loops over a buffer vectorize.
int16_t round_to_16(double sample)
{
    constexpr double LOWEST = INT16_MIN;
    constexpr double HIGHEST = INT16_MAX;
    double scaled = sample * 32768.0;
    scaled = LOWEST < scaled ? scaled : LOWEST;
    scaled = scaled < HIGHEST ? scaled : HIGHEST;
    // Shifted above zero, truncation is the floor.
    return static_cast<int16_t>(static_cast<int>(scaled - LOWEST + 0.5) + INT16_MIN);
}

void put_le16(unsigned char *at, int16_t sample)
{
    const uint16_t bits = static_cast<uint16_t>(sample);
    at[0] = static_cast<unsigned char>(bits & 0xFF);
    at[1] = static_cast<unsigned char>(bits >> 8);
}

// Decodes up to `wanted` frames as 16-bit stereo: a mono file's channel goes
// to both sides, a stereo file's channels stay apart, and more channels are
// mixed down, both sides getting their mean.
std::size_t read_decoded_frames(TrackSource &source, unsigned char *buffer, std::size_t wanted)
{
    const std::size_t channels = static_cast<std::size_t>(source.channels);
    const std::size_t per_read = DECODE_SAMPLES / channels;
    const double *samples = source.decode_buffer.get();
    std::size_t got = 0;
    while (got < wanted) {
        const std::size_t ask = wanted - got < per_read ? wanted - got : per_read;
        const sf_count_t n = sf_readf_double(source.decoded.get(), source.decode_buffer.get(),
                                             static_cast<sf_count_t>(ask));
        if (n <= 0)
            break;
        unsigned char *out = buffer + got * BYTES_PER_FRAME;
        const std::size_t count = static_cast<std::size_t>(n);
        if (channels == 2) {
            for (std::size_t i = 0; i < 2 * count; ++i)
                put_le16(out + 2 * i, round_to_16(samples[i]));
        } else if (channels == 1) {
            for (std::size_t f = 0; f < count; ++f, out += BYTES_PER_FRAME) {
                const int16_t both = round_to_16(samples[f]);
                put_le16(out, both);
                put_le16(out + 2, both);
            }
        } else {
            for (std::size_t f = 0; f < count; ++f, out += BYTES_PER_FRAME) {
                double sum = 0;
                for (std::size_t c = 0; c < channels; ++c)
                    sum += samples[f * channels + c];
                const int16_t mixed = round_to_16(sum / static_cast<double>(channels));
                put_le16(out, mixed);
                put_le16(out + 2, mixed);
            }
        }
        got += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < ask)
            break;
    }
    return got;
}

// Reads up to `wanted` frames; fewer only at the end of the source.
std::size_t read_frames(TrackSource &source, unsigned char *buffer, std::size_t wanted)
{
    if (source.decoded)
        return read_decoded_frames(source, buffer, wanted);
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
                                             static_cast<uint64_t>(frames) * BYTES_PER_FRAME, &g_audio_progress);
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
        add_progress_bytes(&g_audio_progress, got * BYTES_PER_FRAME);
        if (got < wanted)
            break;
    }
    return static_cast<int64_t>(written);
}

using OwnImageFiles = std::vector<ImageFile>;

// The cue sheet and the track files of the open image that are there.
OwnImageFiles find_own_image_files(const char *cue_path)
{
    OwnImageFiles files;
    add_image_file(files, cue_path);
    for (int index = 0; index < cdimage_track_count(); ++index) {
        const char *file = nullptr;
        if (cdimage_track_info(index, nullptr, nullptr, nullptr, nullptr, &file))
            add_image_file(files, file);
    }
    return files;
}

// Names a WAVE file that could not be written whole, as perror would.
void report_wave_failure(const char *file_name, const std::string &reason)
{
    std::fprintf(stderr, "%s: %s\n", file_name, reason.c_str());
}

// Opens the track's samples as the module says they are held. Gives false,
// with nothing left open, when they cannot be read.
bool open_track_source(TrackSource &source, int number, uint64_t &offset, uint32_t &sample_rate)
{
    const char *path = nullptr;
    uint32_t frames = 0;
    int big_endian = 0;
    int samples = CDIMAGE_SAMPLES_STORED;
    if (!cdimage_audio_extent(number, &path, &offset, &frames, &big_endian) ||
        !cdimage_audio_format(number, &samples, &sample_rate))
        return false;
    bool opened = samples == CDIMAGE_SAMPLES_DECODED
                      ? open_decoded_source(source, path, offset, frames)
                      : open_raw_source(source, path, offset, frames, samples == CDIMAGE_SAMPLES_BIG_ENDIAN);
    // The frames the track really holds must fit the header's 32-bit sizes.
    if (!opened || source.available >= FRAME_LIMIT) {
        source = TrackSource{};
        return false;
    }
    return true;
}

// Writes the WAVE file of an open source and prints its duration; false,
// the failure named and the file removed, when it could not be written
// whole. The audio directory and the file are created below the output
// directory's descriptor, refusing links. The header is written for the
// frames measured; a source that turns out shorter (a file cut while it is
// read) gets its sizes patched.
bool write_wave_track(OutputTree &tree, const char *out_dir, const OwnImageFiles &own_files, TrackSource &source,
                      uint64_t offset, uint32_t sample_rate, const char *file_name, int number, unsigned char *buffer)
{
    char relative[64];
    std::snprintf(relative, sizeof relative, "audio/track%02d.wav", number);
    OutputSpot spot;
    OutputFailure refused;
    int out_fd = -1;
    if (tree.root_fd < 0)
        refused.error = open_output_root(tree, out_dir);
    if (refused.error == 0 && find_output_spot(tree, relative, spot, refused)) {
        struct stat existing;
        const bool present = stat_output_spot(spot, existing);
        if (present) {
            if (const ImageFile *own = image_file_of(own_files, existing)) {
                report_wave_failure(file_name,
                                    "would replace the image's own " + printable_text(own->path) + ", not written");
                return false;
            }
        }
        // Recorded before it exists: an interruption right after the
        // creation must find it.
        begin_partial_file(g_partial_wave, spot);
        out_fd = create_output_file(spot, relative, present ? &existing : nullptr, refused);
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
    const uint32_t expected = static_cast<uint32_t>(source.available);
    write_wave_header(out.get(), expected, sample_rate);
    int64_t frames_written = write_samples(source, offset, expected, out.get(), buffer);
    int error = errno;
    const bool decoded = static_cast<bool>(source.decoded);
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
    const uint64_t done = static_cast<uint64_t>(frames_written);
    const unsigned minutes = static_cast<unsigned>(done / (sample_rate * SECONDS_PER_MINUTE));
    const unsigned seconds = static_cast<unsigned>(done / sample_rate % SECONDS_PER_MINUTE);
    std::printf("track %02d: %u:%02u\n", number, minutes, seconds);
    // A decoder that stops short of the frames its file holds met damage
    // there (a file cut short, a lost sync): the WAVE file keeps what
    // decoded, and the loss is named.
    if (decoded && done < expected) {
        std::fflush(stdout);
        std::fprintf(stderr, "track %02d: does not decode past %u:%02u\n", number, minutes, seconds);
        return false;
    }
    return true;
}

// Exports one track; false when it failed, the failure named.
bool export_track(OutputTree &tree, const char *out_dir, const OwnImageFiles &own_files, int number)
{
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(STREAM_FRAMES * BYTES_PER_FRAME)));
    TrackSource source;
    uint64_t offset = 0;
    uint32_t sample_rate = 0;
    if (!buffer || !open_track_source(source, number, offset, sample_rate)) {
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
    return write_wave_track(tree, out_dir, own_files, source, offset, sample_rate, file_name, number, buffer.get());
}

}  // namespace

void write_le32(std::FILE *stream, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        std::fputc(static_cast<int>((value >> shift) & 0xFF), stream);
}

int export_audio_tracks(const char *out_dir, const char *cue_path)
{
    const OwnImageFiles own_files = find_own_image_files(cue_path);
    OutputTree tree;
    int failures = 0;
    for (int index = 0; index < cdimage_track_count(); ++index) {
        int number = cdimage_track_number(index);
        if (cdimage_track_is_audio(number)) {
            begin_progress_item(g_audio_progress, number);
            if (!export_track(tree, out_dir, own_files, number))
                ++failures;
        }
    }
    begin_progress_item(g_audio_progress, -1);
    return failures;
}

int audio_export_progress(int *track, uint64_t *bytes)
{
    return read_progress(g_audio_progress, track, bytes);
}

void discard_partial_wave()
{
    discard_partial_file(g_partial_wave);
}
