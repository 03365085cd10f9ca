// The sector reader, "sectors in, bytes out": the user data or the whole
// raw sectors of any track of the table, in whatever framing its file stores
// them, volume sectors that lie in pregaps or later tracks included. Runs of
// consecutive sectors are read with one system call.
#include <cerrno>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "image_state.h"
#include "disc.h"

namespace {

constexpr int IOVECS_PER_CALL = 1024;

// A descriptor on the track's file: the cached handle on the data track's
// file, or the one handle kept for the file of the last other track read.
int track_file_descriptor(ImageState &image, const Track &track)
{
    const int file = track.source.file;
    const int data_index = image.data_track->source.file;
    FileHandle &handle = file == data_index ? image.data_file : image.other_file;
    if (file != data_index && handle && image.other_file_index != file)
        handle.reset();
    if (!handle) {
        handle.reset(std::fopen(image.files[file].path, "rb"));
        if (!handle)
            return -1;
        if (file != data_index)
            image.other_file_index = file;
    }
    return fileno(handle.get());
}

// How a run of stored sectors lands in the buffer: `piece` bytes of each,
// from `skip` bytes into the stored sector, go to `buffer_stride` apart.
struct RunShape {
    std::size_t stored;
    std::size_t skip;
    std::size_t piece;
    std::size_t buffer_stride;
};

// Reads `count` sectors from the one at `position` in one call where the
// pieces are contiguous in the file and in the buffer, else gathered with
// the bytes between them skipped, many sectors per call. Gives the sectors
// whose piece was read whole, stopping at the first that was not.
uint32_t read_run(ImageState &image, int fd, int64_t position, uint32_t count, const RunShape &shape, unsigned char *buffer)
{
    position += static_cast<int64_t>(shape.skip);
    const std::size_t gap = shape.stored - shape.piece;
    uint32_t done = 0;
    while (done < count) {
        iovec parts[IOVECS_PER_CALL];
        int used = 0;
        uint32_t sectors = 0;
        while (done + sectors < count && used + 2 <= IOVECS_PER_CALL) {
            unsigned char *target = buffer + static_cast<std::size_t>(done + sectors) * shape.buffer_stride;
            if (sectors > 0 && gap > 0)
                parts[used++] = iovec{image.skipped_bytes, gap};
            if (used > 0 && gap == 0 && static_cast<unsigned char *>(parts[used - 1].iov_base) +
                                                parts[used - 1].iov_len == target)
                parts[used - 1].iov_len += shape.piece;
            else
                parts[used++] = iovec{target, shape.piece};
            ++sectors;
        }
        int64_t start = position + static_cast<int64_t>(done) * static_cast<int64_t>(shape.stored);
        ssize_t n;
        do
            n = preadv(fd, parts, used, static_cast<off_t>(start));
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return done;
        // Sector k of this call is complete once its piece is all in; a call
        // that completes none has met the end of the file.
        std::size_t got = static_cast<std::size_t>(n);
        uint32_t complete =
            got >= shape.piece ? static_cast<uint32_t>((got - shape.piece) / shape.stored + 1) : 0;
        if (complete > sectors)
            complete = sectors;
        done += complete;
        if (complete == 0)
            return done;
    }
    return done;
}

// The 2048 user bytes of sectors of a track, from `first` on, within the
// track's length.
uint32_t read_user_sectors(ImageState &image, const Track &track, int64_t first, uint32_t count, unsigned char *buffer)
{
    if (count == 0 || first < 0 || first >= track.length)
        return 0;
    if (static_cast<int64_t>(count) > track.length - first)
        count = static_cast<uint32_t>(track.length - first);
    int fd = track_file_descriptor(image, track);
    if (fd < 0)
        return 0;
    const RunShape shape{static_cast<std::size_t>(track.source.sector_size), static_cast<std::size_t>(track.source.header_size),
                         DATA_SECTOR_SIZE, DATA_SECTOR_SIZE};
    return read_run(image, fd, stored_sector_position(track, first), count, shape, buffer);
}

// Whole 2352-byte sectors of a track that stores 2352 or 2336 bytes of
// each; the latter lack sync and header, which are rebuilt from the disc
// address.
uint32_t read_raw_sectors(ImageState &image, const Track &track, int64_t first, uint32_t count, unsigned char *buffer)
{
    if (count == 0 || first < 0 || first >= track.length || track.source.sector_size == DATA_SECTOR_SIZE)
        return 0;
    if (static_cast<int64_t>(count) > track.length - first)
        count = static_cast<uint32_t>(track.length - first);
    int fd = track_file_descriptor(image, track);
    if (fd < 0)
        return 0;
    const std::size_t missing = static_cast<std::size_t>(RAW_SECTOR_SIZE - track.source.sector_size);
    const RunShape shape{static_cast<std::size_t>(track.source.sector_size), 0,
                         static_cast<std::size_t>(track.source.sector_size), RAW_SECTOR_SIZE};
    uint32_t got = read_run(image, fd, stored_sector_position(track, first), count, shape, buffer + missing);
    if (missing > 0)
        for (uint32_t k = 0; k < got; ++k)
            rebuild_sector_header(buffer + static_cast<std::size_t>(k) * RAW_SECTOR_SIZE,
                                  track.disc_address + first + k);
    return got;
}

// Where a volume sector lies: the track and the sector's number in it, and
// how many sectors of the track follow from there.
struct SectorPlace {
    const Track *track;
    int64_t index;
    int64_t left;
};

// Volume sectors within the data track's bound are its own; any other is
// looked up by the disc position it names among the tracks that are not
// audio. Pregaps (before a track's INDEX 01) belong to no track.
bool locate_volume_sector(ImageState &image, int64_t volume_sector, SectorPlace &place)
{
    const Track &data = *image.data_track;
    const int64_t index = volume_sector - image.volume_displacement;
    if (index >= 0 && index < data.length) {
        place = {&data, index, data.length - index};
        return true;
    }
    int64_t position = data.disc_address + index;
    if (index < 0 && image.volume_displacement > data.disc_address) {
        // The sectors left out lie between the sessions: none is stored.
        if (volume_sector >= data.disc_address)
            return false;
        position = volume_sector;
    }
    for (int i = 0; i < image.track_count; ++i) {
        const Track &track = image.tracks[i];
        if (&track == &data || position < track.disc_address || position - track.disc_address >= track.length)
            continue;
        if (track.is_audio)
            return false;
        place = {&track, position - track.disc_address, track.length - (position - track.disc_address)};
        return true;
    }
    return false;
}

// What a read of volume sectors gives of each: its 2048 user bytes, or the
// whole 2352-byte sector.
enum class SectorForm { USER_DATA, RAW };

std::size_t sector_bytes(SectorForm form)
{
    switch (form) {
    case SectorForm::USER_DATA:
        return DATA_SECTOR_SIZE;
    case SectorForm::RAW:
        return RAW_SECTOR_SIZE;
    }
    return DATA_SECTOR_SIZE;
}

uint32_t read_track_sectors(ImageState &image, SectorForm form, const Track &track, int64_t first, uint32_t count,
                            unsigned char *buffer)
{
    switch (form) {
    case SectorForm::USER_DATA:
        return read_user_sectors(image, track, first, count, buffer);
    case SectorForm::RAW:
        return read_raw_sectors(image, track, first, count, buffer);
    }
    return 0;
}

// Reads a run of volume sectors track by track, stopping at the first
// sector that cannot be read.
uint32_t read_volume_run(ImageState &image, int64_t first, uint32_t count, unsigned char *buffer, SectorForm form)
{
    uint32_t done = 0;
    while (done < count) {
        SectorPlace place;
        if (!locate_volume_sector(image, first + done, place))
            return done;
        uint32_t wanted = count - done;
        if (static_cast<int64_t>(wanted) > place.left)
            wanted = static_cast<uint32_t>(place.left);
        uint32_t got = read_track_sectors(image, form, *place.track, place.index, wanted,
                                          buffer + done * sector_bytes(form));
        done += got;
        if (got < wanted)
            return done;
    }
    return done;
}

// The first track of the run, in disc order, that fails the test: one that
// cannot be read, or (for RAW) one that stores bare 2048-byte sectors.
// Gives whether every stretch of the run passes.
bool run_tracks_pass(ImageState &image, int64_t first, uint64_t count, SectorForm form)
{
    uint64_t done = 0;
    while (done < count) {
        SectorPlace place;
        // Sectors in no track fail when read: for RAW only a track of bare
        // 2048-byte sectors says that the raw sectors are not in the image.
        if (!locate_volume_sector(image, first + static_cast<int64_t>(done), place))
            return form == SectorForm::RAW;
        if (form == SectorForm::RAW && place.track->source.sector_size == DATA_SECTOR_SIZE)
            return false;
        done += static_cast<uint64_t>(place.left);
    }
    return true;
}

}  // namespace

bool run_lies_in_data_track(ImageState &image, uint32_t first, uint64_t count)
{
    return static_cast<int64_t>(first) + static_cast<int64_t>(count) <= image.data_track->length;
}

uint32_t read_data_sectors(ImageState &image, uint32_t first, uint32_t count, unsigned char *buffer)
{
    return read_user_sectors(image, *image.data_track, first, count, buffer);
}

bool read_data_sector(ImageState &image, uint32_t index, unsigned char *buffer)
{
    return read_data_sectors(image, index, 1, buffer) == 1;
}

bool read_track_sector(ImageState &image, const Track &track, uint32_t index, unsigned char *buffer)
{
    return read_user_sectors(image, track, index, 1, buffer) == 1;
}

uint32_t read_volume_sectors(ImageState &image, int64_t first, uint32_t count, unsigned char *buffer)
{
    return read_volume_run(image, first, count, buffer, SectorForm::USER_DATA);
}

uint32_t read_volume_raw_sectors(ImageState &image, int64_t first, uint32_t count, unsigned char *buffer)
{
    return read_volume_run(image, first, count, buffer, SectorForm::RAW);
}

bool volume_run_is_readable(ImageState &image, int64_t first, uint64_t count)
{
    return run_tracks_pass(image, first, count, SectorForm::USER_DATA);
}

bool volume_run_has_raw_sectors(ImageState &image, int64_t first, uint64_t count)
{
    return run_tracks_pass(image, first, count, SectorForm::RAW);
}

bool volume_run_in_data_track(ImageState &image, int64_t first, uint64_t count, uint32_t *track_sector)
{
    const int64_t index = first - image.volume_displacement;
    if (index < 0 || index + static_cast<int64_t>(count) > image.data_track->length)
        return false;
    *track_sector = static_cast<uint32_t>(index);
    return true;
}

uint32_t read_next_piece(ImageState &image, SectorSpan &span, uint32_t limit, unsigned char *buffer)
{
    if (span.failed || span.left == 0)
        return 0;
    const uint32_t wanted = span.left < limit ? span.left : limit;
    const uint32_t got = read_volume_sectors(image, span.next, wanted, buffer);
    span.next += got;
    span.left -= got;
    span.failed = got < wanted;
    return got;
}

int data_track_descriptor(ImageState &image)
{
    return track_file_descriptor(image, *image.data_track);
}
