// Track layout (every track's length and the data track) and the track
// queries.
#include <string>

#include "image_state.h"
#include "cue_sheet.h"
#include "printable_text.h"

namespace {


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
void place_tracks_in_files(ImageState &image)
{
    for (int f = 0; f < image.file_count; ++f) {
        const Track *previous = nullptr;
        int64_t previous_position = 0;
        for (int i = 0; i < image.track_count; ++i) {
            Track &track = image.tracks[i];
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
int64_t file_bytes_from_origin(ImageState &image, const Track &track)
{
    const int64_t size = image.files[track.file_index].data_size;
    if (track.file_origin < 0 && size > INT64_MAX + track.file_origin)
        return INT64_MAX;
    return size - track.file_origin;
}

// The whole sectors of a track's file, counted in the track's sector size
// from the file's sector 0 on.
int64_t file_end_sector(ImageState &image, const Track &track)
{
    const int64_t bytes = file_bytes_from_origin(image, track);
    return bytes < 0 ? -1 : bytes / track.sector_size;
}

// Whole sectors of a file as disc-wide addresses count them: up to the end
// of its last track's sectors, or by 2352 bytes when no track belongs to it.
int64_t file_address_sectors(ImageState &image, int file_index)
{
    const Track *last = nullptr;
    for (int i = 0; i < image.track_count; ++i)
        if (image.tracks[i].file_index == file_index)
            last = &image.tracks[i];
    if (last == nullptr)
        return image.files[file_index].data_size / RAW_SECTOR_SIZE;
    const int64_t sectors = file_end_sector(image, *last);
    return sectors < 0 ? 0 : sectors;
}

int64_t sectors_before_file(ImageState &image, int file_index)
{
    int64_t sum = 0;
    for (int i = 0; i < file_index && i < image.file_count; ++i)
        sum += file_address_sectors(image, i);
    return sum;
}

// Whether the track at position i ends where its file ends, rather than at
// the next track's pregap or INDEX 01 in the same file.
bool track_ends_with_file(ImageState &image, int i)
{
    if (i + 1 >= image.track_count)
        return true;
    const Track &track = image.tracks[i];
    const Track &next = image.tracks[i + 1];
    return !(next.index0 >= 0 && next.index0_file == track.file_index) && next.file_index != track.file_index;
}

// Where the track at position i ends, in sectors of its file: at the next
// track's pregap (INDEX 00) when that lies in the same file, else at the next
// track's INDEX 01 when that track is in the same file, else at the file's
// last whole sector. A pregap belongs to neither track.
int64_t track_end(ImageState &image, int i)
{
    const Track &track = image.tracks[i];
    if (track_ends_with_file(image, i))
        return file_end_sector(image, track);
    const Track &next = image.tracks[i + 1];
    if (next.index0 >= 0 && next.index0_file == track.file_index)
        return next.index0;
    return next.index1;
}

// Frames from the track's INDEX 01 to its end: up to the file's last whole
// frame when the track ends with its file.
int64_t track_frames(ImageState &image, int i)
{
    const Track &track = image.tracks[i];
    if (track.length <= 0)
        return 0;
    if (!track_ends_with_file(image, i))
        return track.length * track.sector_size / BYTES_PER_FRAME;
    const int64_t bytes = file_bytes_from_origin(image, track) - track.index1 * track.sector_size;
    return bytes / BYTES_PER_FRAME;
}

// Names each track file the probe found missing, by what it costs to an
// image that opens: the data track (a loss, the first data track being the
// only one read), or only its audio tracks. In an image that does not open
// each is a reason why.
void name_missing_files(ImageState &image, bool opens)
{
    for (int f = 0; f < image.file_count; ++f) {
        if (!image.files[f].missing)
            continue;
        bool has_audio = false;
        for (int i = 0; i < image.track_count; ++i)
            has_audio = has_audio || (image.tracks[i].file_index == f && image.tracks[i].is_audio);
        const char *path = image.files[f].path;
        const std::string shown = "cdimage: " + printable_text(path);
        if (opens && image.data_track != nullptr && image.data_track->file_index == f) {
            image.data_track_lost = true;
            record_line(image, LedgerKind::TRACK_LOST, path, "is missing: no data track",
                        shown + " is missing: no data track");
        } else if (opens && has_audio) {
            record_line(image, LedgerKind::NOTE, path, "is missing: only its audio tracks",
                        shown + " is missing: only its audio tracks");
        } else {
            record_line(image, opens ? LedgerKind::NOTE : LedgerKind::OPEN_REFUSED, path, "is missing",
                        shown + " is missing");
        }
    }
}


}  // namespace

int lay_out_tracks(ImageState &image)
{
    image.data_track = nullptr;
    bool indexed = image.track_count > 0;
    for (int i = 0; i < image.track_count; ++i)
        indexed = indexed && image.tracks[i].index1 >= 0;
    if (!indexed) {
        name_missing_track_files(image);
        return 0;
    }
    place_tracks_in_files(image);
    for (int i = 0; i < image.track_count; ++i) {
        Track &track = image.tracks[i];
        track.length = track_end(image, i) - track.index1;
        track.frames = track_frames(image, i);
        track.disc_address = sectors_before_file(image, track.file_index) + track.index1;
    }
    for (int i = 0; i < image.track_count; ++i) {
        if (!image.tracks[i].is_audio) {
            image.data_track = &image.tracks[i];
            break;
        }
    }
    image.disc_sectors = sectors_before_file(image, image.file_count);
    const bool opens = image.data_track != nullptr || image.options.open_without_data_track;
    name_missing_files(image, opens);
    if (!opens)
        return 0;
    if (image.data_track == nullptr)
        return 1;
    const TrackFile &data_file = image.files[image.data_track->file_index];
    if (!data_file.missing && image.data_track->length <= 0) {
        image.data_track_lost = true;
        char reason[64];
        std::snprintf(reason, sizeof reason, "holds no sector of track %02d", image.data_track->number);
        record_line(image, LedgerKind::TRACK_LOST, data_file.path, reason,
                    "cdimage: " + printable_text(data_file.path) + " " + reason);
    }
    return 1;
}

void name_missing_track_files(ImageState &image)
{
    name_missing_files(image, false);
}
