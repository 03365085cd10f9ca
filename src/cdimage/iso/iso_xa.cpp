// CD-ROM XA: the record that XA volumes keep in the system use area of each
// directory record, and the RIFF CDXA form in which files recorded in Mode 2
// Form 2 sectors (Video CD movies and stills, streamed video and audio) come
// out whole.
#include <cstring>

#include "image_state.h"
#include "iso9660.h"

namespace {

// XA record (CD-ROM XA, system use area of a directory record): owner
// group and user IDs (2 bytes each), attributes (2), signature "XA" (2),
// file number (1), 5 reserved bytes. Its numbers are big-endian.
constexpr std::size_t XA_ATTRIBUTES_OFFSET = 4;
constexpr std::size_t XA_SIGNATURE_OFFSET = 6;
constexpr unsigned char XA_SIGNATURE[2] = {'X', 'A'};
// Attribute bits of a file whose sectors are Form 2, or interleaved.
constexpr uint16_t XA_ATTRIBUTE_FORM2 = 0x1000;
constexpr uint16_t XA_ATTRIBUTE_INTERLEAVED = 0x2000;

// RIFF CDXA header: the RIFF form "CDXA", whose "fmt " chunk is the XA
// record padded to 16 bytes, then the "data" chunk's header. Chunk
// identifiers are 4 bytes, chunk sizes 32-bit little-endian numbers.
constexpr std::size_t CHUNK_ID_SIZE = 4;
constexpr std::size_t RIFF_SIZE_OFFSET = 4;
constexpr std::size_t FORM_TYPE_OFFSET = 8;
constexpr std::size_t FMT_ID_OFFSET = 12;
constexpr std::size_t FMT_SIZE_OFFSET = 16;
constexpr std::size_t FMT_BODY_OFFSET = 20;
constexpr std::size_t DATA_ID_OFFSET = 36;
constexpr std::size_t DATA_SIZE_OFFSET = 40;
constexpr std::size_t CDXA_FMT_SIZE = DATA_ID_OFFSET - FMT_BODY_OFFSET;
static_assert(CDXA_FMT_SIZE >= XA_RECORD_SIZE, "the XA record fits the fmt chunk");
static_assert(DATA_SIZE_OFFSET + sizeof(uint32_t) == CDXA_HEADER_SIZE, "the header ends with the data size");
// What the RIFF size counts beyond the data: the header less the RIFF
// chunk's own identifier and size.
constexpr uint64_t CDXA_HEADER_SIZE_AFTER_RIFF = CDXA_HEADER_SIZE - FORM_TYPE_OFFSET;
// The largest "data" size whose RIFF size (36 more) fits in 32 bits.
constexpr uint64_t CDXA_MAX_DATA_FIELD = 0xFFFFFFFFu - CDXA_HEADER_SIZE_AFTER_RIFF;

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
    if (std::memcmp(found + XA_SIGNATURE_OFFSET, XA_SIGNATURE, sizeof XA_SIGNATURE) != 0)
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
    std::memcpy(header, "RIFF", CHUNK_ID_SIZE);
    put_le32(header + RIFF_SIZE_OFFSET, static_cast<uint32_t>(CDXA_HEADER_SIZE_AFTER_RIFF + data));
    std::memcpy(header + FORM_TYPE_OFFSET, "CDXA", CHUNK_ID_SIZE);
    std::memcpy(header + FMT_ID_OFFSET, "fmt ", CHUNK_ID_SIZE);
    put_le32(header + FMT_SIZE_OFFSET, CDXA_FMT_SIZE);
    std::memcpy(header + FMT_BODY_OFFSET, xa, XA_RECORD_SIZE);
    std::memcpy(header + DATA_ID_OFFSET, "data", CHUNK_ID_SIZE);
    put_le32(header + DATA_SIZE_OFFSET, static_cast<uint32_t>(data));
}
