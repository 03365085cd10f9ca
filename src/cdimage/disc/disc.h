// The disc side of the cdimage module: the track table that every image
// kind fills (where each track's sectors lie, in what framing) and the reader
// of any track's sectors. Nothing here is part of the public interface.
#ifndef CDIMAGE_DISC_H
#define CDIMAGE_DISC_H

#include <cstddef>
#include <cstdint>

#include "image_limits.h"

struct ImageState;

// How a track file holds its audio, as the probe finds it.
enum class TrackFormat {
    STORED,             // 16-bit stereo samples, least significant byte first
    STORED_BIG_ENDIAN,  // the same, most significant byte first (type MOTOROLA)
    DECODED,            // compressed, or a WAVE of another sample format: the
                        // decoder gives its frames
};

// One file that the image is read from: for a cue sheet, one FILE line.
struct TrackFile {
    char path[TRACK_PATH_SIZE];
    TrackFormat format;
    uint32_t sample_rate;
    int64_t data_offset;  // where the file's track data begins
    int64_t data_size;    // bytes of track data from data_offset on; for a
                          // decoded file, its frames times 4
    bool missing;         // a BINARY file that could not be opened: the open
                          // goes on, and the layout names it
    bool big_endian_type; // the type word is MOTOROLA, whatever the format
};

// Where a track's sectors come from: a file of the image, the byte where
// the track's first sector (its INDEX 01) is stored, and the framing.
struct TrackSource {
    int file;         // in ImageState::files
    int64_t start;    // from the file's first byte; for a decoded file, its
                      // frames times 4 count the bytes
    int sector_size;  // bytes stored per sector: DATA_SECTOR_SIZE, MODE2_SECTOR_SIZE or RAW_SECTOR_SIZE
    int header_size;  // bytes stored ahead of the 2048 user bytes: 0, 8, 16 or 24
};

// One track of the disc, whatever kind of image described it.
struct Track {
    int number;
    char mode[CUE_TOKEN_SIZE];  // the mode word, in upper case ("AUDIO", "MODE1/2352", ...)
    int is_audio;
    int64_t disc_address;  // disc-wide sector of its first sector, as cdimage_track_lba gives it
    int64_t length;        // sectors; may be <= 0 when its file ends before it
    // Audio frames from the first sector to the track's end: a track that
    // ends with its file ends at the file's last whole frame, not its last
    // whole sector.
    int64_t frames;
    TrackSource source;
};

// The byte position in the track's file of sector `sector` of the track
// (negative for sectors stored ahead of its first, as a pregap is).
inline int64_t stored_sector_position(const Track &track, int64_t sector)
{
    return track.source.start + sector * track.source.sector_size;
}

// Data-track sector reader: the 2048 user bytes of one sector; false when
// it cannot be read.
bool read_data_sector(ImageState &image, uint32_t index, unsigned char *buffer);
// The same for a sector of any track of the table.
bool read_track_sector(ImageState &image, const Track &track, uint32_t index, unsigned char *buffer);
// The same for a run of consecutive sectors: gives how many sectors from
// `first` on were read whole, stopping at the first that could not be.
uint32_t read_data_sectors(ImageState &image, uint32_t first, uint32_t count, unsigned char *buffer);
// Consecutive sectors read piece by piece into a buffer of some sectors.
struct SectorSpan {
    uint32_t next;  // the first sector not read yet
    uint32_t left;  // sectors not read yet: nonzero at the end when a read failed
    bool failed;
};
inline SectorSpan sector_span(uint32_t first, uint32_t count)
{
    return {first, count, false};
}
// Reads the next piece of the span, at most `limit` sectors, into `buffer`
// and moves past it. Gives the sectors read whole; 0 once the span is done
// or after a sector could not be read (a piece cut short by it still gives
// the sectors before it).
uint32_t read_next_piece(ImageState &image, SectorSpan &span, uint32_t limit, unsigned char *buffer);
// Whether every sector of the run passes the reader's bound: a run that
// does not would fail at its first sector past the track's end.
bool run_lies_in_data_track(ImageState &image, uint32_t first, uint64_t count);
// Sectors per bulk read: 1 MiB of user data.
constexpr uint32_t SECTORS_PER_RUN = 512;

// Volume sectors: recorded extents less the volume's displacement. Those
// within the data track's bound are its sectors; the others are read from
// the track that holds the disc position they name, when that track is not
// audio and stores whole sectors. A volume displaced by more than the data
// track's disc address counts from the start of a disc whose image leaves
// out sectors ahead of the track, as a file per track leaves out the gap
// between two sessions: the sectors it names ahead of the track's address
// are the earlier sessions', at their own disc addresses.
uint32_t read_volume_sectors(ImageState &image, int64_t first, uint32_t count, unsigned char *buffer);
// The same as whole 2352-byte sectors (sync, header, subheader, data, EDC),
// sync and header rebuilt for tracks that store 2336 bytes; stops at a
// sector of a track that stores 2048.
uint32_t read_volume_raw_sectors(ImageState &image, int64_t first, uint32_t count, unsigned char *buffer);
// Whether every sector of the run lies in a track that can be read.
bool volume_run_is_readable(ImageState &image, int64_t first, uint64_t count);
// Whether no sector of the run lies in a track that stores only 2048 bytes.
bool volume_run_has_raw_sectors(ImageState &image, int64_t first, uint64_t count);
// The run's sectors inside the data track, where the extent names them
// directly: `*track_sector` receives the first one's number in the track.
bool volume_run_in_data_track(ImageState &image, int64_t first, uint64_t count, uint32_t *track_sector);
// Raw sectors per bulk read: what fits in the run of user sectors.
constexpr uint32_t RAW_SECTORS_PER_RUN = SECTORS_PER_RUN * DATA_SECTOR_SIZE / RAW_SECTOR_SIZE;

// A descriptor on the data track's file, held by the image; -1 when the
// file cannot be opened.
int data_track_descriptor(ImageState &image);

// Writes the sync pattern and the header (BCD minute, second and frame of
// disc address + 150, mode 2) of a raw sector.
void rebuild_sector_header(unsigned char *sector, int64_t disc_address);

#endif
