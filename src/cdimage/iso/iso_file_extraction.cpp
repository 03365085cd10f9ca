// Extraction of the volume's files below the output directory, and loading
// of one file into memory.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unordered_map>

#include "image_state.h"
#include "iso9660.h"
#include "printable_text.h"

namespace {

// An output path: the output directory, an entry name and their separators
// (PATH_MAX).
constexpr std::size_t OUTPUT_PATH_SIZE = 4096;

// How an entry's bytes come out: its recorded bytes, or RIFF CDXA for files
// of Form 2 sectors, which also come out as recorded bytes where the image
// keeps only 2048 bytes of each sector.
enum class OutputForm { RECORDED, CDXA, FORM2_NOT_IN_IMAGE };

OutputForm output_form(ImageState &image, const FsEntry &entry)
{
    if (!is_cdxa_entry(entry))
        return OutputForm::RECORDED;
    const FsExtent *extents = entry_extents(image, entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!volume_run_has_raw_sectors(image, extents[i].sector, sectors_holding(extents[i].size)))
            return OutputForm::FORM2_NOT_IN_IMAGE;
    return OutputForm::CDXA;
}

uint64_t output_size(ImageState &image, const FsEntry &entry, OutputForm form)
{
    return form == OutputForm::CDXA ? CDXA_HEADER_SIZE + cdxa_data_bytes(image, entry) : entry.size;
}

// Names a file or directory that did not come out, once, and counts it.
// The reason may hold names from the image too (a refused link's path).
void report_failure(ImageState &image, const char *name, const std::string &reason)
{
    record_named(image, LedgerKind::FILE_LOST, name, reason);
}

std::string describe_unread_sector(int64_t sector)
{
    char text[48];
    std::snprintf(text, sizeof text, "read failed at sector %lld", static_cast<long long>(sector));
    return text;
}

std::string describe_data_failure(const DataFailure &failure)
{
    if (failure.unread_sector >= 0)
        return describe_unread_sector(failure.unread_sector);
    return std::strerror(failure.write_error);
}

// The first sector of the entry that lies in no track that can be read, or
// -1 when every one does. A run that is readable stays so when cut shorter,
// so the first such sector of an extent is found by halving.
int64_t first_unreadable_sector(ImageState &image, const FsEntry &entry)
{
    const FsExtent *extents = entry_extents(image, entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i) {
        const uint64_t count = sectors_holding(extents[i].size);
        if (volume_run_is_readable(image, extents[i].sector, count))
            continue;
        // The first `readable` sectors can be read, the first `unreadable` cannot.
        uint64_t readable = 0;
        uint64_t unreadable = count;
        while (unreadable - readable > 1) {
            const uint64_t middle = readable + (unreadable - readable) / 2;
            if (volume_run_is_readable(image, extents[i].sector, middle))
                readable = middle;
            else
                unreadable = middle;
        }
        return static_cast<int64_t>(extents[i].sector) + static_cast<int64_t>(unreadable) - 1;
    }
    return -1;
}

// An entry's name as recorded: its directory's output name and its own
// identifier as recorded, for the names that meet in one output name.
std::string recorded_name(ImageState &image, const FsEntry &entry)
{
    std::string name;
    if (entry.parent >= 0)
        name = std::string(entry_name(image, image.entries[static_cast<std::size_t>(entry.parent)])) + "/";
    name += recorded_identifier(image, entry);
    return name;
}

// The entry that came out at an output path in this extraction run. (A
// record of its own, not a bare index, so that the shared library exports
// no map of standard types.)
struct WrittenEntry {
    std::size_t index;
};

// How a copy straight from the data track's file went.
enum class DirectCopy {
    DONE,
    FAILED,      // `failure` says why
    NOT_DIRECT,  // this track or this file system cannot copy that way
};

// Copies the bytes of an extent that lies whole in the data track, from its
// sector `track_sector` on, straight from the track file where its sectors
// are bare 2048-byte blocks. A failure names the volume's own sector.
DirectCopy copy_data_track_bytes(ImageState &image, const FsExtent &extent, uint32_t track_sector, int out_fd,
                                 DataFailure &failure)
{
    const Track &track = *image.data_track;
    if (track.source.sector_size != DATA_SECTOR_SIZE || extent.size == 0)
        return DirectCopy::NOT_DIRECT;
    const uint32_t sectors = sectors_holding(extent.size);
    const int64_t shift = static_cast<int64_t>(extent.sector) - track_sector;
    if (!run_lies_in_data_track(image, track_sector, sectors)) {
        // The first sector past the track's end, or the first itself.
        failure.unread_sector = std::max<int64_t>(track_sector, track.length) + shift;
        return DirectCopy::FAILED;
    }
    failure.unread_sector = extent.sector;
    int fd = data_track_descriptor(image);
    if (fd < 0)
        return DirectCopy::FAILED;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return DirectCopy::NOT_DIRECT;
    // A sector is readable only when all 2048 of its bytes are in the file,
    // the last sector's included, however few of them the file uses.
    int64_t position = stored_sector_position(track, track_sector);
    // A sheet whose INDEX times run backwards can place a track before its
    // file's start.
    if (position < 0)
        return DirectCopy::FAILED;
    if (info.st_size < position + static_cast<int64_t>(sectors) * DATA_SECTOR_SIZE) {
        if (info.st_size > position)
            failure.unread_sector += (info.st_size - position) / DATA_SECTOR_SIZE;
        return DirectCopy::FAILED;
    }

    KernelCopyResult result =
        copy_in_kernel(fd, static_cast<off_t>(position), out_fd, extent.size, &image.extract_progress);
    switch (result.outcome) {
    case KernelCopy::DONE:
        return DirectCopy::DONE;
    case KernelCopy::UNSUPPORTED:
        return DirectCopy::NOT_DIRECT;
    case KernelCopy::SHORT:
        // The track file was cut while it was copied.
        failure.unread_sector += static_cast<int64_t>(result.copied / DATA_SECTOR_SIZE);
        return DirectCopy::FAILED;
    case KernelCopy::FAILED:
        break;
    }
    failure.unread_sector = -1;
    failure.write_error = result.error;
    return DirectCopy::FAILED;
}

// Copies one extent's recorded bytes to the output file's position; false
// with the failure when a sector cannot be read or a write fails.
bool copy_extent(ImageState &image, const FsExtent &extent, int out_fd, DataFailure &failure)
{
    uint32_t track_sector = 0;
    if (volume_run_in_data_track(image, extent.sector, sectors_holding(extent.size), &track_sector)) {
        const DirectCopy direct = copy_data_track_bytes(image, extent, track_sector, out_fd, failure);
        if (direct != DirectCopy::NOT_DIRECT)
            return direct == DirectCopy::DONE;
        failure = DataFailure{};
    }
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    uint64_t remaining = extent.size;
    while (uint32_t got = read_next_piece(image, span, SECTORS_PER_RUN, image.run_buffer)) {
        const uint64_t piece_bytes = static_cast<uint64_t>(got) * DATA_SECTOR_SIZE;
        const std::size_t bytes = static_cast<std::size_t>(remaining < piece_bytes ? remaining : piece_bytes);
        if (!write_all(out_fd, image.run_buffer, bytes)) {
            failure.write_error = errno;
            return false;
        }
        remaining -= bytes;
        add_progress_bytes(&image.extract_progress, bytes);
    }
    if (span.left == 0)
        return true;
    failure.unread_sector = span.next;
    return false;
}

// Copies one extent's whole raw sectors to the output file's position.
bool copy_raw_extent(ImageState &image, const FsExtent &extent, int out_fd, DataFailure &failure)
{
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    while (span.left != 0) {
        const uint32_t wanted = span.left < RAW_SECTORS_PER_RUN ? span.left : RAW_SECTORS_PER_RUN;
        const uint32_t got = read_volume_raw_sectors(image, span.next, wanted, image.run_buffer);
        const std::size_t bytes = static_cast<std::size_t>(got) * RAW_SECTOR_SIZE;
        if (!write_all(out_fd, image.run_buffer, bytes)) {
            failure.write_error = errno;
            return false;
        }
        add_progress_bytes(&image.extract_progress, bytes);
        if (got < wanted) {
            failure.unread_sector = static_cast<int64_t>(span.next) + got;
            return false;
        }
        span.next += got;
        span.left -= got;
    }
    return true;
}

// Every extent of the entry in record order, behind the CDXA header when
// the entry comes out as CDXA; false at the first that fails.
bool copy_entry_data(ImageState &image, const FsEntry &entry, OutputForm form, int out_fd, DataFailure &failure)
{
    if (form == OutputForm::CDXA) {
        unsigned char header[CDXA_HEADER_SIZE];
        write_cdxa_header(entry.xa_record, cdxa_data_bytes(image, entry), header);
        if (!write_all(out_fd, header, sizeof header)) {
            failure.write_error = errno;
            return false;
        }
        add_progress_bytes(&image.extract_progress, sizeof header);
    }
    const FsExtent *extents = entry_extents(image, entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i)
        if (!(form == OutputForm::CDXA ? copy_raw_extent(image, extents[i], out_fd, failure)
                                       : copy_extent(image, extents[i], out_fd, failure)))
            return false;
    return true;
}

// The regular file there (`existing`) has the size the extraction writes
// and the recorded modification time (or the record holds no valid date):
// a file of this volume extracted before, not one of another disc.
bool is_extracted_already(const FsEntry &entry, uint64_t size, const struct stat &existing)
{
    return S_ISREG(existing.st_mode) && static_cast<uint64_t>(existing.st_size) == size &&
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

// Formats the entry's output path, "<out_root>/<name>", into out_path (a
// directory's needs room for a trailing '/' too). False when it does not
// fit; a file is then named as a failure.
bool format_output_path(ImageState &image, const FsEntry &entry, const char *name, char *out_path, std::size_t out_size)
{
    const int written = entry.is_dir ? std::snprintf(out_path, out_size, "%s/%s/", image.out_root, name)
                                     : std::snprintf(out_path, out_size, "%s/%s", image.out_root, name);
    if (written < 0 || static_cast<std::size_t>(written) >= out_size) {
        if (!entry.is_dir)
            report_failure(image, name, std::strerror(ENAMETOOLONG));
        return false;
    }
    if (entry.is_dir)
        out_path[written - 1] = '\0';
    return true;
}

// Writes the file entry `name` below the output directory; true when it
// came out (or was there from an earlier run), false with the failure named.
bool write_file_entry(ImageState &image, OutputTree &tree, const FsEntry &entry, const char *name)
{
    const OutputForm form = output_form(image, entry);
    if (form == OutputForm::FORM2_NOT_IN_IMAGE)
        record_named(image, LedgerKind::NOTE, name, "Form 2 data not in the image");
    OutputSpot spot;
    OutputFailure refused;
    if (!find_output_spot(tree, name, spot, refused)) {
        report_failure(image, name, describe_output_failure(refused, name));
        return false;
    }
    struct stat existing;
    const bool present = stat_output_spot(spot, existing);
    if (present) {
        if (const ImageFile *own = image_file_of(image.own_files, existing)) {
            std::string reason = "would replace the image's own ";
            reason += own->path;
            report_failure(image, name, reason + ", not written");
            return false;
        }
        if (is_extracted_already(entry, output_size(image, entry, form), existing))
            return true;
    }

    // Recorded before it exists: an interruption right after the creation
    // must find it.
    begin_partial_file(image.partial, spot);
    int out_fd = create_output_file(spot, name, present ? &existing : nullptr, refused);
    if (out_fd < 0) {
        end_partial_file(image.partial);
        report_failure(image, name, describe_output_failure(refused, name));
        return false;
    }
    DataFailure failure;
    bool copied = copy_entry_data(image, entry, form, out_fd, failure);
    if (copied)
        apply_recorded_time(entry, out_fd);
    // Some file systems report a failed write only at the close.
    if (close(out_fd) != 0 && copied) {
        copied = false;
        failure.write_error = errno;
    }
    if (!copied)
        unlinkat(spot.dir_fd, spot.leaf, 0);
    end_partial_file(image.partial);
    if (!copied) {
        report_failure(image, name, describe_data_failure(failure));
        return false;
    }
    return true;
}

// Creates the directory entry `name` below the output directory.
bool write_directory_entry(ImageState &image, OutputTree &tree, const char *name)
{
    OutputFailure refused;
    if (open_output_directories(tree, name, std::strlen(name), refused) < 0) {
        report_failure(image, name, describe_output_failure(refused, name));
        return false;
    }
    return true;
}

bool write_entry(ImageState &image, OutputTree &tree, const FsEntry &entry, const char *name)
{
    begin_progress_item(image.extract_progress, static_cast<int>(&entry - image.entries.data()));
    return entry.is_dir ? write_directory_entry(image, tree, name) : write_file_entry(image, tree, entry, name);
}

// Opens the output directory, creating it when it is missing. A cut
// output directory names some other directory: nothing is written there.
// The line stands for every file the call would have written.
bool open_extraction_root(ImageState &image, OutputTree &tree, int files)
{
    int error = image.out_root_is_cut ? ENAMETOOLONG : open_output_root(tree, image.out_root);
    if (error == 0)
        return true;
    record_line(image, LedgerKind::FILE_LOST, image.out_root, std::strerror(error),
                "cdimage: " + std::string(image.out_root) + ": " + std::strerror(error), true, files);
    return false;
}

// Reads one extent's bytes into `into`: whole sectors straight there, a
// last partial sector through a sector buffer. False with the first sector
// that could not be read.
bool load_extent(ImageState &image, const FsExtent &extent, unsigned char *into, DataFailure &failure)
{
    const uint32_t whole = extent.size / DATA_SECTOR_SIZE;
    SectorSpan span = sector_span(extent.sector, whole);
    while (uint32_t got = read_next_piece(image, span, SECTORS_PER_RUN, into))
        into += static_cast<std::size_t>(got) * DATA_SECTOR_SIZE;
    if (span.left != 0) {
        failure.unread_sector = span.next;
        return false;
    }
    if (uint32_t tail = extent.size % DATA_SECTOR_SIZE) {
        unsigned char sector[DATA_SECTOR_SIZE];
        const int64_t last = static_cast<int64_t>(extent.sector) + whole;
        if (read_volume_sectors(image, last, 1, sector) != 1) {
            failure.unread_sector = last;
            return false;
        }
        std::memcpy(into, sector, tail);
    }
    return true;
}

// Reads the entry as it comes out into `into`, which holds its output size.
bool load_entry(ImageState &image, const FsEntry &entry, OutputForm form, unsigned char *into, DataFailure &failure)
{
    if (form == OutputForm::CDXA) {
        unsigned char header[CDXA_HEADER_SIZE];
        write_cdxa_header(entry.xa_record, cdxa_data_bytes(image, entry), header);
        std::memcpy(into, header, sizeof header);
        into += sizeof header;
    }
    const FsExtent *extents = entry_extents(image, entry);
    for (uint32_t i = 0; i < entry.extent_count; ++i) {
        if (form == OutputForm::CDXA) {
            const uint32_t sectors = sectors_holding(extents[i].size);
            const uint32_t got = read_volume_raw_sectors(image, extents[i].sector, sectors, into);
            if (got != sectors) {
                failure.unread_sector = static_cast<int64_t>(extents[i].sector) + got;
                return false;
            }
            into += static_cast<std::size_t>(sectors) * RAW_SECTOR_SIZE;
        } else {
            if (!load_extent(image, extents[i], into, failure))
                return false;
            into += extents[i].size;
        }
    }
    return true;
}

}  // namespace

void record_image_files(ImageState &image, const char *cue_path)
{
    image.own_files.clear();
    add_image_file(image.own_files, cue_path);
    for (int i = 0; i < image.file_count; ++i)
        add_image_file(image.own_files, image.files[i].path);
}

extern "C" int cdimage_handle_extract_file(cdimage_handle *handle, const char *name, char *out_path, size_t out_size)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open || name == nullptr || out_path == nullptr)
        return 0;
    begin_call_lines(image);
    const FsEntry *entry = find_entry(image, name, false);
    if (entry == nullptr)
        entry = find_entry(image, name, true);
    if (entry == nullptr)
        return 0;
    const std::string entry_path = entry_name(image, *entry);
    // What cannot come out creates nothing, not even the output directory.
    if (!format_output_path(image, *entry, entry_path.c_str(), out_path, out_size))
        return 0;
    if (!entry->is_dir) {
        const int64_t unread = first_unreadable_sector(image, *entry);
        if (unread >= 0) {
            report_failure(image, entry_path.c_str(), describe_unread_sector(unread));
            return 0;
        }
    }
    OutputTree tree;
    if (!open_extraction_root(image, tree, 1))
        return 0;
    const bool extracted = write_entry(image, tree, *entry, entry_path.c_str());
    begin_progress_item(image.extract_progress, -1);
    return extracted ? 1 : 0;
}

extern "C" int cdimage_handle_extract_all(cdimage_handle *handle)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open)
        return 0;
    begin_call_lines(image);
    int files = 0;
    for (const FsEntry &entry : image.entries)
        files += !entry.is_dir;
    // With no file to write, nothing is created.
    if (files == 0)
        return 0;
    OutputTree tree;
    if (!open_extraction_root(image, tree, files))
        return 0;
    // The entries written in this run by the hash of their output path: a
    // second entry of the same path would replace the first. Paths are
    // rebuilt to compare rather than kept, so that the map grows with the
    // entries and not with the length of their paths.
    std::unordered_multimap<std::size_t, WrittenEntry> written;
    int count = 0;
    char out_path[OUTPUT_PATH_SIZE];
    for (std::size_t i = 0; i < image.entries.size(); ++i) {
        const FsEntry &entry = image.entries[i];
        if (entry.is_dir)
            continue;
        const std::string name = entry_name(image, entry);
        const std::size_t path_hash = std::hash<std::string>{}(name);
        const FsEntry *earlier = nullptr;
        const auto same_hash = written.equal_range(path_hash);
        for (auto candidate = same_hash.first; candidate != same_hash.second && earlier == nullptr; ++candidate)
            if (name == entry_name(image, image.entries[candidate->second.index]))
                earlier = &image.entries[candidate->second.index];
        if (earlier != nullptr) {
            // Versions of one identifier (A.TXT;2, A.TXT;1): the first in
            // its directory is the file, the others are passed over.
            if (earlier->parent == entry.parent &&
                recorded_identifier(image, *earlier) == recorded_identifier(image, entry))
                continue;
            report_failure(image, recorded_name(image, entry).c_str(),
                           "same output name as " + recorded_name(image, *earlier) + ", not written");
            continue;
        }
        if (format_output_path(image, entry, name.c_str(), out_path, sizeof out_path) &&
            write_entry(image, tree, entry, name.c_str())) {
            ++count;
            written.emplace(path_hash, WrittenEntry{i});
        }
    }
    begin_progress_item(image.extract_progress, -1);
    return count;
}

extern "C" int cdimage_handle_extract_progress(cdimage_handle *handle, int *entry, uint64_t *bytes)
{
    if (handle == nullptr)
        return 0;
    return read_progress(handle->image.extract_progress, entry, bytes);
}

extern "C" void *cdimage_handle_load_file(cdimage_handle *handle, const char *name, uint32_t *out_length)
{
    if (handle == nullptr)
        return nullptr;
    ImageState &image = handle->image;
    if (!image.is_open || name == nullptr)
        return nullptr;
    begin_call_lines(image);
    const FsEntry *entry = find_entry(image, name, false);
    if (entry == nullptr)
        return nullptr;
    const std::string entry_path = entry_name(image, *entry);
    // A file recorded where no track can be read gets no buffer of the size
    // it claims.
    const int64_t unread = first_unreadable_sector(image, *entry);
    if (unread >= 0) {
        report_failure(image, entry_path.c_str(), describe_unread_sector(unread));
        return nullptr;
    }
    const OutputForm form = output_form(image, *entry);
    const uint64_t size = output_size(image, *entry, form);
    // Too large for out_length: such a file is extracted, never loaded.
    if (size > UINT32_MAX)
        return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> buffer(
        static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1)));
    if (!buffer) {
        report_failure(image, entry_path.c_str(), std::strerror(ENOMEM));
        return nullptr;
    }
    DataFailure failure;
    if (!load_entry(image, *entry, form, buffer.get(), failure)) {
        report_failure(image, entry_path.c_str(), describe_data_failure(failure));
        return nullptr;
    }
    if (out_length != nullptr)
        *out_length = static_cast<uint32_t>(size);
    return buffer.release();
}
