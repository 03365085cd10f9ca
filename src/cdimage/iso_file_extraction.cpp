// Extraction of the volume's files below the output directory, and loading
// of one file into memory.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cdimage_internal.h"

namespace {

// File data passes through this run buffer on its way to the output file.
unsigned char g_run_buffer[SECTORS_PER_RUN * DATA_SECTOR_SIZE];

// How an entry's bytes come out: its recorded bytes, or RIFF CDXA for files
// of Form 2 sectors, which also come out as recorded bytes where the image
// keeps only 2048 bytes of each sector.
enum class OutputForm { RECORDED, CDXA, FORM2_NOT_IN_IMAGE };

OutputForm output_form(const FsEntry &entry)
{
    if (!is_cdxa_entry(entry))
        return OutputForm::RECORDED;
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!volume_run_has_raw_sectors(extents[i].sector, sectors_holding(extents[i].size)))
            return OutputForm::FORM2_NOT_IN_IMAGE;
    return OutputForm::CDXA;
}

uint64_t output_size(const FsEntry &entry, OutputForm form)
{
    return form == OutputForm::CDXA ? CDXA_HEADER_SIZE + cdxa_data_bytes(entry) : entry.size;
}

// Copies one extent's recorded bytes to the stream's end; 0 when a sector
// cannot be read or a write falls short.
int copy_extent(const FsExtent &extent, std::FILE *out)
{
    // Bytes still buffered must reach the file before the kernel appends.
    if (std::fflush(out) != 0)
        return 0;
    uint32_t track_sector = 0;
    if (volume_run_in_data_track(extent.sector, sectors_holding(extent.size), &track_sector)) {
        int direct = copy_data_track_bytes(track_sector, extent.size, fileno(out));
        if (direct >= 0)
            return direct;
    }
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    uint64_t remaining = extent.size;
    while (uint32_t got = read_next_piece(span, SECTORS_PER_RUN, g_run_buffer)) {
        const uint64_t piece_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        const std::size_t bytes = static_cast<std::size_t>(remaining < piece_bytes ? remaining : piece_bytes);
        if (std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        remaining -= bytes;
    }
    return span.left == 0;
}

// Copies one extent's whole raw sectors to the stream.
int copy_raw_extent(const FsExtent &extent, std::FILE *out)
{
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    while (span.left != 0) {
        const uint32_t wanted = span.left < RAW_SECTORS_PER_RUN ? span.left : RAW_SECTORS_PER_RUN;
        const uint32_t got = read_volume_raw_sectors(span.next, wanted, g_run_buffer);
        const std::size_t bytes = static_cast<std::size_t>(got) * RAW_SECTOR_SIZE;
        if (got < wanted || std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        span.next += got;
        span.left -= got;
    }
    return 1;
}

// Every extent of the entry in record order, behind the CDXA header when
// the entry comes out as CDXA; 0 at the first that fails.
int copy_entry_data(const FsEntry &entry, OutputForm form, std::FILE *out)
{
    if (form == OutputForm::CDXA) {
        unsigned char header[CDXA_HEADER_SIZE];
        write_cdxa_header(entry.xa_record, cdxa_data_bytes(entry), header);
        if (std::fwrite(header, 1, sizeof header, out) != sizeof header)
            return 0;
    }
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!(form == OutputForm::CDXA ? copy_raw_extent(extents[i], out) : copy_extent(extents[i], out)))
            return 0;
    return 1;
}

// A regular file of the size the extraction writes is there already, and
// its modification time is the recorded one (or the record holds no valid
// date): a file of this volume extracted before, not one of another disc.
bool is_extracted_already(const FsEntry &entry, uint64_t size, const char *path)
{
    struct stat existing;
    return stat(path, &existing) == 0 && S_ISREG(existing.st_mode) && static_cast<uint64_t>(existing.st_size) == size &&
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
    const OutputForm form = output_form(entry);
    if (form == OutputForm::FORM2_NOT_IN_IMAGE)
        std::fprintf(stderr, "cdimage: %s: Form 2 data not in the image\n", entry_name(entry));
    if (is_extracted_already(entry, output_size(entry, form), out_path))
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
    int copied = copy_entry_data(entry, form, out.get()) && std::fflush(out.get()) == 0;
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

// Every extent of the entry lies in tracks that can be read.
bool entry_is_readable(const FsEntry &entry)
{
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!volume_run_is_readable(extents[i].sector, sectors_holding(extents[i].size)))
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
        if (read_volume_sectors(static_cast<int64_t>(extent.sector) + whole, 1, sector) != 1)
            return false;
        std::memcpy(into, sector, tail);
    }
    return true;
}

// Reads the entry as it comes out into `into`, which holds its output size.
bool load_entry(const FsEntry &entry, OutputForm form, unsigned char *into)
{
    if (form == OutputForm::CDXA) {
        unsigned char header[CDXA_HEADER_SIZE];
        write_cdxa_header(entry.xa_record, cdxa_data_bytes(entry), header);
        std::memcpy(into, header, sizeof header);
        into += sizeof header;
    }
    const FsExtent *extents = entry_extents(entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i) {
        if (form == OutputForm::CDXA) {
            const uint32_t sectors = sectors_holding(extents[i].size);
            if (read_volume_raw_sectors(extents[i].sector, sectors, into) != sectors)
                return false;
            into += static_cast<std::size_t>(sectors) * RAW_SECTOR_SIZE;
        } else {
            if (!load_extent(extents[i], into))
                return false;
            into += extents[i].size;
        }
    }
    return true;
}

}  // namespace

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
    if (const FsEntry *file = find_entry(name, false))
        return extract_file_entry(*file, out_path, out_size);
    if (const FsEntry *directory = find_entry(name, true))
        return extract_directory_entry(*directory, out_path, out_size);
    return 0;
}

extern "C" int cdimage_extract_file(const char *name, char *out_path, size_t out_size)
{
    // A cut output directory names some other directory: write nowhere.
    if (!g_image.is_open || g_image.out_root_is_cut || name == nullptr || out_path == nullptr)
        return 0;
    return extract_entry(name, out_path, out_size);
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
    return count;
}

extern "C" void *cdimage_load_file(const char *name, uint32_t *out_length)
{
    if (!g_image.is_open || name == nullptr)
        return nullptr;
    const FsEntry *entry = find_entry(name, false);
    // A file too large for out_length, or recorded where no track can be
    // read, gets no buffer of the size it claims.
    if (entry == nullptr || !entry_is_readable(*entry))
        return nullptr;
    const OutputForm form = output_form(*entry);
    const uint64_t size = output_size(*entry, form);
    if (size > UINT32_MAX)
        return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1)));
    if (!buffer)
        return nullptr;
    if (!load_entry(*entry, form, buffer.get()))
        return nullptr;
    if (out_length != nullptr)
        *out_length = static_cast<uint32_t>(size);
    return buffer.release();
}
