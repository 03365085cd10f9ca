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

// Copies the entry's bytes to the output file; 0 with the failure when a
// sector cannot be read or a write fails.
int copy_entry_data(const FsEntry &entry, int out_fd, DataFailure &failure)
{
    int direct = copy_data_track_bytes(entry.extent, entry.size, out_fd, failure);
    if (direct >= 0)
        return direct;
    failure = DataFailure{};
    const uint32_t sectors = sectors_holding(entry.size);
    uint64_t remaining = entry.size;
    for (uint32_t done = 0; done < sectors;) {
        uint32_t wanted = sectors - done < SECTORS_PER_RUN ? sectors - done : SECTORS_PER_RUN;
        uint32_t got = read_data_sectors(entry.extent + done, wanted, g_run_buffer);
        if (got < wanted) {
            failure.unread_sector = static_cast<int64_t>(entry.extent) + done + got;
            return 0;
        }
        uint64_t run_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        std::size_t bytes = static_cast<std::size_t>(remaining < run_bytes ? remaining : run_bytes);
        if (!write_all(out_fd, g_run_buffer, bytes)) {
            failure.write_error = errno;
            return 0;
        }
        remaining -= bytes;
        done += got;
    }
    return 1;
}

int extract_file_entry(OutputTree &tree, const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s", g_image.out_root, entry.name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size) {
        report_failure(entry.name, std::strerror(ENAMETOOLONG));
        return 0;
    }
    OutputSpot spot;
    OutputFailure refused;
    if (!find_output_spot(tree, entry.name, spot, refused)) {
        report_failure(entry.name, describe_output_failure(refused, entry.name));
        return 0;
    }

    // A file of the entry's size (modulo 2^32) counts as extracted already.
    struct stat existing;
    if (fstatat(spot.dir_fd, spot.leaf, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode) &&
        static_cast<uint32_t>(existing.st_size) == entry.size)
        return 1;

    // Recorded before it exists: an interruption right after the creation
    // must find it.
    begin_partial_file(g_image.partial, spot);
    int out_fd = create_output_file(spot, entry.name, refused);
    if (out_fd < 0) {
        end_partial_file(g_image.partial);
        report_failure(entry.name, describe_output_failure(refused, entry.name));
        return 0;
    }
    DataFailure failure;
    int copied = copy_entry_data(entry, out_fd, failure);
    // Some file systems report a failed write only at the close.
    if (close(out_fd) != 0 && copied) {
        copied = 0;
        failure.write_error = errno;
    }
    if (!copied)
        unlinkat(spot.dir_fd, spot.leaf, 0);
    end_partial_file(g_image.partial);
    if (!copied) {
        report_failure(entry.name, describe_data_failure(failure));
        return 0;
    }
    return 1;
}

int extract_directory_entry(OutputTree &tree, const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s/", g_image.out_root, entry.name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;
    OutputFailure refused;
    if (open_output_directories(tree, entry.name, std::strlen(entry.name), refused) < 0) {
        report_failure(entry.name, describe_output_failure(refused, entry.name));
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
    for (int i = 0; i < g_image.entry_count; ++i)
        files += !g_image.entries[i].is_dir;
    // With no file to write, nothing is created.
    if (files == 0)
        return 0;
    OutputTree tree;
    if (!open_extraction_root(tree)) {
        g_image.extraction_failures = files;
        return 0;
    }
    int count = 0;
    char out_path[PATH_TEXT_SIZE];
    for (int i = 0; i < g_image.entry_count; ++i)
        if (!g_image.entries[i].is_dir && extract_entry(tree, g_image.entries[i].name, out_path, sizeof out_path))
            ++count;
    return count;
}

extern "C" void *cdimage_load_file(const char *name, uint32_t *out_length)
{
    if (!g_image.is_open || name == nullptr)
        return nullptr;
    const FsEntry *entry = find_entry(name, false);
    // A file recorded past the track's end cannot be read: it gets no buffer
    // of the size it claims.
    if (entry == nullptr || !run_lies_in_data_track(entry->extent, sectors_holding(entry->size)))
        return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(entry->size != 0 ? entry->size : 1)));
    if (!buffer)
        return nullptr;

    // Whole sectors go straight into the buffer; a last partial sector
    // passes through a sector buffer.
    const uint32_t whole = entry->size / DATA_SECTOR_SIZE;
    for (uint32_t done = 0; done < whole;) {
        uint32_t wanted = whole - done < SECTORS_PER_RUN ? whole - done : SECTORS_PER_RUN;
        uint32_t got = read_data_sectors(entry->extent + done, wanted,
                                         buffer.get() + static_cast<std::size_t>(done) * DATA_SECTOR_SIZE);
        if (got < wanted)
            return nullptr;
        done += got;
    }
    if (uint32_t tail = entry->size % DATA_SECTOR_SIZE) {
        unsigned char sector[DATA_SECTOR_SIZE];
        if (!read_data_sector(entry->extent + whole, sector))
            return nullptr;
        std::memcpy(buffer.get() + static_cast<std::size_t>(whole) * DATA_SECTOR_SIZE, sector, tail);
    }
    if (out_length != nullptr)
        *out_length = entry->size;
    return buffer.release();
}
