// The volume check at sector 16 and the walk of the ISO 9660 directory tree
// into the entry table.
#include <cstring>

#include "cdimage_internal.h"

namespace {

// Primary volume descriptor (ISO 9660 8.4). Numbers are read from the
// little-endian half of their both-byte-order fields.
constexpr uint32_t VOLUME_DESCRIPTOR_SECTOR = 16;
constexpr int PVD_TYPE_OFFSET = 0;
constexpr int PVD_STANDARD_ID_OFFSET = 1;
constexpr int PVD_ROOT_EXTENT_OFFSET = 158;
constexpr int PVD_ROOT_SIZE_OFFSET = 166;
constexpr unsigned char PRIMARY_DESCRIPTOR_TYPE = 1;

// Directory record (ISO 9660 9.1).
constexpr int DR_LENGTH_OFFSET = 0;
constexpr int DR_EXTENT_OFFSET = 2;
constexpr int DR_SIZE_OFFSET = 10;
constexpr int DR_FLAGS_OFFSET = 25;
constexpr int DR_NAME_LENGTH_OFFSET = 32;
constexpr int DR_NAME_OFFSET = 33;
constexpr unsigned char DR_FLAG_DIRECTORY = 2;

// Directory sectors read per call at each level of the walk.
constexpr uint32_t WALK_RUN_SECTORS = 16;
// Each level holds its own run, since a subdirectory is walked before the
// rest of its parent's records are read.
unsigned char g_walk_buffers[MAX_DIR_DEPTH][WALK_RUN_SECTORS * DATA_SECTOR_SIZE];

// Sector 16 holds a primary volume descriptor of an ISO 9660 volume.
bool is_primary_descriptor(const unsigned char *sector)
{
    return sector[PVD_TYPE_OFFSET] == PRIMARY_DESCRIPTOR_TYPE &&
           std::memcmp(sector + PVD_STANDARD_ID_OFFSET, "CD001", 5) == 0;
}

// The records of a directory itself (identifier 0x00) and of its parent
// (0x01) make no entry.
bool is_self_or_parent_record(const unsigned char *record)
{
    return record[DR_NAME_LENGTH_OFFSET] == 1 &&
           (record[DR_NAME_OFFSET] == 0 || record[DR_NAME_OFFSET] == 1);
}

// The rest of a directory is lost: its entries below the sector that could
// not be read are missing from the table.
void report_unread_directory(const char *name, uint32_t skipped)
{
    std::fprintf(stderr, "cdimage: %s: directory cannot be read, %u %s skipped\n", name[0] != '\0' ? name : "/",
                 skipped, skipped == 1 ? "sector" : "sectors");
    ++g_image.walk_failures;
}

bool table_is_full()
{
    return g_image.entry_count >= MAX_FS_ENTRIES;
}

void enter_record(const unsigned char *sector, std::size_t record_start, const char *parent, int depth)
{
    const unsigned char *record = sector + record_start;
    if (is_self_or_parent_record(record))
        return;

    // The identifier length is not bounded by the record's: an identifier
    // that would run past the sector is cut at the sector's end.
    std::size_t identifier_length = record[DR_NAME_LENGTH_OFFSET];
    std::size_t room = DATA_SECTOR_SIZE - (record_start + DR_NAME_OFFSET);
    if (identifier_length > room)
        identifier_length = room;

    FsEntry &entry = g_image.entries[g_image.entry_count++];
    build_entry_name(parent, record + DR_NAME_OFFSET, identifier_length, entry.name);
    entry.extent = little_endian_32(record + DR_EXTENT_OFFSET);
    entry.size = little_endian_32(record + DR_SIZE_OFFSET);
    entry.is_dir = (record[DR_FLAGS_OFFSET] & DR_FLAG_DIRECTORY) != 0;
    if (entry.is_dir)
        walk_directory(entry.extent, entry.size, entry.name, depth + 1);
}

// Takes the records of one directory sector apart. A zero byte, a full
// table, a length too short for a record or a record running past the
// sector ends the sector.
void walk_sector(const unsigned char *sector, const char *parent, int depth)
{
    std::size_t position = 0;
    while (position < DATA_SECTOR_SIZE) {
        std::size_t length = sector[position + DR_LENGTH_OFFSET];
        if (length == 0 || table_is_full() || length <= DR_NAME_OFFSET ||
            position + length > DATA_SECTOR_SIZE)
            return;
        std::size_t record_start = position;
        position += length;
        enter_record(sector, record_start, parent, depth);
    }
}

}  // namespace

void build_entry_name(const char *parent, const unsigned char *identifier, std::size_t identifier_length,
                      char (&name)[ENTRY_NAME_SIZE])
{
    constexpr std::size_t MAX_NAME = ENTRY_NAME_SIZE - 1;
    int prefix = std::snprintf(name, sizeof name, "%s%s", parent, parent[0] != '\0' ? "/" : "");
    std::size_t length = prefix < 0 ? 0 : static_cast<std::size_t>(prefix);
    if (length > MAX_NAME)
        length = MAX_NAME;
    const std::size_t component_start = length;

    if (length < MAX_NAME) {
        for (std::size_t i = 0; i < identifier_length && length < MAX_NAME; ++i) {
            unsigned char byte = identifier[i];
            if (byte == ';')
                break;
            if (byte >= 'a' && byte <= 'z')
                byte = static_cast<unsigned char>(byte - 'a' + 'A');
            // '/' or NUL inside an identifier would split or end the path.
            if (byte == '/' || byte == '\0')
                byte = '_';
            name[length++] = static_cast<char>(byte);
        }
    }
    if (length > 0 && name[length - 1] == '.')
        --length;
    name[length] = '\0';

    // A component of dots alone ("." or "..") would lead out of its directory.
    if (length > component_start &&
        std::strspn(name + component_start, ".") == length - component_start)
        std::memset(name + component_start, '_', length - component_start);
}

void walk_directory(uint32_t extent, uint32_t size, const char *parent, int depth)
{
    if (depth >= MAX_DIR_DEPTH || size == 0)
        return;
    unsigned char *run = g_walk_buffers[depth];
    const uint32_t sectors = sectors_holding(size);
    for (uint32_t done = 0; done < sectors;) {
        // A full table takes no more entries: reading on would change nothing.
        if (table_is_full())
            return;
        uint32_t wanted = sectors - done < WALK_RUN_SECTORS ? sectors - done : WALK_RUN_SECTORS;
        uint32_t got = read_data_sectors(extent + done, wanted, run);
        for (uint32_t k = 0; k < got; ++k)
            walk_sector(run + static_cast<std::size_t>(k) * DATA_SECTOR_SIZE, parent, depth);
        if (got < wanted) {
            report_unread_directory(parent, sectors - done - got);
            return;
        }
        done += got;
    }
}

void mount_volume(const char *cue_path)
{
    unsigned char sector[DATA_SECTOR_SIZE];
    if (!read_data_sector(VOLUME_DESCRIPTOR_SECTOR, sector) || !is_primary_descriptor(sector)) {
        std::fprintf(stderr, "cdimage: %s has no ISO 9660 data track\n", cue_path);
        return;
    }
    walk_directory(little_endian_32(sector + PVD_ROOT_EXTENT_OFFSET),
                   little_endian_32(sector + PVD_ROOT_SIZE_OFFSET), "", 0);
}
