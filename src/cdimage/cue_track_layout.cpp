// Track layout (every track's length and the data track) and the track
// queries.
#include "cdimage_internal.h"

namespace {

const Track *first_track_numbered(int number)
{
    for (int i = 0; i < g_image.track_count; ++i)
        if (g_image.tracks[i].number == number)
            return &g_image.tracks[i];
    return nullptr;
}

// Whole sectors of a file as disc-wide addresses count them: by the sector
// size of the file's first track, or 2352 when no track belongs to it.
int64_t file_address_sectors(int file_index)
{
    int sector_size = RAW_SECTOR_SIZE;
    for (int i = 0; i < g_image.track_count; ++i) {
        if (g_image.tracks[i].file_index == file_index) {
            sector_size = g_image.tracks[i].sector_size;
            break;
        }
    }
    return g_image.files[file_index].data_size / sector_size;
}

int64_t sectors_before_file(int file_index)
{
    int64_t sum = 0;
    for (int i = 0; i < file_index && i < g_image.file_count; ++i)
        sum += file_address_sectors(i);
    return sum;
}

// Where the track at position i ends, in sectors of its file: at the next
// track's pregap (INDEX 00) when that lies in the same file, else at the next
// track's INDEX 01 when that track is in the same file, else at the file's
// last whole sector. A pregap belongs to neither track.
int64_t track_end(int i)
{
    const Track &track = g_image.tracks[i];
    const int64_t file_end = g_image.files[track.file_index].data_size / track.sector_size;
    if (i + 1 >= g_image.track_count)
        return file_end;
    const Track &next = g_image.tracks[i + 1];
    if (next.index0 >= 0 && next.index0_file == track.file_index)
        return next.index0;
    if (next.file_index == track.file_index)
        return next.index1;
    return file_end;
}

const Track *last_audio_track_numbered(int number)
{
    const Track *chosen = nullptr;
    for (int i = 0; i < g_image.track_count; ++i)
        if (g_image.tracks[i].number == number && g_image.tracks[i].is_audio)
            chosen = &g_image.tracks[i];
    return chosen != nullptr && chosen->length > 0 ? chosen : nullptr;
}

}  // namespace

int lay_out_tracks()
{
    if (g_image.track_count < 1)
        return 0;
    for (int i = 0; i < g_image.track_count; ++i) {
        Track &track = g_image.tracks[i];
        if (track.index1 < 0)
            return 0;
        track.length = track_end(i) - track.index1;
        track.disc_address = sectors_before_file(track.file_index) + track.index1;
    }
    g_image.data_track = nullptr;
    for (int i = 0; i < g_image.track_count; ++i) {
        if (!g_image.tracks[i].is_audio) {
            g_image.data_track = &g_image.tracks[i];
            break;
        }
    }
    return g_image.data_track != nullptr;
}

extern "C" int cdimage_track_count(void)
{
    return g_image.is_open ? g_image.track_count : 0;
}

extern "C" int cdimage_track_number(int index)
{
    if (index < 0 || index >= g_image.track_count)
        return 0;
    return g_image.tracks[index].number;
}

extern "C" int cdimage_track_is_audio(int number)
{
    if (!g_image.is_open)
        return 0;
    const Track *track = first_track_numbered(number);
    return track != nullptr && track->is_audio;
}

extern "C" int cdimage_track_lba(int number)
{
    if (!g_image.is_open)
        return 0;
    const Track *track = first_track_numbered(number);
    if (track == nullptr)
        return 0;
    return static_cast<int>(static_cast<uint32_t>(track->disc_address));
}

extern "C" int cdimage_track_info(int index, int *number, const char **mode, int64_t *start, int64_t *sectors,
                                  const char **file)
{
    if (!g_image.is_open || index < 0 || index >= g_image.track_count)
        return 0;
    const Track &track = g_image.tracks[index];
    if (number != nullptr)
        *number = track.number;
    if (mode != nullptr)
        *mode = track.mode;
    if (start != nullptr)
        *start = track.disc_address;
    if (sectors != nullptr)
        *sectors = track.length;
    if (file != nullptr)
        *file = g_image.files[track.file_index].path;
    return 1;
}

extern "C" int cdimage_disc_sectors(void)
{
    if (!g_image.is_open)
        return 0;
    return static_cast<int>(static_cast<uint32_t>(sectors_before_file(g_image.file_count)));
}

extern "C" int cdimage_audio_extent(int number, const char **path, uint64_t *offset, uint32_t *frames,
                                    int *big_endian)
{
    if (!g_image.is_open)
        return 0;
    const Track *chosen = last_audio_track_numbered(number);
    if (chosen == nullptr)
        return 0;
    const TrackFile &file = g_image.files[chosen->file_index];
    *path = file.path;
    *offset = static_cast<uint64_t>(chosen->index1 * RAW_SECTOR_SIZE + file.data_offset);
    *frames = static_cast<uint32_t>(static_cast<uint64_t>(chosen->length) * RAW_SECTOR_SIZE / BYTES_PER_FRAME);
    *big_endian = file.format == TrackFormat::STORED_BIG_ENDIAN;
    return 1;
}

extern "C" int cdimage_audio_format(int number, int *samples, uint32_t *sample_rate)
{
    if (!g_image.is_open)
        return 0;
    const Track *chosen = last_audio_track_numbered(number);
    if (chosen == nullptr)
        return 0;
    const TrackFile &file = g_image.files[chosen->file_index];
    switch (file.format) {
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
    *sample_rate = file.sample_rate;
    return 1;
}
