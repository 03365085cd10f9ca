// The ISO 9660 side of the cdimage module: the volume on the data track,
// the walk of its directories into the entry table, the names, the CD-ROM XA
// records and the extraction and loading of files. Nothing here is part of
// the public interface.
#ifndef CDIMAGE_ISO9660_H
#define CDIMAGE_ISO9660_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image_limits.h"

struct ImageState;

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
    uint16_t component_length; // at most MAX_COMPONENT
    // The identifier as recorded (its version and one trailing '.' dropped,
    // case kept; a Joliet identifier as UTF-8), for messages and to tell versions of one identifier from
    // names that only meet in their output form: kept in the pool right
    // behind the component when it differs from it, else 0.
    uint16_t recorded_length;
    bool is_dir;
    bool has_time;             // the record holds a valid recording date
    bool has_xa;               // xa_record holds the first record's 14 bytes
    unsigned char xa_record[XA_RECORD_SIZE];
};

// The entry's full name, built into a buffer of the image: valid until the
// next call of entry_name, so a caller that needs two names at once, or a
// name across a call that may build another, copies it first.
const char *entry_name(ImageState &image, const FsEntry &entry);
// The entry's identifier as recorded (see FsEntry::recorded_length).
std::string_view recorded_identifier(ImageState &image, const FsEntry &entry);
// Builds the full name into `text`; gives its length.
std::size_t write_entry_name(ImageState &image, const FsEntry &entry, char (&text)[PATH_TEXT_SIZE]);


// The displacement of a volume whose root directory record names
// `root_extent`: 0 when the root lies there in the data track, else the
// first of the data track's disc address, that plus the gap between two
// sessions, or what a search of sectors 17 to 200 for a directory's "."
// record finds, for which the root checks out. 0 when none does.
int64_t find_volume_displacement(ImageState &image, uint32_t root_extent);

// CD-ROM XA. Copies the XA record of a directory record of `record_length` bytes into
// `xa` when its system use area holds one; gives whether it did.
bool find_xa_record(const unsigned char *record, std::size_t record_length, unsigned char (&xa)[XA_RECORD_SIZE]);
// The record's attribute bits.
uint16_t xa_attributes(const unsigned char (&xa)[XA_RECORD_SIZE]);
// Files whose sectors are Form 2, or mixed (interleaved), come out as RIFF
// CDXA: whole raw sectors behind a 44-byte header.
bool is_cdxa_entry(const FsEntry &entry);
constexpr std::size_t CDXA_HEADER_SIZE = 44;
// Raw bytes of a CDXA file: the recorded size of each extent counts 2048
// bytes for each of its sectors.
uint64_t cdxa_data_bytes(ImageState &image, const FsEntry &entry);
// The header of a RIFF CDXA file of `data_bytes` bytes of raw sectors.
void write_cdxa_header(const unsigned char (&xa)[XA_RECORD_SIZE], uint64_t data_bytes,
                       unsigned char (&header)[CDXA_HEADER_SIZE]);

// Volume descriptors (ISO 9660 8), from sector 16 of the data track on: a
// type byte and "CD001"; primary and supplementary ones hold the root's
// directory record, whose extent and size are read from the little-endian
// half of their both-byte-order fields.
constexpr uint32_t VOLUME_DESCRIPTOR_SECTOR = 16;
constexpr int VD_TYPE_OFFSET = 0;
constexpr int VD_STANDARD_ID_OFFSET = 1;
constexpr std::string_view VD_STANDARD_ID = "CD001";
constexpr int VD_ROOT_EXTENT_OFFSET = 158;
constexpr int VD_ROOT_SIZE_OFFSET = 166;
constexpr unsigned char PRIMARY_DESCRIPTOR_TYPE = 1;
constexpr unsigned char SUPPLEMENTARY_DESCRIPTOR_TYPE = 2;
constexpr unsigned char TERMINATOR_TYPE = 255;

// Whether the sector is a volume descriptor at all ("CD001"), and one of
// the given type.
inline bool holds_standard_id(const unsigned char *sector)
{
    return std::string_view(reinterpret_cast<const char *>(sector + VD_STANDARD_ID_OFFSET), VD_STANDARD_ID.size()) ==
           VD_STANDARD_ID;
}

inline bool is_volume_descriptor(const unsigned char *sector, unsigned char type)
{
    return sector[VD_TYPE_OFFSET] == type && holds_standard_id(sector);
}

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

// Volume check and directory walk into the entry table. The volume is the
// last data track's that holds one (a disc written in sessions shows its
// last), else the first data track's; data_track becomes its track.
void mount_volume(ImageState &image, const char *cue_path);
// Releases the entry table and its pools.
void release_entries(ImageState &image);
// The longest identifier a directory record holds.
constexpr std::size_t MAX_IDENTIFIER = 255;
// The largest name component: an identifier's bytes, or the UTF-8 of a
// Joliet identifier, at most 3 bytes for each of its 2-byte code units (a
// lone last byte counting as one).
constexpr std::size_t MAX_COMPONENT = 3 * ((MAX_IDENTIFIER + 1) / 2);
// Builds an entry's name component from an on-disc identifier, for a parent
// whose full name has `parent_length` characters (0 in the root). Gives
// false, the component unspecified, when the full name would be longer than
// MAX_ENTRY_NAME.
bool build_name_component(std::size_t parent_length, const unsigned char *identifier, std::size_t identifier_length,
                          char (&component)[MAX_COMPONENT], std::size_t &length);
// Joliet: the identifier's UCS-2 (big-endian) as UTF-8, up to a ';' and
// without one trailing '.'; surrogate pairs joined, an unpaired surrogate or
// a lone last byte as U+FFFD. At most MAX_COMPONENT bytes.
std::string joliet_recorded_form(const unsigned char *identifier, std::size_t identifier_length);
// Builds an entry's name component from a Joliet identifier's recorded
// form, as build_name_component does but keeping the case.
bool build_joliet_component(std::size_t parent_length, std::string_view recorded, char (&component)[MAX_COMPONENT],
                            std::size_t &length);
// Reads the volume descriptor set from sector 16 to its terminator. With
// Joliet names asked for, sets `root` to the root directory of the
// supplementary descriptor that holds them; when there is none, records the
// reason as the open's and gives false.
bool choose_named_root(ImageState &image, FsExtent &root);

// The recording date of a directory record (7 bytes) as seconds since the
// epoch, its offset from GMT applied; false for a zero or invalid date.
bool recording_time(const unsigned char *date, int64_t &seconds);

// Builds the name index over the entry table; without it (no memory)
// lookups scan the table.
void build_name_index(ImageState &image);
// The first entry in table order of the given kind whose name equals
// `name`, ignoring the case of ASCII letters.
const FsEntry *find_entry(ImageState &image, const char *name, bool directory);

// Why a file's data did not come out whole: the first sector that could
// not be read, or else the errno of the write that failed.
struct DataFailure {
    int64_t unread_sector = -1;
    int write_error = 0;
};



// Records which files the open image is read from: the cue sheet and every
// track file that is there.
void record_image_files(ImageState &image, const char *cue_path);

#endif
