// The framing ahead of a raw sector's subheader: the sync pattern and the
// header, rebuilt for tracks that store 2336-byte sectors without them.
#include <cstring>

#include "disc.h"
#include "disc_time.h"

namespace {

// The sync pattern that opens every raw data sector.
constexpr unsigned char SECTOR_SYNC[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// The header behind it: the sector's time (BCD minute, second, frame),
// then its mode.
constexpr std::size_t HEADER_TIME_OFFSET = sizeof SECTOR_SYNC;
constexpr std::size_t HEADER_MODE_OFFSET = HEADER_TIME_OFFSET + BCD_TIME_SIZE;
constexpr unsigned char SECTOR_MODE_2 = 2;

}  // namespace

void rebuild_sector_header(unsigned char *sector, int64_t disc_address)
{
    std::memcpy(sector, SECTOR_SYNC, sizeof SECTOR_SYNC);
    put_bcd_time(sector + HEADER_TIME_OFFSET, disc_address + LEAD_IN_SECTORS);
    sector[HEADER_MODE_OFFSET] = SECTOR_MODE_2;
}
