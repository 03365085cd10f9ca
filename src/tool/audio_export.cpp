// The audio phase: each audio track as a RIFF WAVE file of 16-bit stereo PCM
// at the track file's own sample rate. The tool writes the 44-byte header;
// the library writes the samples, copied, swapped or decoded as the track
// file holds them.
#include "audio_export.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "byte_order.h"
#include "cdimage.h"
#include "file_io.h"
#include "output_tree.h"
#include "printable_text.h"

namespace {

// The WAVE file being written, for discard_partial_wave.
PartialFile g_partial_wave;

constexpr std::size_t PATH_TEXT_SIZE = 1024;
// A frame of CD audio: two 16-bit samples.
constexpr uint32_t BYTES_PER_FRAME = 4;
constexpr uint64_t SECONDS_PER_MINUTE = 60;

// The 44-byte header of a PCM WAVE file: the RIFF form header, a 16-byte
// "fmt " chunk, and the "data" chunk's header.
constexpr std::size_t WAVE_HEADER_SIZE = 44;
constexpr int RIFF_ID_OFFSET = 0;
constexpr int RIFF_SIZE_OFFSET = 4;
constexpr int RIFF_FORM_OFFSET = 8;
constexpr int FMT_ID_OFFSET = 12;
constexpr int FMT_SIZE_OFFSET = 16;
constexpr int FMT_FORMAT_TAG_OFFSET = 20;
constexpr int FMT_CHANNELS_OFFSET = 22;
constexpr int FMT_RATE_OFFSET = 24;
constexpr int FMT_BYTE_RATE_OFFSET = 28;
constexpr int FMT_BLOCK_ALIGN_OFFSET = 32;
constexpr int FMT_BITS_OFFSET = 34;
constexpr int DATA_ID_OFFSET = 36;
constexpr int DATA_SIZE_OFFSET = 40;
constexpr uint32_t FMT_BODY_SIZE = 16;
constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t OUT_CHANNELS = 2;
constexpr uint16_t BITS_PER_SAMPLE = 16;
// The header bytes that the RIFF size counts besides the samples: from
// "WAVE" to the data chunk's size field.
constexpr uint32_t RIFF_SIZE_BEYOND_DATA = WAVE_HEADER_SIZE - RIFF_FORM_OFFSET;
// Data bytes + 36 must fit the 32-bit RIFF size: fewer frames than this.
constexpr uint64_t FRAME_LIMIT = (UINT64_C(0x100000000) - RIFF_SIZE_BEYOND_DATA) / BYTES_PER_FRAME;

void fill_wave_header(unsigned char (&header)[WAVE_HEADER_SIZE], uint32_t frames, uint32_t sample_rate)
{
    const uint32_t data_bytes = frames * BYTES_PER_FRAME;
    std::memcpy(header + RIFF_ID_OFFSET, "RIFF", 4);
    put_le32(header + RIFF_SIZE_OFFSET, data_bytes + RIFF_SIZE_BEYOND_DATA);
    std::memcpy(header + RIFF_FORM_OFFSET, "WAVE", 4);
    std::memcpy(header + FMT_ID_OFFSET, "fmt ", 4);
    put_le32(header + FMT_SIZE_OFFSET, FMT_BODY_SIZE);
    put_le16(header + FMT_FORMAT_TAG_OFFSET, WAVE_FORMAT_PCM);
    put_le16(header + FMT_CHANNELS_OFFSET, OUT_CHANNELS);
    put_le32(header + FMT_RATE_OFFSET, sample_rate);
    put_le32(header + FMT_BYTE_RATE_OFFSET, sample_rate * BYTES_PER_FRAME);
    put_le16(header + FMT_BLOCK_ALIGN_OFFSET, BYTES_PER_FRAME);
    put_le16(header + FMT_BITS_OFFSET, BITS_PER_SAMPLE);
    std::memcpy(header + DATA_ID_OFFSET, "data", 4);
    put_le32(header + DATA_SIZE_OFFSET, data_bytes);
}

bool write_size_field(int fd, int offset, uint32_t value)
{
    unsigned char field[4];
    put_le32(field, value);
    return pwrite(fd, field, sizeof field, offset) == static_cast<ssize_t>(sizeof field);
}

// Rewrites both size fields once the frames really written are known.
bool patch_wave_sizes(int fd, uint32_t frames)
{
    const uint32_t data_bytes = frames * BYTES_PER_FRAME;
    return write_size_field(fd, RIFF_SIZE_OFFSET, data_bytes + RIFF_SIZE_BEYOND_DATA) &&
           write_size_field(fd, DATA_SIZE_OFFSET, data_bytes);
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

// Names a WAVE file or track that could not be written whole, as perror
// would, in the image's ledger.
void record_wave_failure(const char *name, const std::string &reason)
{
    cdimage_handle_record_loss(cdimage_default_handle(), CDIMAGE_LINE_TRACK_LOST, name, reason.c_str());
}

// Creates the track's WAVE file below the output directory's descriptor,
// refusing links and never replacing the image's own files: its descriptor,
// or -1 with the failure named.
int create_wave_file(OutputTree &tree, const char *out_dir, const OwnImageFiles &own_files, const char *relative,
                     const char *file_name, OutputSpot &spot)
{
    OutputFailure refused;
    int out_fd = -1;
    if (tree.root_fd < 0)
        refused.error = open_output_root(tree, out_dir);
    if (refused.error == 0 && find_output_spot(tree, relative, spot, refused)) {
        struct stat existing;
        const bool present = stat_output_spot(spot, existing);
        if (present) {
            if (const ImageFile *own = image_file_of(own_files, existing)) {
                record_wave_failure(file_name,
                                    "would replace the image's own " + printable_text(own->path) + ", not written");
                return -1;
            }
        }
        // Recorded before it exists: an interruption right after the
        // creation must find it.
        begin_partial_file(g_partial_wave, spot);
        out_fd = create_output_file(spot, relative, present ? &existing : nullptr, refused);
    }
    if (out_fd < 0) {
        end_partial_file(g_partial_wave);
        record_wave_failure(file_name, describe_output_failure(refused, relative));
    }
    return out_fd;
}

// Writes the WAVE file of a track of `frames` frames and prints its
// duration; false, the failure named and the file removed, when it could
// not be written whole. The header is written for the frames measured; a
// track that turns out shorter (a file cut while it is read) gets its sizes
// patched.
bool write_wave_track(OutputTree &tree, const char *out_dir, const OwnImageFiles &own_files, int number,
                      uint32_t frames, uint32_t sample_rate, const char *file_name)
{
    char relative[64];
    std::snprintf(relative, sizeof relative, "audio/track%02d.wav", number);
    OutputSpot spot;
    const int out_fd = create_wave_file(tree, out_dir, own_files, relative, file_name, spot);
    if (out_fd < 0)
        return false;
    unsigned char header[WAVE_HEADER_SIZE];
    fill_wave_header(header, frames, sample_rate);
    bool complete = write_all(out_fd, header, sizeof header);
    int error = errno;
    uint32_t written = 0;
    int outcome = CDIMAGE_AUDIO_NOT_WRITTEN;
    if (complete) {
        // The library names its own failures.
        outcome = cdimage_write_audio(number, out_fd, file_name, frames, &written);
        complete = outcome != CDIMAGE_AUDIO_NOT_WRITTEN;
        if (complete && written != frames) {
            complete = patch_wave_sizes(out_fd, written);
            error = errno;
        }
        if (!complete && outcome != CDIMAGE_AUDIO_NOT_WRITTEN)
            record_wave_failure(file_name, std::strerror(error));
    } else {
        record_wave_failure(file_name, std::strerror(error));
    }
    if (close(out_fd) != 0 && complete) {
        complete = false;
        record_wave_failure(file_name, std::strerror(errno));
    }
    // A WAVE file that is not whole would claim more than it holds.
    if (!complete)
        unlinkat(spot.dir_fd, spot.leaf, 0);
    end_partial_file(g_partial_wave);
    if (!complete)
        return false;
    const unsigned minutes = static_cast<unsigned>(written / (sample_rate * SECONDS_PER_MINUTE));
    const unsigned seconds = static_cast<unsigned>(written / sample_rate % SECONDS_PER_MINUTE);
    std::printf("track %02d: %u:%02u\n", number, minutes, seconds);
    return outcome == CDIMAGE_AUDIO_WHOLE;
}

// Exports one track; false when it failed, the failure named.
bool export_track(OutputTree &tree, const char *out_dir, const OwnImageFiles &own_files, int number)
{
    uint32_t frames = 0;
    uint32_t sample_rate = 0;
    // The library names a track it cannot read.
    if (!cdimage_audio_frames(number, &frames, &sample_rate))
        return false;
    char track_name[16];
    std::snprintf(track_name, sizeof track_name, "track %02d", number);
    // The frames must fit the header's 32-bit sizes.
    if (frames >= FRAME_LIMIT) {
        record_wave_failure(track_name, "read failed");
        return false;
    }
    char file_name[PATH_TEXT_SIZE];
    int written = std::snprintf(file_name, sizeof file_name, "%s/audio/track%02d.wav", out_dir, number);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof file_name) {
        // The cut name could lie anywhere: create nothing there.
        record_wave_failure(file_name, std::strerror(ENAMETOOLONG));
        return false;
    }
    return write_wave_track(tree, out_dir, own_files, number, frames, sample_rate, file_name);
}

}  // namespace

int export_audio_tracks(const char *out_dir, const char *cue_path)
{
    const OwnImageFiles own_files = find_own_image_files(cue_path);
    OutputTree tree;
    int failures = 0;
    for (int index = 0; index < cdimage_track_count(); ++index) {
        int number = cdimage_track_number(index);
        if (cdimage_track_is_audio(number) && !export_track(tree, out_dir, own_files, number))
            ++failures;
    }
    return failures;
}

void discard_partial_wave()
{
    discard_partial_file(g_partial_wave);
}
