// Extraction of the volume's files below the output directory, and loading
// of one file into memory.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cdimage_internal.h"

namespace {

// File data passes through this run buffer on its way to the output file.
unsigned char g_run_buffer[SECTORS_PER_RUN * DATA_SECTOR_SIZE];

// Copies the entry's bytes into the open stream; 0 when a sector cannot be
// read or a write falls short.
int copy_entry_data(const FsEntry &entry, std::FILE *out)
{
    int direct = copy_data_track_bytes(entry.extent, entry.size, fileno(out));
    if (direct >= 0)
        return direct;
    const uint32_t sectors = sectors_holding(entry.size);
    uint64_t remaining = entry.size;
    for (uint32_t done = 0; done < sectors;) {
        uint32_t wanted = sectors - done < SECTORS_PER_RUN ? sectors - done : SECTORS_PER_RUN;
        uint32_t got = read_data_sectors(entry.extent + done, wanted, g_run_buffer);
        if (got < wanted)
            return 0;
        uint64_t run_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        std::size_t bytes = static_cast<std::size_t>(remaining < run_bytes ? remaining : run_bytes);
        if (std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        remaining -= bytes;
        add_progress_bytes(&g_extract_progress, bytes);
        done += got;
    }
    return 1;
}

int extract_file_entry(const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s", g_image.out_root, entry.name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;

    // A file of the entry's size (modulo 2^32) counts as extracted already.
    struct stat existing;
    if (stat(out_path, &existing) == 0 && static_cast<uint32_t>(existing.st_size) == entry.size)
        return 1;

    // Directories are made only when the file cannot be created without
    // them: for most files of a tree they exist already.
    FileHandle out(std::fopen(out_path, "wb"));
    if (!out && errno == ENOENT) {
        create_path_directories(out_path);
        out.reset(std::fopen(out_path, "wb"));
    }
    if (!out)
        return 0;
    int copied = copy_entry_data(entry, out.get());
    // A full disk may only show when the last buffered bytes are flushed.
    if (std::fclose(out.release()) != 0)
        copied = 0;
    if (!copied) {
        std::remove(out_path);
        return 0;
    }
    return 1;
}

int extract_directory_entry(const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s/", g_image.out_root, entry.name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;
    create_path_directories(out_path);
    out_path[written - 1] = '\0';
    return 1;
}

}  // namespace

CopyProgress g_extract_progress;

void create_path_directories(const char *path)
{
    char copy[PATH_TEXT_SIZE];
    std::snprintf(copy, sizeof copy, "%s", path);
    if (copy[0] == '\0')
        return;
    // A leading '/' is the root, never a directory to create.
    for (char *c = copy + 1; *c != '\0'; ++c) {
        if (*c != '/')
            continue;
        *c = '\0';
        mkdir(copy, 0755);
        *c = '/';
    }
}

int extract_entry(const char *name, char *out_path, std::size_t out_size)
{
    if (const FsEntry *file = find_entry(name, false)) {
        begin_progress_item(g_extract_progress, static_cast<int>(file - g_image.entries.get()));
        return extract_file_entry(*file, out_path, out_size);
    }
    if (const FsEntry *directory = find_entry(name, true)) {
        begin_progress_item(g_extract_progress, static_cast<int>(directory - g_image.entries.get()));
        return extract_directory_entry(*directory, out_path, out_size);
    }
    return 0;
}

extern "C" int cdimage_extract_file(const char *name, char *out_path, size_t out_size)
{
    // A cut output directory names some other directory: write nowhere.
    if (!g_image.is_open || g_image.out_root_is_cut || name == nullptr || out_path == nullptr)
        return 0;
    int extracted = extract_entry(name, out_path, out_size);
    begin_progress_item(g_extract_progress, -1);
    return extracted;
}

extern "C" int cdimage_extract_all(void)
{
    if (!g_image.is_open || g_image.out_root_is_cut)
        return 0;
    int count = 0;
    char out_path[PATH_TEXT_SIZE];
    for (int i = 0; i < g_image.entry_count; ++i)
        if (!g_image.entries[i].is_dir && extract_entry(g_image.entries[i].name, out_path, sizeof out_path))
            ++count;
    begin_progress_item(g_extract_progress, -1);
    return count;
}

extern "C" int cdimage_extract_progress(int *entry, uint64_t *bytes)
{
    return read_progress(g_extract_progress, entry, bytes);
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
