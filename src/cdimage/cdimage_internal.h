// Records, limits and inner functions of the cdimage module, shared by its
// sources and its tests. Nothing here is part of the public interface.
#ifndef CDIMAGE_INTERNAL_H
#define CDIMAGE_INTERNAL_H

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cdimage.h"
#include "file_io.h"
#include "output_tree.h"

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
// An output path: the output directory, an entry name and their separators
// (PATH_MAX).
constexpr std::size_t OUTPUT_PATH_SIZE = 4096;
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

// How a track file holds its audio, as the probe finds it.
enum class TrackFormat {
    STORED,             // 16-bit stereo samples, least significant byte first
    STORED_BIG_ENDIAN,  // the same, most significant byte first (type MOTOROLA)
    DECODED,            // compressed, or a WAVE of another sample format: the
                        // decoder gives its frames
};

// One FILE line of the cue sheet.
struct TrackFile {
    char path[TRACK_PATH_SIZE];
    TrackFormat format;
    uint32_t sample_rate;
    int64_t data_offset;  // where sector 0 of the file's track data begins
    int64_t data_size;    // bytes of track data from data_offset on; for a
                          // decoded file, its frames times 4
    bool missing;         // a BINARY file that could not be opened: the open
                          // goes on, and the layout names it
    bool big_endian_type; // the type word is MOTOROLA, whatever the format
};

// One TRACK line of the cue sheet. Positions are sectors from the start of
// the file's track data; a negative index means the cue sheet gave none.
struct Track {
    int number;
    int file_index;
    char mode[CUE_TOKEN_SIZE];  // the mode word as written, in upper case
    int is_audio;
    int sector_size;  // DATA_SECTOR_SIZE, MODE2_SECTOR_SIZE or RAW_SECTOR_SIZE
    int header_size;  // bytes stored ahead of the 2048 user bytes: 0, 8, 16 or 24
    int64_t index1;
    int64_t index0;
    int index0_file;  // the file that the INDEX 00 position counts in
    int64_t length;   // sectors from INDEX 01 to the track's end; may be <= 0
    int64_t disc_address;  // disc-wide sector of INDEX 01, as cdimage_track_lba gives it
    // Where sector 0 of the file would lie at this track's sector size, in
    // bytes from the file's data_offset: 0 unless tracks of another sector
    // size come before it in its file.
    int64_t file_origin;
    // Audio frames from INDEX 01 to the track's end: a track that ends with
    // its file ends at the file's last whole frame, not its last whole sector.
    int64_t frames;
};

// The byte position of sector `sector` of a track's file, counted in the
// track's own sector size, from the file's data_offset.
inline int64_t track_byte_position(const Track &track, int64_t sector)
{
    return track.file_origin + sector * track.sector_size;
}

// The CD-ROM XA record of a directory record's system use area.
constexpr std::size_t XA_RECORD_SIZE = 14;

// One extent of a file or directory on the data track.
struct FsExtent {
    uint32_t sector;  // first sector as recorded: the volume's displacement still applies
    uint32_t size;    // bytes
};

// One file or directory of the data track's ISO 9660 volume. Its name is
// its own component and its parent's name: the full name (upper case,
// components joined by '/') is built on demand, so that the table grows
// with the directory records read, not with their paths. Components and
// extents live in the state's pools; offsets into them are 32-bit, a pool
// that would pass that counts as memory running out.
struct FsEntry {
    uint64_t size;             // bytes of all extents together
    int64_t mtime;             // the recording date, seconds since the epoch (UTC)
    int32_t parent;            // table index of the directory that holds it, -1 in the root
    uint32_t component_offset; // in ImageState::names
    uint32_t first_extent;     // in ImageState::extents
    uint32_t extent_count;     // more than 1 for a file recorded in several extents
    uint16_t name_length;      // of the full name: at most MAX_ENTRY_NAME
    uint8_t component_length;
    bool is_dir;
    bool has_time;             // the record holds a valid recording date
    bool has_xa;               // xa_record holds the first record's 14 bytes
    unsigned char xa_record[XA_RECORD_SIZE];
};

struct ImageState {
    int is_open;
    char out_root[PATH_TEXT_SIZE];
    int out_root_is_cut;  // the output directory did not fit in out_root
    FileHandle data_file;
    Track *data_track;
    // A read handle on the file of a track other than the data track, for
    // volume sectors that lie in later tracks.
    FileHandle other_file;
    int other_file_index;
    // What the volume's recorded extents exceed the data track's sector
    // numbers by: nonzero for volumes addressed from the start of the disc
    // or of a later session.
    int64_t volume_displacement;
    TrackFile files[MAX_TRACK_FILES];
    int file_count;
    Track tracks[MAX_TRACKS];
    int track_count;
    // The volume's entries in pre-order (a directory before what it holds),
    // their extents and their name components, back to back without
    // terminators; entry_count mirrors entries.size().
    std::vector<FsEntry> entries;
    std::vector<FsExtent> extents;
    std::vector<char> names;
    int entry_count;
    // Full names built on demand: entry_name's, and the one that
    // cdimage_entry_info lends its caller.
    char name_text[PATH_TEXT_SIZE];
    char listed_name[PATH_TEXT_SIZE];
    // Hash index over the entries by case-folded name and kind, built once
    // per open: slot values are entry positions, -1 when empty.
    std::unique_ptr<int32_t[]> name_index;
    uint32_t name_index_slots;  // a power of two
    int cue_error;            // what cdimage_cue_error gives
    // Why the last open refused its cue sheet (cdimage_open_reason): empty
    // when it gave no such reason; the line is the sheet's, or 0.
    char open_reason[OPEN_REASON_SIZE];
    int open_reason_line;
    int walk_failures;        // losses of the open's walk, each named
    int track_failures;       // the data track lost: its file missing or
                              // holding none of its sectors, named by the layout
    int extraction_failures;  // files the last extraction call could not write
    PartialFile partial;      // the file an extraction is writing
    std::vector<ImageFile> own_files;  // the cue sheet and the track files there at the open
};

// A 32-bit unsigned number stored least significant byte first, as RIFF
// sizes and the little-endian halves of ISO 9660 numbers are.
inline uint32_t little_endian_32(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline uint16_t little_endian_16(const unsigned char *bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The 2048-byte sectors that hold `size` bytes: ceil(size / 2048), exact
// for every 32-bit size.
inline uint32_t sectors_holding(uint32_t size)
{
    return size / DATA_SECTOR_SIZE + (size % DATA_SECTOR_SIZE != 0);
}

// The one image of the process.
extern ImageState g_image;

// The entry's full name, built into a buffer of the image: valid until the
// next call of entry_name, so a caller that needs two names at once, or a
// name across a call that may build another, copies it first.
const char *entry_name(const FsEntry &entry);
// Builds the full name into `text`; gives its length.
std::size_t write_entry_name(const FsEntry &entry, char (&text)[PATH_TEXT_SIZE]);

inline const FsExtent *entry_extents(const FsEntry &entry)
{
    return g_image.extents.data() + entry.first_extent;
}

// Cue sheet reader. parse_msf gives the sectors of a time mm:ss:ff (digits
// only, seconds below 60, frames below 75), -1 for any other text.
// read_cue_sheet gives 1 when the sheet was read to its end and describes
// tracks, 0 when the open must fail: with open_reason set, or after the
// module named the failure (the sheet is closed either way).
int64_t parse_msf(std::string_view time);
int read_cue_sheet(const char *cue_path);
// The largest cue sheet read: real ones stay far below it.
constexpr std::size_t MAX_CUE_SHEET_SIZE = 16 * 1024 * 1024;

// Track file probing: the format, rate, data_offset and data_size of a new
// entry, from its FILE line's type word and its bytes. Gives 1 when the entry
// is kept, 0 when the open must fail.
// A name that does not exist as given is looked for by its base name in the
// cue sheet's directory, then with its ISO 8859-1 bytes as UTF-8; `path`
// becomes the path found.
int probe_track_file(TrackFile &file, std::string_view cue_directory, const char *type);

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

// Track layout: lengths, the files' byte positions and the data track; 1 on
// success. Names the track files the probe found missing, now that their
// tracks are known, and counts a lost data track in track_failures.
int lay_out_tracks();
// Names the missing track files of a cue sheet that did not open.
void name_missing_track_files();

// Data-track sector reader: the 2048 user bytes of one sector; 1 on success.
int read_data_sector(uint32_t index, unsigned char *buffer);
// The same for a run of consecutive sectors: gives how many sectors from
// `first` on were read whole, stopping at the first that could not be.
uint32_t read_data_sectors(uint32_t first, uint32_t count, unsigned char *buffer);
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
uint32_t read_next_piece(SectorSpan &span, uint32_t limit, unsigned char *buffer);
// Whether every sector of the run passes the reader's bound: a run that
// does not would fail at its first sector past the track's end.
bool run_lies_in_data_track(uint32_t first, uint64_t count);
// Sectors per bulk read: 1 MiB of user data.
constexpr uint32_t SECTORS_PER_RUN = 512;

// Volume sectors: recorded extents less the volume's displacement. Those
// within the data track's bound are its sectors; the others are read from
// the track that holds the disc position they name, when that track is not
// audio and stores whole sectors.
uint32_t read_volume_sectors(int64_t first, uint32_t count, unsigned char *buffer);
// The same as whole 2352-byte sectors (sync, header, subheader, data, EDC),
// sync and header rebuilt for tracks that store 2336 bytes; stops at a
// sector of a track that stores 2048.
uint32_t read_volume_raw_sectors(int64_t first, uint32_t count, unsigned char *buffer);
// Whether every sector of the run lies in a track that can be read.
bool volume_run_is_readable(int64_t first, uint64_t count);
// Whether no sector of the run lies in a track that stores only 2048 bytes.
bool volume_run_has_raw_sectors(int64_t first, uint64_t count);
// The run's sectors inside the data track, where the extent names them
// directly: `*track_sector` receives the first one's number in the track.
bool volume_run_in_data_track(int64_t first, uint64_t count, uint32_t *track_sector);
// Raw sectors per bulk read: what fits in the run of user sectors.
constexpr uint32_t RAW_SECTORS_PER_RUN = SECTORS_PER_RUN * DATA_SECTOR_SIZE / RAW_SECTOR_SIZE;

// The displacement of a volume whose root directory record names
// `root_extent`: 0 when the root lies there in the data track, else the
// first of the data track's disc address, that plus the gap between two
// sessions, or what a search of sectors 17 to 200 for a directory's "."
// record finds, for which the root checks out. 0 when none does.
int64_t find_volume_displacement(uint32_t root_extent);

// CD-ROM XA. Attribute bits of the XA record.
constexpr uint16_t XA_ATTRIBUTE_FORM1 = 0x0800;
constexpr uint16_t XA_ATTRIBUTE_FORM2 = 0x1000;
constexpr uint16_t XA_ATTRIBUTE_INTERLEAVED = 0x2000;
constexpr uint16_t XA_ATTRIBUTE_CDDA = 0x4000;
constexpr uint16_t XA_ATTRIBUTE_DIRECTORY = 0x8000;
// Copies the XA record of a directory record of `record_length` bytes into
// `xa` when its system use area holds one; gives whether it did.
bool find_xa_record(const unsigned char *record, std::size_t record_length, unsigned char (&xa)[XA_RECORD_SIZE]);
uint16_t xa_attributes(const unsigned char (&xa)[XA_RECORD_SIZE]);
// Files whose sectors are Form 2, or mixed (interleaved), come out as RIFF
// CDXA: whole raw sectors behind a 44-byte header.
bool is_cdxa_entry(const FsEntry &entry);
constexpr std::size_t CDXA_HEADER_SIZE = 44;
// Raw bytes of a CDXA file: the recorded size of each extent counts 2048
// bytes for each of its sectors.
uint64_t cdxa_data_bytes(const FsEntry &entry);
// The header of a RIFF CDXA file of `data_bytes` bytes of raw sectors.
void write_cdxa_header(const unsigned char (&xa)[XA_RECORD_SIZE], uint64_t data_bytes,
                       unsigned char (&header)[CDXA_HEADER_SIZE]);
// Writes the sync pattern and the header (BCD minute, second and frame of
// disc address + 150, mode 2) of a raw sector.
void rebuild_sector_header(unsigned char *sector, int64_t disc_address);

// Directory record (ISO 9660 9.1).
constexpr int DR_LENGTH_OFFSET = 0;
constexpr int DR_EXTENT_OFFSET = 2;
constexpr int DR_SIZE_OFFSET = 10;
constexpr int DR_DATE_OFFSET = 18;
constexpr int DR_FLAGS_OFFSET = 25;
constexpr int DR_NAME_LENGTH_OFFSET = 32;
constexpr int DR_NAME_OFFSET = 33;
constexpr unsigned char DR_FLAG_DIRECTORY = 0x02;
// Set on every record of a file but its last extent's.
constexpr unsigned char DR_FLAG_MULTI_EXTENT = 0x80;

// Volume check and directory walk into the entry table.
void mount_volume(const char *cue_path);
// Releases the entry table and its pools.
void release_entries();
// The largest name component: an identifier's bytes.
constexpr std::size_t MAX_COMPONENT = 255;
// Builds an entry's name component from an on-disc identifier, for a parent
// whose full name has `parent_length` characters (0 in the root). Gives
// false, the component unspecified, when the full name would be longer than
// MAX_ENTRY_NAME.
bool build_name_component(std::size_t parent_length, const unsigned char *identifier, std::size_t identifier_length,
                          char (&component)[MAX_COMPONENT], std::size_t &length);
// The recording date of a directory record (7 bytes) as seconds since the
// epoch, its offset from GMT applied; false for a zero or invalid date.
bool recording_time(const unsigned char *date, int64_t &seconds);

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

// The extraction running now: the table index of the entry being extracted
// and its bytes written so far (cdimage_extract_progress).
extern CopyProgress g_extract_progress;

// Records which files the open image is read from: the cue sheet and every
// track file that is there.
void record_image_files(const char *cue_path);

#endif
