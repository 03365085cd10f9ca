// The cue sheet side of the cdimage module: the reader of the sheet, the
// probing of its track files and the layout of its tracks, which together
// fill the image's track table. Nothing here is part of the public interface.
#ifndef CDIMAGE_CUE_SHEET_H
#define CDIMAGE_CUE_SHEET_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "disc.h"

struct ImageState;

// Where the sheet places a track, as its lines say: positions are sectors
// from the start of the file's track data, negative where the sheet gave
// none. The layout turns them into the track's source and disc address.
struct CueTrack {
    int file_index;   // the file its INDEX 01 counts in
    int64_t index1;
    int64_t index0;
    int index0_file;  // the file that the INDEX 00 position counts in
    // Where sector 0 of the file would lie at this track's sector size, in
    // bytes from the file's data_offset: 0 unless tracks of another sector
    // size come before it in its file.
    int64_t file_origin;
};

// What the reader keeps of a sheet beside the image's tables, for the layout.
struct CueSheet {
    CueTrack tracks[MAX_TRACKS];  // parallel to ImageState::tracks
    int track_lines[MAX_TRACKS];  // the line of each track's TRACK line
};

// Cue sheet reader. parse_msf gives the sectors of a time mm:ss:ff (digits
// only, seconds below 60, frames below 75), -1 for any other text.
// read_cue_sheet gives true when the sheet was read to its end and describes
// tracks, false when the open must fail: with open_reason set, or after the
// module named the failure (the sheet is closed either way).
int64_t parse_msf(std::string_view time);
bool read_cue_sheet(ImageState &image, const char *cue_path, CueSheet &cue);
// The largest cue sheet read: real ones stay far below it.
constexpr std::size_t MAX_CUE_SHEET_SIZE = 16 * 1024 * 1024;

// Track file probing: the format, rate, data_offset and data_size of a new
// entry, from its FILE line's type word and its bytes. Gives true when the
// entry is kept, false when the open must fail.
// A name that does not exist as given is looked for by its base name in the
// cue sheet's directory, then with its ISO 8859-1 bytes as UTF-8; `path`
// becomes the path found.
bool probe_track_file(ImageState &image, TrackFile &file, std::string_view cue_directory, const char *type);

// What the chunk walk of a RIFF WAVE stream finds.
struct WaveLayout {
    int64_t data_offset;  // just behind the "data" chunk's header, or 0
    bool has_format;      // a "fmt " chunk of 16 bytes or more came before "data"
    uint16_t format_tag;  // 1 for integer PCM
    uint16_t channels;
    uint32_t sample_rate;
    uint16_t bits_per_sample;
};
WaveLayout read_wave_layout(std::FILE *stream);

// Track layout: each track's source, disc address and length, and the data
// track; false when the open must fail (no data track, unless the image's
// options let it open without one). Names the track files the probe found
// missing, now that their tracks are known, and a lost data track.
bool lay_out_tracks(ImageState &image, CueSheet &cue);
// Names the missing track files of a cue sheet that did not open.
void name_missing_track_files(ImageState &image, const CueSheet &cue);

#endif
