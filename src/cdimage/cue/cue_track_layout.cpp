// Track layout: where every track of a cue sheet lies in its file and on
// the disc, its length, and the data track.
#include <string>

#include "image_state.h"
#include "cue_sheet.h"
#include "printable_text.h"

namespace {

// The sector where a track's stored bytes begin in its file: its pregap
// when that lies in the same file, else its INDEX 01.
int64_t track_file_start(const CueTrack &place)
{
    if (place.index0 >= 0 && place.index0_file == place.file_index && place.index0 < place.index1)
        return place.index0;
    return place.index1;
}

// A file may hold tracks of different sector sizes (a MODE1/2048 track,
// then AUDIO tracks of 2352 bytes): each track's bytes begin where those of
// the track before it in the file end, its sectors times its sector size.
// Positions stay within 64 bits: every INDEX time is below 2^45 sectors.
void place_tracks_in_files(ImageState &image, CueSheet &cue)
{
    for (int f = 0; f < image.file_count; ++f) {
        int previous = -1;
        int64_t previous_position = 0;
        for (int i = 0; i < image.track_count; ++i) {
            CueTrack &place = cue.tracks[i];
            if (place.file_index != f)
                continue;
            const int sector_size = image.tracks[i].source.sector_size;
            const int64_t start = track_file_start(place);
            const int64_t position =
                previous < 0 ? start * sector_size
                             : previous_position + (start - track_file_start(cue.tracks[previous])) *
                                                       image.tracks[previous].source.sector_size;
            place.file_origin = position - start * sector_size;
            previous = i;
            previous_position = position;
        }
    }
}

// The bytes of a file from track i's sector 0 position on, held at the
// ends of the 64-bit range.
int64_t file_bytes_from_origin(const ImageState &image, const CueSheet &cue, int i)
{
    const CueTrack &place = cue.tracks[i];
    const int64_t size = image.files[place.file_index].data_size;
    if (place.file_origin < 0 && size > INT64_MAX + place.file_origin)
        return INT64_MAX;
    return size - place.file_origin;
}

// The whole sectors of track i's file, counted in the track's sector size
// from the file's sector 0 on.
int64_t file_end_sector(const ImageState &image, const CueSheet &cue, int i)
{
    const int64_t bytes = file_bytes_from_origin(image, cue, i);
    return bytes < 0 ? -1 : bytes / image.tracks[i].source.sector_size;
}

// Whole sectors of a file as disc-wide addresses count them: up to the end
// of its last track's sectors, or by 2352 bytes when no track belongs to it.
int64_t file_address_sectors(const ImageState &image, const CueSheet &cue, int file_index)
{
    int last = -1;
    for (int i = 0; i < image.track_count; ++i)
        if (cue.tracks[i].file_index == file_index)
            last = i;
    if (last < 0)
        return image.files[file_index].data_size / RAW_SECTOR_SIZE;
    const int64_t sectors = file_end_sector(image, cue, last);
    return sectors < 0 ? 0 : sectors;
}

int64_t sectors_before_file(const ImageState &image, const CueSheet &cue, int file_index)
{
    int64_t sum = 0;
    for (int i = 0; i < file_index && i < image.file_count; ++i)
        sum += file_address_sectors(image, cue, i);
    return sum;
}

// Whether the track at position i ends where its file ends, rather than at
// the next track's pregap or INDEX 01 in the same file.
bool track_ends_with_file(const ImageState &image, const CueSheet &cue, int i)
{
    if (i + 1 >= image.track_count)
        return true;
    const CueTrack &place = cue.tracks[i];
    const CueTrack &next = cue.tracks[i + 1];
    return !(next.index0 >= 0 && next.index0_file == place.file_index) && next.file_index != place.file_index;
}

// Where the track at position i ends, in sectors of its file: at the next
// track's pregap (INDEX 00) when that lies in the same file, else at the next
// track's INDEX 01 when that track is in the same file, else at the file's
// last whole sector. A pregap belongs to neither track.
int64_t track_end(const ImageState &image, const CueSheet &cue, int i)
{
    if (track_ends_with_file(image, cue, i))
        return file_end_sector(image, cue, i);
    const CueTrack &next = cue.tracks[i + 1];
    if (next.index0 >= 0 && next.index0_file == cue.tracks[i].file_index)
        return next.index0;
    return next.index1;
}

// Frames from the track's INDEX 01 to its end: up to the file's last whole
// frame when the track ends with its file.
int64_t track_frames(const ImageState &image, const CueSheet &cue, int i)
{
    const Track &track = image.tracks[i];
    if (track.length <= 0)
        return 0;
    if (!track_ends_with_file(image, cue, i))
        return track.length * track.source.sector_size / BYTES_PER_FRAME;
    const int64_t bytes = file_bytes_from_origin(image, cue, i) - cue.tracks[i].index1 * track.source.sector_size;
    return bytes / BYTES_PER_FRAME;
}

// Names each track file the probe found missing, by what it costs to an
// image that opens: the data track (a loss: the first data track holds the
// volume, or the first session's files that a later one keeps), a later
// data track (a loss: it may hold the last session's volume, which the disc
// shows), or only its audio tracks. In an image that does not open each is
// a reason why.
void name_missing_files(ImageState &image, const CueSheet &cue, bool opens)
{
    for (int f = 0; f < image.file_count; ++f) {
        if (!image.files[f].missing)
            continue;
        bool has_audio = false;
        bool has_data = false;
        for (int i = 0; i < image.track_count; ++i) {
            if (cue.tracks[i].file_index != f)
                continue;
            has_audio = has_audio || image.tracks[i].is_audio;
            has_data = has_data || !image.tracks[i].is_audio;
        }
        const char *path = image.files[f].path;
        const std::string shown = "cdimage: " + printable_text(path);
        if (opens && image.data_track != nullptr && image.data_track->source.file == f) {
            image.data_track_lost = true;
            record_line(image, LedgerKind::TRACK_LOST, path, "is missing: no data track",
                        shown + " is missing: no data track");
        } else if (opens && has_data) {
            record_line(image, LedgerKind::TRACK_LOST, path, "is missing: the volume read may be an earlier session's",
                        shown + " is missing: the volume read may be an earlier session's");
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

// The reader has checked that every track has its INDEX 01.
bool lay_out_tracks(ImageState &image, CueSheet &cue)
{
    image.data_track = nullptr;
    place_tracks_in_files(image, cue);
    for (int i = 0; i < image.track_count; ++i) {
        Track &track = image.tracks[i];
        const CueTrack &place = cue.tracks[i];
        track.length = track_end(image, cue, i) - place.index1;
        track.frames = track_frames(image, cue, i);
        track.disc_address = sectors_before_file(image, cue, place.file_index) + place.index1;
        track.source.file = place.file_index;
        track.source.start =
            image.files[place.file_index].data_offset + place.file_origin + place.index1 * track.source.sector_size;
    }
    for (int i = 0; i < image.track_count; ++i) {
        if (!image.tracks[i].is_audio) {
            image.data_track = &image.tracks[i];
            break;
        }
    }
    image.disc_sectors = sectors_before_file(image, cue, image.file_count);
    const bool opens = image.data_track != nullptr || image.options.open_without_data_track;
    name_missing_files(image, cue, opens);
    if (!opens)
        return false;
    if (image.data_track == nullptr)
        return true;
    const TrackFile &data_file = image.files[image.data_track->source.file];
    if (!data_file.missing && image.data_track->length <= 0) {
        image.data_track_lost = true;
        char reason[64];
        std::snprintf(reason, sizeof reason, "holds no sector of track %02d", image.data_track->number);
        record_line(image, LedgerKind::TRACK_LOST, data_file.path, reason,
                    "cdimage: " + printable_text(data_file.path) + " " + reason);
    }
    return true;
}

void name_missing_track_files(ImageState &image, const CueSheet &cue)
{
    name_missing_files(image, cue, false);
}
