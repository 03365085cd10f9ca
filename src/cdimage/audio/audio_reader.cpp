// Reading an audio track's frames from its file: raw samples in either byte
// order, or a compressed file (or a WAVE of another sample format) decoded
// through libsndfile into 16-bit stereo.
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio.h"
#include "byte_order.h"
#include "image_state.h"

namespace {

// Decoded samples (all channels, as doubles: exact for every integer format
// up to 32 bits) read at one time.
constexpr std::size_t DECODE_SAMPLES = 64 * 1024;
// Decoded frames are counted in 64-bit bytes, four to a frame; a longer
// stream is taken as this long (far past what one WAVE file can hold).
constexpr int64_t MAX_DECODED_FRAMES = INT64_MAX / BYTES_PER_FRAME;
// Samples decoded at one time while a stream of unknown length is counted.
constexpr std::size_t COUNT_SAMPLES = 64 * 1024;
// Full scale of a decoded sample (+-1.0) in 16-bit steps.
constexpr double SIXTEEN_BIT_SCALE = 32768.0;

struct DecoderCloser {
    void operator()(SNDFILE *decoder) const { sf_close(decoder); }
};
using Decoder = std::unique_ptr<SNDFILE, DecoderCloser>;

// A decoded sample (full scale at +-1.0) as the nearest 16-bit value, ties
// upwards, held at the ends of the range (a NaN at the bottom). Without
// branches or libm calls, so that the loops over a buffer vectorize.
int16_t round_to_16(double sample)
{
    constexpr double LOWEST = INT16_MIN;
    constexpr double HIGHEST = INT16_MAX;
    double scaled = sample * SIXTEEN_BIT_SCALE;
    scaled = LOWEST < scaled ? scaled : LOWEST;
    scaled = scaled < HIGHEST ? scaled : HIGHEST;
    // Shifted above zero, truncation is the floor.
    return static_cast<int16_t>(static_cast<int>(scaled - LOWEST + 0.5) + INT16_MIN);
}

void put_sample(unsigned char *at, int16_t sample)
{
    put_le16(at, static_cast<uint16_t>(sample));
}

void swap_sample_bytes(unsigned char *bytes, std::size_t count)
{
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        const unsigned char low = bytes[i];
        bytes[i] = bytes[i + 1];
        bytes[i + 1] = low;
    }
}

// The frames a stream really decodes, counted by decoding it, for a stream
// whose header does not say (an Ogg file cut short has no last page to
// tell). Each read consumes the file, so the count ends with its bytes.
int64_t count_decoded_frames(SNDFILE *decoder, int channels)
{
    std::unique_ptr<short[]> samples(new (std::nothrow) short[COUNT_SAMPLES]);
    const std::size_t per_read = COUNT_SAMPLES / static_cast<std::size_t>(channels);
    if (!samples || per_read == 0)
        return 0;
    int64_t frames = 0;
    sf_count_t got;
    while (frames < MAX_DECODED_FRAMES &&
           (got = sf_readf_short(decoder, samples.get(), static_cast<sf_count_t>(per_read))) > 0)
        frames += got;
    return frames < MAX_DECODED_FRAMES ? frames : MAX_DECODED_FRAMES;
}

// Opens the decoder on a copy of the descriptor, from the file's first
// byte: libsndfile closes the descriptor it is given when it cannot open
// the file, whatever it is told.
Decoder open_decoder(int fd, SF_INFO &info, int &error)
{
    error = SF_ERR_SYSTEM;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return nullptr;
    if (lseek(copy, 0, SEEK_SET) != 0) {
        close(copy);
        return nullptr;
    }
    Decoder decoder(sf_open_fd(copy, SFM_READ, &info, SF_TRUE));
    error = decoder ? SF_ERR_NO_ERROR : sf_error(nullptr);
    return decoder;
}

}  // namespace

struct AudioReader {
    FileHandle file;
    bool swap_bytes = false;
    uint64_t position = 0;  // raw: the byte of the next frame
    Decoder decoder;
    std::size_t channels = 0;  // of the decoded file
    std::unique_ptr<double[]> decode_buffer;
};

void AudioReaderCloser::operator()(AudioReader *reader) const
{
    delete reader;
}

DecodedMeasure measure_decoded_file(int fd)
{
    SF_INFO info{};
    int error = SF_ERR_NO_ERROR;
    Decoder decoder = open_decoder(fd, info, error);
    if (decoder && (info.channels < 1 || info.samplerate < 1 ||
                    static_cast<uint32_t>(info.samplerate) > MAX_SAMPLE_RATE))
        error = SF_ERR_MALFORMED_FILE;
    if (error != SF_ERR_NO_ERROR)
        return {error, 0, 0};
    int64_t frames = info.frames == SF_COUNT_MAX ? count_decoded_frames(decoder.get(), info.channels)
                     : info.frames < 0        ? 0
                                              : info.frames;
    if (frames > MAX_DECODED_FRAMES)
        frames = MAX_DECODED_FRAMES;
    return {SF_ERR_NO_ERROR, frames, static_cast<uint32_t>(info.samplerate)};
}

namespace {

// Decodes and drops `frames` frames; false when the stream ends first.
bool skip_decoded_frames(AudioReader &reader, uint64_t frames)
{
    const uint64_t per_read = DECODE_SAMPLES / reader.channels;
    while (frames > 0) {
        const uint64_t ask = frames < per_read ? frames : per_read;
        const sf_count_t got =
            sf_readf_double(reader.decoder.get(), reader.decode_buffer.get(), static_cast<sf_count_t>(ask));
        if (got <= 0)
            return false;
        frames -= static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

AudioReader *open_audio_reader(ImageState &image, const AudioTrack &track, uint64_t first, uint64_t &available)
{
    std::unique_ptr<AudioReader> reader(new (std::nothrow) AudioReader);
    if (!reader || first > track.frames)
        return nullptr;
    // Opened without waiting: a FIFO put in the file's place would block the
    // open until some writer came.
    const int fd = open(image.files[track.file].path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    // Only a regular file's size says how many frames it holds: raw samples
    // of anything else (a directory put in the file's place) are none. The
    // decoder is given a regular file only: it would take a directory's read
    // error for the end of the stream.
    const bool regular = S_ISREG(info.st_mode);
    if (!regular && track.format == TrackFormat::DECODED) {
        close(fd);
        return nullptr;
    }
    reader->file.reset(fdopen(fd, "rb"));
    if (!reader->file) {
        close(fd);
        return nullptr;
    }
    const uint64_t wanted = track.frames - first;
    if (track.format != TrackFormat::DECODED) {
        reader->swap_bytes = track.format == TrackFormat::STORED_BIG_ENDIAN;
        reader->position = track.start + first * BYTES_PER_FRAME;
        const uint64_t size = regular && info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
        const uint64_t held = size > reader->position ? (size - reader->position) / BYTES_PER_FRAME : 0;
        available = held < wanted ? held : wanted;
        return reader.release();
    }
    SF_INFO stream{};
    int error = SF_ERR_NO_ERROR;
    reader->decoder = open_decoder(fd, stream, error);
    // A buffer of DECODE_SAMPLES holds at least one frame.
    if (!reader->decoder || stream.channels < 1 || static_cast<std::size_t>(stream.channels) > DECODE_SAMPLES)
        return nullptr;
    reader->channels = static_cast<std::size_t>(stream.channels);
    const uint64_t track_first = track.start / BYTES_PER_FRAME;
    const uint64_t skip = track_first + first;
    const uint64_t length = stream.frames > 0 ? static_cast<uint64_t>(stream.frames) : 0;
    const uint64_t held = length > skip ? length - skip : 0;
    available = held < wanted ? held : wanted;
    // The decoder seeks to the track's start alone (a track at the start of
    // its file needs no seek, which would cost a compressed stream a search)
    // and decodes its way on to `first`: a seek into the last page of an Ogg
    // stream can land on other samples than the ones asked for.
    if (available > 0 && track_first > 0 &&
        sf_seek(reader->decoder.get(), static_cast<sf_count_t>(track_first), SEEK_SET) !=
            static_cast<sf_count_t>(track_first))
        return nullptr;
    reader->decode_buffer.reset(new (std::nothrow) double[DECODE_SAMPLES]);
    if (!reader->decode_buffer || (available > 0 && !skip_decoded_frames(*reader, first)))
        return nullptr;
    return reader.release();
}

namespace {

// Decodes up to `wanted` frames as 16-bit stereo: a mono file's channel goes
// to both sides, a stereo file's channels stay apart, and more channels are
// mixed down, both sides getting their mean.
uint32_t read_decoded_frames(AudioReader &reader, unsigned char *buffer, uint32_t wanted)
{
    const std::size_t channels = reader.channels;
    const std::size_t per_read = DECODE_SAMPLES / channels;
    const double *samples = reader.decode_buffer.get();
    uint32_t got = 0;
    while (got < wanted) {
        const std::size_t ask = wanted - got < per_read ? wanted - got : per_read;
        const sf_count_t n =
            sf_readf_double(reader.decoder.get(), reader.decode_buffer.get(), static_cast<sf_count_t>(ask));
        if (n <= 0)
            break;
        unsigned char *out = buffer + static_cast<std::size_t>(got) * BYTES_PER_FRAME;
        const std::size_t count = static_cast<std::size_t>(n);
        if (channels == 2) {
            for (std::size_t i = 0; i < 2 * count; ++i)
                put_sample(out + 2 * i, round_to_16(samples[i]));
        } else if (channels == 1) {
            for (std::size_t f = 0; f < count; ++f, out += BYTES_PER_FRAME) {
                const int16_t both = round_to_16(samples[f]);
                put_sample(out, both);
                put_sample(out + 2, both);
            }
        } else {
            for (std::size_t f = 0; f < count; ++f, out += BYTES_PER_FRAME) {
                double sum = 0;
                for (std::size_t c = 0; c < channels; ++c)
                    sum += samples[f * channels + c];
                const int16_t mixed = round_to_16(sum / static_cast<double>(channels));
                put_sample(out, mixed);
                put_sample(out + 2, mixed);
            }
        }
        got += static_cast<uint32_t>(count);
        if (count < ask)
            break;
    }
    return got;
}

}  // namespace

uint32_t read_audio_frames(AudioReader &reader, unsigned char *buffer, uint32_t frames)
{
    if (reader.decoder)
        return read_decoded_frames(reader, buffer, frames);
    const int fd = fileno(reader.file.get());
    const std::size_t wanted = static_cast<std::size_t>(frames) * BYTES_PER_FRAME;
    std::size_t got = 0;
    while (got < wanted) {
        const ssize_t n = pread(fd, buffer + got, wanted - got, static_cast<off_t>(reader.position + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    // A part of a frame at the file's end is no frame.
    got -= got % BYTES_PER_FRAME;
    reader.position += got;
    if (reader.swap_bytes)
        swap_sample_bytes(buffer, got);
    return static_cast<uint32_t>(got / BYTES_PER_FRAME);
}

int stored_frames_descriptor(const AudioReader &reader, uint64_t &position)
{
    if (reader.decoder || reader.swap_bytes)
        return -1;
    position = reader.position;
    return fileno(reader.file.get());
}

bool reads_decoded_frames(const AudioReader &reader)
{
    return static_cast<bool>(reader.decoder);
}
