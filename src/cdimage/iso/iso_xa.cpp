// CD-ROM XA: the record that XA volumes keep in the system use area of each
// directory record, and the RIFF CDXA form in which files recorded in Mode 2
// Form 2 sectors (Video CD movies and stills, streamed video and audio) come
// out whole.
#include <cstring>

#include "image_state.h"
#include "iso9660.h"

namespace {

// XA record (CD-ROM XA, system use area of a directory record): owner
// group and user IDs, attributes, signature, file number, 5 reserved bytes.
// Its numbers are big-endian.
constexpr std::size_t XA_ATTRIBUTES_OFFSET = 4;
constexpr std::size_t XA_SIGNATURE_OFFSET = 6;

// RIFF CDXA header: the XA record, padded to 16 bytes, is the "fmt " chunk.
constexpr std::size_t CDXA_FMT_SIZE = 16;
constexpr uint64_t CDXA_HEADER_SIZE_AFTER_RIFF = CDXA_HEADER_SIZE - 8;
// The largest "data" size whose RIFF size (36 more) fits in 32 bits.
constexpr uint64_t CDXA_MAX_DATA_FIELD = 0xFFFFFFFFu - CDXA_HEADER_SIZE_AFTER_RIFF;

// The sync pattern that opens every raw data sector.
constexpr unsigned char SECTOR_SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int SECTORS_PER_SECOND = 75;
constexpr int SECONDS_PER_MINUTE = 60;
// Disc address 0 lies behind the two-second lead-in pregap.
constexpr int64_t LEAD_IN_SECTORS = 150;
constexpr unsigned char SECTOR_MODE_2 = 2;

unsigned char bcd(int64_t value)
{
    return static_cast<unsigned char>((value / 10 % 10) << 4 | value % 10);
}

}  // namespace

bool find_xa_record(const unsigned char *record, std::size_t record_length, unsigned char (&xa)[XA_RECORD_SIZE])
{
    constexpr std::size_t name_offset = DR_NAME_OFFSET;
    if (record_length <= name_offset)
        return false;
    // The identifier, then one padding byte when its length is even, then
    // the system use area.
    const std::size_t identifier_length = record[DR_NAME_LENGTH_OFFSET];
    const std::size_t start = name_offset + identifier_length + (identifier_length % 2 == 0 ? 1 : 0);
    // The system use area ends with the record: a record cut short has none.
    if (start + XA_RECORD_SIZE > record_length)
        return false;
    const unsigned char *found = record + start;
    if (found[XA_SIGNATURE_OFFSET] != 'X' || found[XA_SIGNATURE_OFFSET + 1] != 'A')
        return false;
    std::memcpy(xa, found, XA_RECORD_SIZE);
    return true;
}

uint16_t xa_attributes(const unsigned char (&xa)[XA_RECORD_SIZE])
{
    return static_cast<uint16_t>(xa[XA_ATTRIBUTES_OFFSET] << 8 | xa[XA_ATTRIBUTES_OFFSET + 1]);
}

bool is_cdxa_entry(const FsEntry &entry)
{
    return !entry.is_dir && entry.has_xa &&
           (xa_attributes(entry.xa_record) & (XA_ATTRIBUTE_FORM2 | XA_ATTRIBUTE_INTERLEAVED)) != 0;
}

uint64_t cdxa_data_bytes(ImageState &image, const FsEntry &entry)
{
    uint64_t sectors = 0;
    const FsExtent *extents = entry_extents(image, entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        sectors += sectors_holding(extents[i].size);
    return sectors * RAW_SECTOR_SIZE;
}

void write_cdxa_header(const unsigned char (&xa)[XA_RECORD_SIZE], uint64_t data_bytes,
                       unsigned char (&header)[CDXA_HEADER_SIZE])
{
    // Files past 4 GiB of raw sectors cannot state their size in RIFF: the
    // sizes then say as much as 32 bits hold.
    const uint64_t data = data_bytes < CDXA_MAX_DATA_FIELD ? data_bytes : CDXA_MAX_DATA_FIELD;
    std::memset(header, 0, sizeof header);
    std::memcpy(header, "RIFF", 4);
    put_le32(header + 4, static_cast<uint32_t>(CDXA_HEADER_SIZE_AFTER_RIFF + data));
    std::memcpy(header + 8, "CDXA", 4);
    std::memcpy(header + 12, "fmt ", 4);
    put_le32(header + 16, CDXA_FMT_SIZE);
    std::memcpy(header + 20, xa, XA_RECORD_SIZE);
    std::memcpy(header + 36, "data", 4);
    put_le32(header + 40, static_cast<uint32_t>(data));
}

void rebuild_sector_header(unsigned char *sector, int64_t disc_address)
{
    const int64_t frames = disc_address + LEAD_IN_SECTORS;
    std::memcpy(sector, SECTOR_SYNC, sizeof SECTOR_SYNC);
    sector[12] = bcd(frames / (SECTORS_PER_SECOND * SECONDS_PER_MINUTE));
    sector[13] = bcd(frames / SECTORS_PER_SECOND % SECONDS_PER_MINUTE);
    sector[14] = bcd(frames % SECTORS_PER_SECOND);
    sector[15] = SECTOR_MODE_2;
}
