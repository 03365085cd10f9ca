// Extraction of the volume's files below the output directory, and loading
// of one file into memory.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "cdimage_internal.h"

namespace {

// File data passes through this run buffer on its way to the output file.
unsigned char g_run_buffer[SECTORS_PER_RUN * DATA_SECTOR_SIZE];

// Names a file or directory that did not come out, once, and counts it.
void report_failure(const char *name, const std::string &reason)
{
    std::fprintf(stderr, "cdimage: %s: %s\n", name, reason.c_str());
    ++g_image.extraction_failures;
}

std::string describe_data_failure(const DataFailure &failure)
{
    if (failure.unread_sector >= 0) {
        char text[48];
        std::snprintf(text, sizeof text, "read failed at sector %lld", static_cast<long long>(failure.unread_sector));
        return text;
    }
    return std::strerror(failure.write_error);
}

// Writes every byte; false with errno set when a write fails.
bool write_all(int fd, const unsigned char *bytes, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies one extent's bytes to the output file's position; 0 with the
// failure when a sector cannot be read or a write fails.
int copy_extent(const FsExtent &extent, int out_fd, DataFailure &failure)
{
    int direct = copy_data_track_bytes(extent.sector, extent.size, out_fd, failure);
    if (direct >= 0)
        return direct;
    failure = DataFailure{};
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    uint64_t remaining = extent.size;
    while (uint32_t got = read_next_piece(span, SECTORS_PER_RUN, g_run_buffer)) {
        const uint64_t piece_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        const std::size_t bytes = static_cast<std::size_t>(remaining < piece_bytes ? remaining : piece_bytes);
        if (!write_all(out_fd, g_run_buffer, bytes)) {
            failure.write_error = errno;
            return 0;
        }
        remaining -= bytes;
    }
    if (span.left == 0)
        return 1;
    failure.unread_sector = span.next;
    return 0;
}

// Every extent of the entry in record order; 0 at the first that fails.
int copy_entry_data(const FsEntry &entry, int out_fd, DataFailure &failure)
{
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!copy_extent(extents[i], out_fd, failure))
            return 0;
    return 1;
}

// A regular file of the entry's size is there already, and its modification
// time is the recorded one (or the record holds no valid date): a file of
// this volume extracted before, not one of another disc.
bool is_extracted_already(const FsEntry &entry, const OutputSpot &spot)
{
    struct stat existing;
    return fstatat(spot.dir_fd, spot.leaf, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode) &&
           static_cast<uint64_t>(existing.st_size) == entry.size &&
           (!entry.has_time || static_cast<int64_t>(existing.st_mtime) == entry.mtime);
}

// Gives the written file the entry's recorded time: one call on the
// descriptor, once its last bytes are written. A file system that refuses
// it keeps the time of extraction, and the next run writes the file again.
void apply_recorded_time(const FsEntry &entry, int out_fd)
{
    if (!entry.has_time)
        return;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.mtime), 0}};
    futimens(out_fd, times);
}

int extract_file_entry(OutputTree &tree, const FsEntry &entry, char *out_path, std::size_t out_size)
{
    const char *name = entry_name(entry);
    int written = std::snprintf(out_path, out_size, "%s/%s", g_image.out_root, name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size) {
        report_failure(name, std::strerror(ENAMETOOLONG));
        return 0;
    }
    OutputSpot spot;
    OutputFailure refused;
    if (!find_output_spot(tree, name, spot, refused)) {
        report_failure(name, describe_output_failure(refused, name));
        return 0;
    }
    if (is_extracted_already(entry, spot))
        return 1;

    // Recorded before it exists: an interruption right after the creation
    // must find it.
    begin_partial_file(g_image.partial, spot);
    int out_fd = create_output_file(spot, name, refused);
    if (out_fd < 0) {
        end_partial_file(g_image.partial);
        report_failure(name, describe_output_failure(refused, name));
        return 0;
    }
    DataFailure failure;
    int copied = copy_entry_data(entry, out_fd, failure);
    if (copied)
        apply_recorded_time(entry, out_fd);
    // Some file systems report a failed write only at the close.
    if (close(out_fd) != 0 && copied) {
        copied = 0;
        failure.write_error = errno;
    }
    if (!copied)
        unlinkat(spot.dir_fd, spot.leaf, 0);
    end_partial_file(g_image.partial);
    if (!copied) {
        report_failure(name, describe_data_failure(failure));
        return 0;
    }
    return 1;
}

int extract_directory_entry(OutputTree &tree, const FsEntry &entry, char *out_path, std::size_t out_size)
{
    const char *name = entry_name(entry);
    int written = std::snprintf(out_path, out_size, "%s/%s/", g_image.out_root, name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;
    OutputFailure refused;
    if (open_output_directories(tree, name, std::strlen(name), refused) < 0) {
        report_failure(name, describe_output_failure(refused, name));
        return 0;
    }
    out_path[written - 1] = '\0';
    return 1;
}

// Opens the output directory, creating it when it is missing. A cut
// output directory names some other directory: nothing is written there.
bool open_extraction_root(OutputTree &tree)
{
    int error = g_image.out_root_is_cut ? ENAMETOOLONG : open_output_root(tree, g_image.out_root);
    if (error == 0)
        return true;
    std::fprintf(stderr, "cdimage: %s: %s\n", g_image.out_root, std::strerror(error));
    return false;
}

// Every extent of the entry lies inside the data track.
bool entry_lies_in_data_track(const FsEntry &entry)
{
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!run_lies_in_data_track(extents[i].sector, sectors_holding(extents[i].size)))
            return false;
    return true;
}

// Reads one extent's bytes into `into`: whole sectors straight there, a
// last partial sector through a sector buffer.
bool load_extent(const FsExtent &extent, unsigned char *into)
{
    const uint32_t whole = extent.size / DATA_SECTOR_SIZE;
    SectorSpan span = sector_span(extent.sector, whole);
    while (uint32_t got = read_next_piece(span, SECTORS_PER_RUN, into))
        into += static_cast<std::size_t>(got) * DATA_SECTOR_SIZE;
    if (span.left != 0)
        return false;
    if (uint32_t tail = extent.size % DATA_SECTOR_SIZE) {
        unsigned char sector[DATA_SECTOR_SIZE];
        if (!read_data_sector(extent.sector + whole, sector))
            return false;
        std::memcpy(into, sector, tail);
    }
    return true;
}

}  // namespace

int extract_entry(OutputTree &tree, const char *name, char *out_path, std::size_t out_size)
{
    if (const FsEntry *file = find_entry(name, false))
        return extract_file_entry(tree, *file, out_path, out_size);
    if (const FsEntry *directory = find_entry(name, true))
        return extract_directory_entry(tree, *directory, out_path, out_size);
    return 0;
}

extern "C" int cdimage_extract_file(const char *name, char *out_path, size_t out_size)
{
    if (!g_image.is_open || name == nullptr || out_path == nullptr)
        return 0;
    g_image.extraction_failures = 0;
    if (find_entry(name, false) == nullptr && find_entry(name, true) == nullptr)
        return 0;
    OutputTree tree;
    if (!open_extraction_root(tree)) {
        g_image.extraction_failures = 1;
        return 0;
    }
    return extract_entry(tree, name, out_path, out_size);
}

extern "C" int cdimage_extract_all(void)
{
    if (!g_image.is_open)
        return 0;
    g_image.extraction_failures = 0;
    int files = 0;
    for (const FsEntry &entry : g_image.entries)
        files += !entry.is_dir;
    // With no file to write, nothing is created.
    if (files == 0)
        return 0;
    OutputTree tree;
    if (!open_extraction_root(tree)) {
        g_image.extraction_failures = files;
        return 0;
    }
    int count = 0;
    char out_path[OUTPUT_PATH_SIZE];
    for (const FsEntry &entry : g_image.entries)
        if (!entry.is_dir && extract_entry(tree, entry_name(entry), out_path, sizeof out_path))
            ++count;
    return count;
}

extern "C" void *cdimage_load_file(const char *name, uint32_t *out_length)
{
    if (!g_image.is_open || name == nullptr)
        return nullptr;
    const FsEntry *entry = find_entry(name, false);
    // A file too large for out_length, or recorded past the track's end, gets
    // no buffer of the size it claims.
    if (entry == nullptr || entry->size > UINT32_MAX || !entry_lies_in_data_track(*entry))
        return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(entry->size != 0 ? entry->size : 1)));
    if (!buffer)
        return nullptr;
    std::size_t offset = 0;
    const FsExtent *extents = entry_extents(*entry);
    for (uint32_t i = 0; i < entry->extent_count; ++i) {
        if (!load_extent(extents[i], buffer.get() + offset))
            return nullptr;
        offset += extents[i].size;
    }
    if (out_length != nullptr)
        *out_length = static_cast<uint32_t>(entry->size);
    return buffer.release();
}
