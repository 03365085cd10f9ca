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
    return volume_run_has_raw_sectors(entry.extent, sectors_holding(entry.size)) ? OutputForm::CDXA
                                                                                 : OutputForm::FORM2_NOT_IN_IMAGE;
}

uint64_t output_size(const FsEntry &entry, OutputForm form)
{
    return form == OutputForm::CDXA ? CDXA_HEADER_SIZE + cdxa_data_bytes(entry) : entry.size;
}

// Copies the entry's recorded bytes into the open stream; 0 when a sector
// cannot be read or a write falls short.
int copy_recorded_bytes(const FsEntry &entry, std::FILE *out)
{
    const uint32_t sectors = sectors_holding(entry.size);
    uint32_t track_sector = 0;
    if (volume_run_in_data_track(entry.extent, sectors, &track_sector)) {
        int direct = copy_data_track_bytes(track_sector, entry.size, fileno(out));
        if (direct >= 0)
            return direct;
    }
    uint64_t remaining = entry.size;
    for (uint32_t done = 0; done < sectors;) {
        uint32_t wanted = sectors - done < SECTORS_PER_RUN ? sectors - done : SECTORS_PER_RUN;
        uint32_t got = read_volume_sectors(static_cast<int64_t>(entry.extent) + done, wanted, g_run_buffer);
        if (got < wanted)
            return 0;
        uint64_t run_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        std::size_t bytes = static_cast<std::size_t>(remaining < run_bytes ? remaining : run_bytes);
        if (std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        remaining -= bytes;
        done += got;
    }
    return 1;
}

// Writes the entry as RIFF CDXA: the header, then its whole raw sectors.
int copy_cdxa(const FsEntry &entry, std::FILE *out)
{
    unsigned char header[CDXA_HEADER_SIZE];
    write_cdxa_header(entry.xa_record, cdxa_data_bytes(entry), header);
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header)
        return 0;
    const uint32_t sectors = sectors_holding(entry.size);
    for (uint32_t done = 0; done < sectors;) {
        uint32_t wanted = sectors - done < RAW_SECTORS_PER_RUN ? sectors - done : RAW_SECTORS_PER_RUN;
        uint32_t got = read_volume_raw_sectors(static_cast<int64_t>(entry.extent) + done, wanted, g_run_buffer);
        if (got < wanted)
            return 0;
        std::size_t bytes = static_cast<std::size_t>(got) * RAW_SECTOR_SIZE;
        if (std::fwrite(g_run_buffer, 1, bytes, out) != bytes)
            return 0;
        done += got;
    }
    return 1;
}

int extract_file_entry(const FsEntry &entry, char *out_path, std::size_t out_size)
{
    int written = std::snprintf(out_path, out_size, "%s/%s", g_image.out_root, entry.name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size)
        return 0;

    const OutputForm form = output_form(entry);
    if (form == OutputForm::FORM2_NOT_IN_IMAGE)
        std::fprintf(stderr, "cdimage: %s: Form 2 data not in the image\n", entry.name);

    // A file of the size the extraction writes (modulo 2^32) counts as
    // extracted already.
    struct stat existing;
    if (stat(out_path, &existing) == 0 &&
        static_cast<uint32_t>(existing.st_size) == static_cast<uint32_t>(output_size(entry, form)))
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
    int copied = form == OutputForm::CDXA ? copy_cdxa(entry, out.get()) : copy_recorded_bytes(entry, out.get());
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
    char out_path[PATH_TEXT_SIZE];
    for (int i = 0; i < g_image.entry_count; ++i)
        if (!g_image.entries[i].is_dir && extract_entry(g_image.entries[i].name, out_path, sizeof out_path))
            ++count;
    return count;
}

namespace {

// The entry's recorded bytes, read into the buffer; 0 when a sector cannot
// be read.
int load_recorded_bytes(const FsEntry &entry, unsigned char *buffer)
{
    // Whole sectors go straight into the buffer; a last partial sector
    // passes through a sector buffer.
    const uint32_t whole = entry.size / DATA_SECTOR_SIZE;
    for (uint32_t done = 0; done < whole;) {
        uint32_t wanted = whole - done < SECTORS_PER_RUN ? whole - done : SECTORS_PER_RUN;
        uint32_t got = read_volume_sectors(static_cast<int64_t>(entry.extent) + done, wanted,
                                           buffer + static_cast<std::size_t>(done) * DATA_SECTOR_SIZE);
        if (got < wanted)
            return 0;
        done += got;
    }
    if (uint32_t tail = entry.size % DATA_SECTOR_SIZE) {
        unsigned char sector[DATA_SECTOR_SIZE];
        if (read_volume_sectors(static_cast<int64_t>(entry.extent) + whole, 1, sector) != 1)
            return 0;
        std::memcpy(buffer + static_cast<std::size_t>(whole) * DATA_SECTOR_SIZE, sector, tail);
    }
    return 1;
}

// The entry as RIFF CDXA, into a buffer of its output size.
int load_cdxa(const FsEntry &entry, unsigned char *buffer)
{
    unsigned char header[CDXA_HEADER_SIZE];
    write_cdxa_header(entry.xa_record, cdxa_data_bytes(entry), header);
    std::memcpy(buffer, header, sizeof header);
    const uint32_t sectors = sectors_holding(entry.size);
    return read_volume_raw_sectors(entry.extent, sectors, buffer + sizeof header) == sectors;
}

}  // namespace

extern "C" void *cdimage_load_file(const char *name, uint32_t *out_length)
{
    if (!g_image.is_open || name == nullptr)
        return nullptr;
    const FsEntry *entry = find_entry(name, false);
    // A file recorded where no track can be read gets no buffer of the size
    // it claims.
    if (entry == nullptr || !volume_run_is_readable(entry->extent, sectors_holding(entry->size)))
        return nullptr;
    const OutputForm form = output_form(*entry);
    const uint64_t size = output_size(*entry, form);
    if (size > UINT32_MAX)
        return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(size != 0 ? static_cast<std::size_t>(size) : 1)));
    if (!buffer)
        return nullptr;
    if (!(form == OutputForm::CDXA ? load_cdxa(*entry, buffer.get()) : load_recorded_bytes(*entry, buffer.get())))
        return nullptr;
    if (out_length != nullptr)
        *out_length = static_cast<uint32_t>(size);
    return buffer.release();
}
