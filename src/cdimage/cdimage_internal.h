// Records, limits and inner functions of the cdimage module, shared by its
// sources and its tests. Nothing here is part of the public interface.
#ifndef CDIMAGE_INTERNAL_H
#define CDIMAGE_INTERNAL_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cdimage.h"
#include "file_io.h"
#include "output_tree.h"

constexpr int MAX_TRACK_FILES = 99;
constexpr int MAX_TRACKS = 99;
constexpr int MAX_FS_ENTRIES = 4096;
constexpr int MAX_DIR_DEPTH = 9;
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
constexpr std::size_t ENTRY_NAME_SIZE = 256;
constexpr std::size_t CUE_NAME_SIZE = 512;
constexpr std::size_t CUE_TOKEN_SIZE = 32;

// An audio frame: two 16-bit samples.
constexpr int BYTES_PER_FRAME = 4;

// One FILE line of the cue sheet.
struct TrackFile {
    char path[PATH_TEXT_SIZE];
    int is_wave;
    int is_ogg;
    int is_big_endian;
    int64_t data_offset;  // where sector 0 of the file's track data begins
    int64_t data_size;    // bytes of track data from data_offset on
};

// One TRACK line of the cue sheet. Positions are sectors from the start of
// the file's track data; a negative index means the cue sheet gave none.
struct Track {
    int number;
    int file_index;
    int is_audio;
    int sector_size;  // DATA_SECTOR_SIZE, MODE2_SECTOR_SIZE or RAW_SECTOR_SIZE
    int header_size;  // bytes stored ahead of the 2048 user bytes: 0, 8, 16 or 24
    int64_t index1;
    int64_t index0;
    int64_t length;   // sectors from INDEX 01 to the track's end; may be <= 0
};

// One file or directory of the data track's ISO 9660 volume.
struct FsEntry {
    char name[ENTRY_NAME_SIZE];  // upper case, components joined by '/'
    uint32_t extent;             // first sector, counted from INDEX 01
    uint32_t size;
    int is_dir;
};

struct ImageState {
    int is_open;
    char out_root[PATH_TEXT_SIZE];
    int out_root_is_cut;  // the output directory did not fit in out_root
    FileHandle data_file;
    Track *data_track;
    TrackFile files[MAX_TRACK_FILES];
    int file_count;
    Track tracks[MAX_TRACKS];
    int track_count;
    std::unique_ptr<FsEntry[]> entries;
    int entry_count;
    // Hash index over the entries by case-folded name and kind, built once
    // per open: slot values are entry positions, -1 when empty.
    std::unique_ptr<int16_t[]> name_index;
    int cue_error;            // what cdimage_cue_error gives
    int walk_failures;        // directories of the volume that could not be read
    int extraction_failures;  // files the last extraction call could not write
    PartialFile partial;      // the file an extraction is writing
};

// A 32-bit unsigned number stored least significant byte first, as RIFF
// sizes and the little-endian halves of ISO 9660 numbers are.
inline uint32_t little_endian_32(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The 2048-byte sectors that hold `size` bytes: ceil(size / 2048), exact
// for every 32-bit size.
inline uint32_t sectors_holding(uint32_t size)
{
    return size / DATA_SECTOR_SIZE + (size % DATA_SECTOR_SIZE != 0);
}

// The one image of the process.
extern ImageState g_image;

// Cue sheet reader. read_cue_sheet gives 1 when the sheet was read to its
// end, 0 when the open must fail (the sheet is closed either way).
int64_t parse_msf(const char *time);
int read_cue_sheet(const char *cue_path);

// Track file probing: fills data_offset and data_size of a new entry. Gives
// 1 when the entry is kept (file_count grows), 0 when the open must fail.
int probe_track_file(TrackFile &file, const char *type);
// The byte just behind the header of a RIFF WAVE stream's "data" chunk, or 0.
int64_t find_wave_data(std::FILE *stream);
// A track file is Ogg Vorbis when its path ends in ".ogg" (any case).
bool is_ogg_path(const char *path);

// Track layout: lengths and the data track; 1 on success.
int lay_out_tracks();

// Data-track sector reader: the 2048 user bytes of one sector; 1 on success.
int read_data_sector(uint32_t index, unsigned char *buffer);
// The same for a run of consecutive sectors: gives how many sectors from
// `first` on were read whole, stopping at the first that could not be.
uint32_t read_data_sectors(uint32_t first, uint32_t count, unsigned char *buffer);
// Whether every sector of the run passes the reader's bound: a run that
// does not would fail at its first sector past the track's end.
bool run_lies_in_data_track(uint32_t first, uint64_t count);
// Sectors per bulk read: 1 MiB of user data.
constexpr uint32_t SECTORS_PER_RUN = 512;

// Volume check and directory walk into the entry table.
void mount_volume(const char *cue_path);
void walk_directory(uint32_t extent, uint32_t size, const char *parent, int depth);
// Builds an entry's name from its parent's name and an on-disc identifier.
void build_entry_name(const char *parent, const unsigned char *identifier, std::size_t identifier_length,
                      char (&name)[ENTRY_NAME_SIZE]);

// Slots of the name index: twice the table, so probe runs stay short.
constexpr int NAME_INDEX_SLOTS = 2 * MAX_FS_ENTRIES;
// Builds the name index over the entry table; without it (no memory)
// lookups scan the table.
void build_name_index();
// The first entry in table order of the given kind whose name equals
// `name`, ignoring the case of ASCII letters.
const FsEntry *find_entry(const char *name, bool directory);

// Why a file's data did not come out whole: the first sector that could
// not be read, or else the errno of the write that failed.
struct DataFailure {
    int64_t unread_sector = -1;
    int write_error = 0;
};

// Copies `size` bytes of the data track from sector `first` on to out_fd,
// the bytes taken straight from the track file where its sectors are bare
// 2048-byte blocks. 1 on success, 0 with the failure, -1 when this track or
// this file system cannot copy that way.
int copy_data_track_bytes(uint32_t first, uint32_t size, int out_fd, DataFailure &failure);

// Extraction of one entry below out_root, through the tree's descriptors;
// 1 on success. A failure is named on standard error and counted.
int extract_entry(OutputTree &tree, const char *name, char *out_path, std::size_t out_size);

#endif
