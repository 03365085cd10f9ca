// The data-track sector reader: the only road to the sectors of the data
// track. Runs of consecutive sectors are read with one system call.
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cdimage_internal.h"

namespace {

// Bytes of a stored sector that are not user data (sync, header, subheader,
// error correction) land here and are never looked at.
unsigned char g_skipped_bytes[RAW_SECTOR_SIZE];

constexpr int IOVECS_PER_CALL = 1024;

// Byte position in the track file of the user bytes of sector `index`.
int64_t user_bytes_position(const Track &track, uint32_t index)
{
    return (static_cast<int64_t>(index) + track.index1) * track.sector_size +
           g_image.files[track.file_index].data_offset + track.header_size;
}

// The cached handle on the data track's file, opened by the first read that
// needs it and held until the image is closed or opened again.
int data_file_descriptor()
{
    if (!g_image.data_file) {
        const Track &track = *g_image.data_track;
        g_image.data_file.reset(std::fopen(g_image.files[track.file_index].path, "rb"));
        if (!g_image.data_file)
            return -1;
    }
    return fileno(g_image.data_file.get());
}

// Sectors stored as bare 2048-byte blocks: the run is contiguous in the file.
uint32_t read_contiguous_run(int fd, int64_t position, uint32_t count, unsigned char *buffer)
{
    std::size_t wanted = static_cast<std::size_t>(count) * DATA_SECTOR_SIZE;
    std::size_t got = 0;
    while (got < wanted) {
        ssize_t n = pread(fd, buffer + got, wanted - got, static_cast<off_t>(position + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<uint32_t>(got / DATA_SECTOR_SIZE);
}

// Raw sectors: the user bytes of each sector are gathered into the buffer
// and the bytes between them skipped, many sectors per call.
uint32_t read_raw_run(int fd, const Track &track, int64_t position, uint32_t count, unsigned char *buffer)
{
    const std::size_t gap = static_cast<std::size_t>(track.sector_size - DATA_SECTOR_SIZE);
    uint32_t done = 0;
    while (done < count) {
        iovec parts[IOVECS_PER_CALL];
        int used = 0;
        uint32_t sectors = 0;
        while (done + sectors < count && used + 2 <= IOVECS_PER_CALL) {
            if (sectors > 0)
                parts[used++] = iovec{g_skipped_bytes, gap};
            parts[used++] = iovec{buffer + static_cast<std::size_t>(done + sectors) * DATA_SECTOR_SIZE,
                                  DATA_SECTOR_SIZE};
            ++sectors;
        }
        int64_t start = position + static_cast<int64_t>(done) * track.sector_size;
        ssize_t n;
        do
            n = preadv(fd, parts, used, static_cast<off_t>(start));
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return done;
        // Sector k of this call is complete once its user bytes are all in;
        // a call that completes none has met the end of the file.
        std::size_t got = static_cast<std::size_t>(n);
        uint32_t complete = got >= DATA_SECTOR_SIZE
                                ? static_cast<uint32_t>((got - DATA_SECTOR_SIZE) / track.sector_size + 1)
                                : 0;
        if (complete > sectors)
            complete = sectors;
        done += complete;
        if (complete == 0)
            return done;
    }
    return done;
}

}  // namespace

bool run_lies_in_data_track(uint32_t first, uint64_t count)
{
    return static_cast<int64_t>(first) + static_cast<int64_t>(count) <= g_image.data_track->length;
}

uint32_t read_data_sectors(uint32_t first, uint32_t count, unsigned char *buffer)
{
    const Track &track = *g_image.data_track;
    if (count == 0 || static_cast<int64_t>(first) >= track.length)
        return 0;
    if (static_cast<int64_t>(count) > track.length - first)
        count = static_cast<uint32_t>(track.length - first);
    int fd = data_file_descriptor();
    if (fd < 0)
        return 0;
    int64_t position = user_bytes_position(track, first);
    if (track.sector_size == DATA_SECTOR_SIZE)
        return read_contiguous_run(fd, position, count, buffer);
    return read_raw_run(fd, track, position, count, buffer);
}

int read_data_sector(uint32_t index, unsigned char *buffer)
{
    return read_data_sectors(index, 1, buffer) == 1;
}

uint32_t read_next_piece(SectorSpan &span, uint32_t limit, unsigned char *buffer)
{
    if (span.failed || span.left == 0)
        return 0;
    const uint32_t wanted = span.left < limit ? span.left : limit;
    const uint32_t got = read_data_sectors(span.next, wanted, buffer);
    span.next += got;
    span.left -= got;
    span.failed = got < wanted;
    return got;
}

int copy_data_track_bytes(uint32_t first, uint32_t size, int out_fd, DataFailure &failure)
{
    const Track &track = *g_image.data_track;
    if (track.sector_size != DATA_SECTOR_SIZE || size == 0)
        return -1;
    const uint32_t sectors = sectors_holding(size);
    if (!run_lies_in_data_track(first, sectors)) {
        // The first sector past the track's end, or `first` itself.
        failure.unread_sector = std::max<int64_t>(first, track.length);
        return 0;
    }
    failure.unread_sector = first;
    int fd = data_file_descriptor();
    if (fd < 0)
        return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    // A sector is readable only when all 2048 of its bytes are in the file,
    // the last sector's included, however few of them the file uses.
    int64_t position = user_bytes_position(track, first);
    if (info.st_size < position + static_cast<int64_t>(sectors) * DATA_SECTOR_SIZE) {
        if (info.st_size > position)
            failure.unread_sector += (info.st_size - position) / DATA_SECTOR_SIZE;
        return 0;
    }

    KernelCopyResult result = copy_in_kernel(fd, static_cast<off_t>(position), out_fd, size);
    if (result.outcome == KernelCopy::UNSUPPORTED)
        return -1;
    if (result.outcome == KernelCopy::DONE)
        return 1;
    if (result.outcome == KernelCopy::SHORT) {
        // The track file was cut while it was copied.
        failure.unread_sector += static_cast<int64_t>(result.copied / DATA_SECTOR_SIZE);
    } else {
        failure.unread_sector = -1;
        failure.write_error = result.error;
    }
    return 0;
}
