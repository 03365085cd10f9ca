// Track layout (every track's length and the data track) and the track
// queries.
#include <string>

#include "cdimage_internal.h"
#include "printable_text.h"

namespace {

const Track *first_track_numbered(int number)
{
    for (int i = 0; i < g_image.track_count; ++i)
        if (g_image.tracks[i].number == number)
            return &g_image.tracks[i];
    return nullptr;
}

// The sector where a track's stored bytes begin in its file: its pregap
// when that lies in the same file, else its INDEX 01.
int64_t track_file_start(const Track &track)
{
    if (track.index0 >= 0 && track.index0_file == track.file_index && track.index0 < track.index1)
        return track.index0;
    return track.index1;
}

// A file may hold tracks of different sector sizes (a MODE1/2048 track,
// then AUDIO tracks of 2352 bytes): each track's bytes begin where those of
// the track before it in the file end, its sectors times its sector size.
// Positions stay within 64 bits: every INDEX time is below 2^45 sectors.
void place_tracks_in_files()
{
    for (int f = 0; f < g_image.file_count; ++f) {
        const Track *previous = nullptr;
        int64_t previous_position = 0;
        for (int i = 0; i < g_image.track_count; ++i) {
            Track &track = g_image.tracks[i];
            if (track.file_index != f)
                continue;
            const int64_t start = track_file_start(track);
            const int64_t position = previous == nullptr
                                         ? start * track.sector_size
                                         : previous_position + (start - track_file_start(*previous)) *
                                                                   previous->sector_size;
            track.file_origin = position - start * track.sector_size;
            previous = &track;
            previous_position = position;
        }
    }
}

// The bytes of a file from a track's sector 0 position on, held at the
// ends of the 64-bit range.
int64_t file_bytes_from_origin(const Track &track)
{
    const int64_t size = g_image.files[track.file_index].data_size;
    if (track.file_origin < 0 && size > INT64_MAX + track.file_origin)
        return INT64_MAX;
    return size - track.file_origin;
}

// The whole sectors of a track's file, counted in the track's sector size
// from the file's sector 0 on.
int64_t file_end_sector(const Track &track)
{
    const int64_t bytes = file_bytes_from_origin(track);
    return bytes < 0 ? -1 : bytes / track.sector_size;
}

// Whole sectors of a file as disc-wide addresses count them: up to the end
// of its last track's sectors, or by 2352 bytes when no track belongs to it.
int64_t file_address_sectors(int file_index)
{
    const Track *last = nullptr;
    for (int i = 0; i < g_image.track_count; ++i)
        if (g_image.tracks[i].file_index == file_index)
            last = &g_image.tracks[i];
    if (last == nullptr)
        return g_image.files[file_index].data_size / RAW_SECTOR_SIZE;
    const int64_t sectors = file_end_sector(*last);
    return sectors < 0 ? 0 : sectors;
}

int64_t sectors_before_file(int file_index)
{
    int64_t sum = 0;
    for (int i = 0; i < file_index && i < g_image.file_count; ++i)
        sum += file_address_sectors(i);
    return sum;
}

// Whether the track at position i ends where its file ends, rather than at
// the next track's pregap or INDEX 01 in the same file.
bool track_ends_with_file(int i)
{
    if (i + 1 >= g_image.track_count)
        return true;
    const Track &track = g_image.tracks[i];
    const Track &next = g_image.tracks[i + 1];
    return !(next.index0 >= 0 && next.index0_file == track.file_index) && next.file_index != track.file_index;
}

// Where the track at position i ends, in sectors of its file: at the next
// track's pregap (INDEX 00) when that lies in the same file, else at the next
// track's INDEX 01 when that track is in the same file, else at the file's
// last whole sector. A pregap belongs to neither track.
int64_t track_end(int i)
{
    const Track &track = g_image.tracks[i];
    if (track_ends_with_file(i))
        return file_end_sector(track);
    const Track &next = g_image.tracks[i + 1];
    if (next.index0 >= 0 && next.index0_file == track.file_index)
        return next.index0;
    return next.index1;
}

// Frames from the track's INDEX 01 to its end: up to the file's last whole
// frame when the track ends with its file.
int64_t track_frames(int i)
{
    const Track &track = g_image.tracks[i];
    if (track.length <= 0)
        return 0;
    if (!track_ends_with_file(i))
        return track.length * track.sector_size / BYTES_PER_FRAME;
    const int64_t bytes = file_bytes_from_origin(track) - track.index1 * track.sector_size;
    return bytes / BYTES_PER_FRAME;
}

// Names each track file the probe found missing, by what it costs to an
// image that opens (`data_track` not null): the data track (a failure, the
// first data track being the only one read), or only its audio tracks.
void name_missing_files(const Track *data_track)
{
    for (int f = 0; f < g_image.file_count; ++f) {
        if (!g_image.files[f].missing)
            continue;
        bool has_audio = false;
        for (int i = 0; i < g_image.track_count; ++i)
            has_audio = has_audio || (g_image.tracks[i].file_index == f && g_image.tracks[i].is_audio);
        const std::string path = printable_text(g_image.files[f].path);
        if (data_track != nullptr && data_track->file_index == f) {
            std::fprintf(stderr, "cdimage: %s is missing: no data track\n", path.c_str());
            ++g_image.track_failures;
        } else if (data_track != nullptr && has_audio) {
            std::fprintf(stderr, "cdimage: %s is missing: only its audio tracks\n", path.c_str());
        } else {
            std::fprintf(stderr, "cdimage: %s is missing\n", path.c_str());
        }
    }
}

const Track *last_audio_track_numbered(int number)
{
    const Track *chosen = nullptr;
    for (int i = 0; i < g_image.track_count; ++i)
        if (g_image.tracks[i].number == number && g_image.tracks[i].is_audio)
            chosen = &g_image.tracks[i];
    // An extent states the frames in 32 bits: a longer track has none.
    return chosen != nullptr && chosen->frames > 0 && chosen->frames <= static_cast<int64_t>(UINT32_MAX) ? chosen : nullptr;
}

}  // namespace

int lay_out_tracks()
{
    g_image.data_track = nullptr;
    bool indexed = g_image.track_count > 0;
    for (int i = 0; i < g_image.track_count; ++i)
        indexed = indexed && g_image.tracks[i].index1 >= 0;
    if (!indexed) {
        name_missing_track_files();
        return 0;
    }
    place_tracks_in_files();
    for (int i = 0; i < g_image.track_count; ++i) {
        Track &track = g_image.tracks[i];
        track.length = track_end(i) - track.index1;
        track.frames = track_frames(i);
        track.disc_address = sectors_before_file(track.file_index) + track.index1;
    }
    for (int i = 0; i < g_image.track_count; ++i) {
        if (!g_image.tracks[i].is_audio) {
            g_image.data_track = &g_image.tracks[i];
            break;
        }
    }
    name_missing_files(g_image.data_track);
    if (g_image.data_track == nullptr)
        return 0;
    const TrackFile &data_file = g_image.files[g_image.data_track->file_index];
    if (!data_file.missing && g_image.data_track->length <= 0) {
        std::fprintf(stderr, "cdimage: %s holds no sector of track %02d\n", printable_text(data_file.path).c_str(),
                     g_image.data_track->number);
        ++g_image.track_failures;
    }
    return 1;
}

void name_missing_track_files()
{
    name_missing_files(nullptr);
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
    *offset = static_cast<uint64_t>(track_byte_position(*chosen, chosen->index1) + file.data_offset);
    *frames = static_cast<uint32_t>(chosen->frames);
    *big_endian = file.big_endian_type;
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
