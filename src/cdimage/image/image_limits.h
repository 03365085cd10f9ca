// Limits and sizes that every side of the cdimage module shares.
#ifndef CDIMAGE_IMAGE_LIMITS_H
#define CDIMAGE_IMAGE_LIMITS_H

#include <climits>
#include <cstddef>
#include <cstdint>

#include "byte_order.h"

constexpr int MAX_TRACK_FILES = 99;
constexpr int MAX_TRACKS = 99;
// Entry positions are ints in the interface: the table's only bound.
constexpr int MAX_FS_ENTRIES = INT_MAX;
// The safety depth of the walk: directories are followed down to this many
// levels below the root.
constexpr int MAX_DIR_DEPTH = 64;
constexpr int DATA_SECTOR_SIZE = 2048;
constexpr int RAW_SECTOR_SIZE = 2352;
// A Mode 2 sector stored without its sync pattern and header.
constexpr int MODE2_SECTOR_SIZE = 2336;

// Where the 2048 user bytes begin in a stored data sector: behind the sync
// pattern (12 bytes) and header (4) of a raw Mode 1 sector; behind those and
// the CD-ROM XA subheader (8) of a raw Mode 2 sector; behind the subheader
// alone in a 2336-byte Mode 2 sector.
constexpr int MODE1_RAW_USER_DATA_OFFSET = 16;
constexpr int MODE2_RAW_USER_DATA_OFFSET = 24;
constexpr int MODE2_SUBHEADER_SIZE = 8;

// Text buffers, terminator included: longer text is cut to one less.
constexpr std::size_t PATH_TEXT_SIZE = 1024;
// An entry's name is at most as long as a path text holds.
constexpr std::size_t MAX_ENTRY_NAME = PATH_TEXT_SIZE - 1;
// A track file's path: the cue sheet's directory and the FILE line's name,
// up to the system's limit (PATH_MAX, terminator included). A longer one
// refuses the sheet rather than being cut into another path.
constexpr std::size_t TRACK_PATH_SIZE = 4096;
constexpr std::size_t CUE_TOKEN_SIZE = 32;
// Why an open refused its cue sheet, terminator included.
constexpr std::size_t OPEN_REASON_SIZE = 128;

// An audio frame: two 16-bit samples.
constexpr int BYTES_PER_FRAME = 4;

// The sample rate of raw track files, and of WAVE files that name none.
constexpr uint32_t CD_SAMPLE_RATE = 44100;
// The highest rate whose bytes per second (4 per frame) fit a WAVE header.
constexpr uint32_t MAX_SAMPLE_RATE = UINT32_MAX / BYTES_PER_FRAME;

// The 2048-byte sectors that hold `size` bytes: ceil(size / 2048), exact
// for every 32-bit size.
inline uint32_t sectors_holding(uint32_t size)
{
    return size / DATA_SECTOR_SIZE + (size % DATA_SECTOR_SIZE != 0);
}

#endif
