// The audio tracks of an image: their records, the queries that answer from
// them, and the reading and writing of their frames.
#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "audio.h"
#include "disc_time.h"
#include "image_state.h"

namespace {

// Frames written from a bounded buffer at one time (1 MiB).
constexpr uint32_t STREAM_FRAMES = 256 * 1024;

// The record of the last audio track of that number in the handle's open
// image, as cdimage_audio_extent chooses it; null when there is none.
const AudioTrack *open_audio_record(cdimage_handle *handle, int number)
{
    if (handle == nullptr || !handle->image.is_open)
        return nullptr;
    const ImageState &image = handle->image;
    const AudioTrack *chosen = nullptr;
    for (int i = 0; i < image.audio_count; ++i)
        if (image.audio[i].number == number)
            chosen = &image.audio[i];
    return chosen;
}

bool is_audio_track_number(const ImageState &image, int number)
{
    for (int i = 0; i < image.track_count; ++i)
        if (image.tracks[i].number == number)
            return image.tracks[i].is_audio;
    return false;
}

std::string track_name(int number)
{
    char name[16];
    std::snprintf(name, sizeof name, "track %02d", number);
    return name;
}

void record_track_loss(ImageState &image, int number, const std::string &reason)
{
    const std::string name = track_name(number);
    record_line(image, LedgerKind::TRACK_LOST, name, reason, name + ": " + reason);
}

// The reader of the record at frame `first`, the one held when it stands
// there already (a decoder read on from where it stopped costs no search).
AudioReader *reader_at(ImageState &image, const AudioTrack &track, uint64_t first, uint64_t &available)
{
    if (image.audio_reader && image.reader_track == &track && image.reader_frame == first) {
        available = image.reader_available;
        return image.audio_reader.get();
    }
    image.audio_reader.reset(open_audio_reader(image, track, first, available));
    image.reader_track = image.audio_reader ? &track : nullptr;
    image.reader_frame = first;
    image.reader_available = available;
    return image.audio_reader.get();
}

void advance_reader(ImageState &image, uint64_t frames)
{
    image.reader_frame += frames;
    image.reader_available -= frames < image.reader_available ? frames : image.reader_available;
}

// Frames copied inside the kernel from the file's stored little-endian
// samples; -1 with errno when a write failed, -2 when the files cannot be
// copied that way (nothing copied then).
int64_t copy_stored_frames(ImageState &image, AudioReader &reader, int out_fd, uint32_t frames)
{
    uint64_t position = 0;
    const int in_fd = stored_frames_descriptor(reader, position);
    const off_t start = lseek(out_fd, 0, SEEK_CUR);
    if (in_fd < 0 || start < 0)
        return -2;
    const KernelCopyResult result = copy_in_kernel(in_fd, static_cast<off_t>(position), out_fd,
                                                   static_cast<uint64_t>(frames) * BYTES_PER_FRAME,
                                                   &image.audio_progress);
    if (result.outcome == KernelCopy::UNSUPPORTED)
        return -2;
    if (result.outcome == KernelCopy::FAILED) {
        errno = result.error;
        return -1;
    }
    // A file cut while it was copied may leave part of a frame behind.
    const uint64_t whole = result.copied - result.copied % BYTES_PER_FRAME;
    if (whole != result.copied && (ftruncate(out_fd, start + static_cast<off_t>(whole)) != 0 ||
                                   lseek(out_fd, start + static_cast<off_t>(whole), SEEK_SET) < 0))
        return -1;
    return static_cast<int64_t>(whole / BYTES_PER_FRAME);
}

// Frames read and written through the bounded buffer; -1 with errno when a
// write failed.
int64_t stream_frames(ImageState &image, AudioReader &reader, int out_fd, uint32_t frames)
{
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[STREAM_FRAMES * BYTES_PER_FRAME]);
    if (!buffer) {
        errno = ENOMEM;
        return -1;
    }
    uint32_t written = 0;
    while (written < frames) {
        const uint32_t wanted = frames - written < STREAM_FRAMES ? frames - written : STREAM_FRAMES;
        const uint32_t got = read_audio_frames(reader, buffer.get(), wanted);
        if (got > 0 && !write_all(out_fd, buffer.get(), static_cast<std::size_t>(got) * BYTES_PER_FRAME))
            return -1;
        written += got;
        add_progress_bytes(&image.audio_progress, static_cast<uint64_t>(got) * BYTES_PER_FRAME);
        if (got < wanted)
            break;
    }
    return written;
}

}  // namespace

void build_audio_tracks(ImageState &image)
{
    image.audio_count = 0;
    for (int i = 0; i < image.track_count; ++i) {
        const Track &track = image.tracks[i];
        // The frames are stated in 32 bits: a longer track has no record.
        if (!track.is_audio || track.frames <= 0 || track.frames > static_cast<int64_t>(UINT32_MAX))
            continue;
        const TrackFile &file = image.files[track.source.file];
        image.audio[image.audio_count++] = AudioTrack{track.number,
                                                      track.source.file,
                                                      file.format,
                                                      file.sample_rate,
                                                      static_cast<uint32_t>(track.frames),
                                                      static_cast<uint64_t>(track.source.start)};
    }
}

extern "C" int cdimage_handle_audio_extent(cdimage_handle *handle, int number, const char **path, uint64_t *offset,
                                           uint32_t *frames, int *big_endian)
{
    const AudioTrack *track = open_audio_record(handle, number);
    if (track == nullptr)
        return 0;
    const TrackFile &file = handle->image.files[track->file];
    *path = file.path;
    *offset = track->start;
    *frames = track->frames;
    *big_endian = file.big_endian_type;
    return 1;
}

extern "C" int cdimage_handle_audio_format(cdimage_handle *handle, int number, int *samples, uint32_t *sample_rate)
{
    const AudioTrack *track = open_audio_record(handle, number);
    if (track == nullptr)
        return 0;
    switch (track->format) {
    case TrackFormat::STORED:
        *samples = CDIMAGE_SAMPLES_STORED;
        break;
    case TrackFormat::STORED_BIG_ENDIAN:
        *samples = CDIMAGE_SAMPLES_BIG_ENDIAN;
        break;
    case TrackFormat::DECODED:
        *samples = CDIMAGE_SAMPLES_DECODED;
        break;
    }
    *sample_rate = track->sample_rate;
    return 1;
}

extern "C" int cdimage_handle_audio_frames(cdimage_handle *handle, int number, uint32_t *frames,
                                           uint32_t *sample_rate)
{
    if (handle == nullptr || !handle->image.is_open)
        return 0;
    ImageState &image = handle->image;
    const AudioTrack *track = open_audio_record(handle, number);
    uint64_t available = 0;
    if (track == nullptr || reader_at(image, *track, 0, available) == nullptr) {
        if (is_audio_track_number(image, number))
            record_track_loss(image, number, "read failed");
        return 0;
    }
    if (frames != nullptr)
        *frames = static_cast<uint32_t>(available);
    if (sample_rate != nullptr)
        *sample_rate = track->sample_rate;
    return 1;
}

extern "C" uint32_t cdimage_handle_read_audio(cdimage_handle *handle, int number, uint64_t first, void *buffer,
                                              uint32_t frames)
{
    const AudioTrack *track = open_audio_record(handle, number);
    if (track == nullptr || buffer == nullptr)
        return 0;
    ImageState &image = handle->image;
    uint64_t available = 0;
    AudioReader *reader = reader_at(image, *track, first, available);
    if (reader == nullptr)
        return 0;
    const uint32_t wanted = frames < available ? frames : static_cast<uint32_t>(available);
    const uint32_t got = read_audio_frames(*reader, static_cast<unsigned char *>(buffer), wanted);
    advance_reader(image, got);
    return got;
}

extern "C" int cdimage_handle_write_audio(cdimage_handle *handle, int number, int fd, const char *name,
                                          uint32_t frames, uint32_t *written)
{
    if (handle == nullptr || !handle->image.is_open || name == nullptr)
        return CDIMAGE_AUDIO_NOT_WRITTEN;
    ImageState &image = handle->image;
    const AudioTrack *track = open_audio_record(handle, number);
    uint64_t available = 0;
    AudioReader *reader = track != nullptr ? reader_at(image, *track, 0, available) : nullptr;
    if (reader == nullptr) {
        if (is_audio_track_number(image, number))
            record_track_loss(image, number, "read failed");
        return CDIMAGE_AUDIO_NOT_WRITTEN;
    }
    if (frames > available)
        frames = static_cast<uint32_t>(available);
    begin_progress_item(image.audio_progress, number);
    int64_t done = copy_stored_frames(image, *reader, fd, frames);
    if (done == -2)
        done = stream_frames(image, *reader, fd, frames);
    const int error = errno;
    const bool decoded = reads_decoded_frames(*reader);
    begin_progress_item(image.audio_progress, -1);
    // The reader has moved on or failed: the next read opens its own.
    image.audio_reader.reset();
    image.reader_track = nullptr;
    if (done < 0) {
        record_line(image, LedgerKind::TRACK_LOST, name, std::strerror(error),
                    std::string(name) + ": " + std::strerror(error));
        return CDIMAGE_AUDIO_NOT_WRITTEN;
    }
    if (written != nullptr)
        *written = static_cast<uint32_t>(done);
    // A decoder that stops short of the frames its file holds met damage
    // there (a file cut short, a lost sync): what decoded is written, and
    // the loss is named. Raw samples cut short are simply fewer.
    if (decoded && static_cast<uint64_t>(done) < frames) {
        const uint64_t rate = track->sample_rate;
        char reason[64];
        std::snprintf(reason, sizeof reason, "does not decode past %u:%02u",
                      static_cast<unsigned>(static_cast<uint64_t>(done) / (rate * SECONDS_PER_MINUTE)),
                      static_cast<unsigned>(static_cast<uint64_t>(done) / rate % SECONDS_PER_MINUTE));
        record_track_loss(image, number, reason);
        return CDIMAGE_AUDIO_CUT_SHORT;
    }
    return CDIMAGE_AUDIO_WHOLE;
}

extern "C" int cdimage_handle_audio_progress(cdimage_handle *handle, int *track, uint64_t *bytes)
{
    return handle != nullptr ? read_progress(handle->image.audio_progress, track, bytes) : 0;
}
