// Extraction of the volume's files below the output directory, and loading
// of one file into memory.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cdimage_internal.h"

namespace {

// File data passes through this run buffer on its way to the output file.
unsigned char g_run_buffer[SECTORS_PER_RUN * DATA_SECTOR_SIZE];

// Copies one extent's bytes to the stream's end; 0 when a sector cannot be
// read or a write falls short.
int copy_extent(const FsExtent &extent, std::FILE *out)
{
    // Bytes still buffered must reach the file before the kernel appends.
    if (std::fflush(out) != 0)
        return 0;
    int direct = copy_data_track_bytes(extent.sector, extent.size, fileno(out));
    if (direct >= 0)
        return direct;
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    uint64_t remaining = extent.size;
    while (uint32_t got = read_next_piece(span, SECTORS_PER_RUN, g_run_buffer)) {
        const uint64_t piece_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        const std::size_t bytes = static_cast<std::size_t>(remaining < piece_bytes ? remaining : piece_bytes);
        if (std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        remaining -= bytes;
        add_progress_bytes(&g_extract_progress, bytes);
    }
    return span.left == 0;
}

// Every extent of the entry in record order; 0 at the first that fails.
int copy_entry_data(const FsEntry &entry, std::FILE *out)
{
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!copy_extent(extents[i], out))
            return 0;
    return 1;
}

// A regular file of the entry's size is there already, and its modification
// time is the recorded one (or the record holds no valid date): a file of
// this volume extracted before, not one of another disc.
bool is_extracted_already(const FsEntry &entry, const char *path)
{
    struct stat existing;
    return stat(path, &existing) == 0 && S_ISREG(existing.st_mode) &&
           static_cast<uint64_t>(existing.st_size) == entry.size &&
           (!entry.has_time || static_cast<int64_t>(existing.st_mtime) == entry.mtime);
}

// Gives the open file the entry's recorded time: one call on the descriptor,
// once its last bytes are written. A file system that refuses it keeps the
// time of extraction, and the next run writes the file again.
void apply_recorded_time(const FsEntry &entry, std::FILE *out)
{
    if (!entry.has_time)
        return;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(entry.mtime), 0}};
    futimens(fileno(out), times);
}

int extract_file_entry(const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s", g_image.out_root, entry_name(entry));
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;
    if (is_extracted_already(entry, out_path))
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
    // A full disk may only show when the last buffered bytes are flushed.
    int copied = copy_entry_data(entry, out.get()) && std::fflush(out.get()) == 0;
    if (copied)
        apply_recorded_time(entry, out.get());
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
    int written = std::snprintf(out_path, out_size, "%s/%s/", g_image.out_root, entry_name(entry));
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;
    create_path_directories(out_path);
    out_path[written - 1] = '\0';
    return 1;
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

CopyProgress g_extract_progress;

void create_path_directories(const char *path)
{
    char copy[OUTPUT_PATH_SIZE];
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
        begin_progress_item(g_extract_progress, static_cast<int>(file - g_image.entries.data()));
        return extract_file_entry(*file, out_path, out_size);
    }
    if (const FsEntry *directory = find_entry(name, true)) {
        begin_progress_item(g_extract_progress, static_cast<int>(directory - g_image.entries.data()));
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
    char out_path[OUTPUT_PATH_SIZE];
    for (const FsEntry &entry : g_image.entries)
        if (!entry.is_dir && extract_entry(entry_name(entry), out_path, sizeof out_path))
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
