// Where a volume's recorded extents count from. A volume mastered for a
// later session (the data of an Enhanced CD, behind its audio session) or
// addressed from the start of the disc records extents that count from
// there, not from the data track's INDEX 01; the root directory, which must
// open with a "." record naming its own extent, shows which reading holds.
#include <initializer_list>

#include "disc_time.h"
#include "image_state.h"
#include "iso9660.h"

namespace {

// Between the data of two sessions lie the first session's lead-out (90
// seconds), the second's lead-in (60) and its first track's pregap (2).
constexpr int64_t SESSION_GAP_SECTORS = (90 + 60 + 2) * SECTORS_PER_SECOND;

// The sectors searched for a directory when no known displacement fits:
// the root follows the volume descriptors and path tables closely.
constexpr uint32_t SEARCH_FIRST_SECTOR = 17;
constexpr uint32_t SEARCH_LAST_SECTOR = 200;
constexpr uint32_t SEARCH_RUN_SECTORS = 16;

// The sector opens with a directory's "." record (a one-byte identifier 0
// in a directory record long enough to hold it); gives the extent it names.
bool opens_with_self_record(const unsigned char *sector, uint32_t *extent)
{
    if (sector[DR_LENGTH_OFFSET] <= DR_NAME_OFFSET || sector[DR_NAME_LENGTH_OFFSET] != 1 ||
        sector[DR_NAME_OFFSET] != 0 || (sector[DR_FLAGS_OFFSET] & DR_FLAG_DIRECTORY) == 0)
        return false;
    *extent = little_endian_32(sector + DR_EXTENT_OFFSET);
    return true;
}

// The root directory lies in the data track at its recorded extent less the
// displacement, and its "." record names that recorded extent.
bool root_is_displaced_by(ImageState &image, uint32_t root_extent, int64_t displacement)
{
    const int64_t index = static_cast<int64_t>(root_extent) - displacement;
    if (index < 0 || index > static_cast<int64_t>(UINT32_MAX))
        return false;
    unsigned char sector[DATA_SECTOR_SIZE];
    uint32_t named = 0;
    return read_data_sector(image, static_cast<uint32_t>(index), sector) && opens_with_self_record(sector, &named) &&
           named == root_extent;
}

}  // namespace

int64_t find_volume_displacement(ImageState &image, uint32_t root_extent)
{
    if (root_is_displaced_by(image, root_extent, 0))
        return 0;
    const int64_t track_address = image.data_track->disc_address;
    for (int64_t displacement : {track_address, track_address + SESSION_GAP_SECTORS})
        if (displacement != 0 && root_is_displaced_by(image, root_extent, displacement))
            return displacement;

    // Any directory's "." record, found at a sector of the track, tells the
    // displacement; it stands when the root checks out with it.
    unsigned char run[SEARCH_RUN_SECTORS * DATA_SECTOR_SIZE];
    for (uint32_t first = SEARCH_FIRST_SECTOR; first <= SEARCH_LAST_SECTOR; first += SEARCH_RUN_SECTORS) {
        uint32_t wanted = SEARCH_LAST_SECTOR + 1 - first;
        if (wanted > SEARCH_RUN_SECTORS)
            wanted = SEARCH_RUN_SECTORS;
        const uint32_t got = read_data_sectors(image, first, wanted, run);
        for (uint32_t k = 0; k < got; ++k) {
            uint32_t named = 0;
            if (!opens_with_self_record(run + static_cast<std::size_t>(k) * DATA_SECTOR_SIZE, &named))
                continue;
            const int64_t displacement = static_cast<int64_t>(named) - (first + k);
            if (displacement != 0 && root_is_displaced_by(image, root_extent, displacement))
                return displacement;
        }
        if (got < wanted)
            break;
    }
    return 0;
}
