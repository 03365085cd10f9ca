// What tests of the module's inner functions see of it: the private headers
// of every side, the state of the default handle (which the functions
// without a handle argument use), and copies of the facts of an image that
// the public interface does not give. Tests read the state through the
// functions below only, so that a change of ImageState's layout changes
// this header alone.
#ifndef CDUNPACK_MODULE_VIEW_H
#define CDUNPACK_MODULE_VIEW_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cue_sheet.h"
#include "disc.h"
#include "image_state.h"
#include "iso9660.h"

inline ImageState &default_image()
{
    return cdimage_default_handle()->image;
}

// One track of the table, as the last cue sheet read left it (open or not).
struct TrackView {
    int number;
    std::string mode;
    int is_audio;
    int file;  // position in the file table
    int64_t start;  // byte of its INDEX 01 in the file
    int sector_size;
    int header_size;
    int64_t disc_address;
    int64_t length;  // sectors; <= 0 when its file ends before it
    int64_t frames;
};

// One track file of the table.
struct FileView {
    std::string path;
    TrackFormat format;
    uint32_t sample_rate;
    int64_t data_offset;
    int64_t data_size;
    bool missing;
    bool big_endian_type;
};

// One entry of the volume: its full name and where its bytes are recorded.
struct EntryView {
    std::string name;
    uint64_t size;
    bool is_dir;
    std::vector<FsExtent> extents;  // sectors as recorded
};

inline int track_count(ImageState &image = default_image())
{
    return image.track_count;
}

inline TrackView track_view(int index, ImageState &image = default_image())
{
    const Track &t = image.tracks[index];
    return {t.number,        t.mode, t.is_audio, t.source.file, t.source.start, t.source.sector_size,
            t.source.header_size, t.disc_address, t.length, t.frames};
}

// The table position of the data track; -1 when the image has none.
inline int data_track_index(ImageState &image = default_image())
{
    return image.data_track == nullptr ? -1 : static_cast<int>(image.data_track - image.tracks);
}

inline int file_count(ImageState &image = default_image())
{
    return image.file_count;
}

inline FileView file_view(int index, ImageState &image = default_image())
{
    const TrackFile &f = image.files[index];
    return {f.path, f.format, f.sample_rate, f.data_offset, f.data_size, f.missing, f.big_endian_type};
}

// The entries of the volume the image holds, open or marked closed.
inline int entry_count(ImageState &image = default_image())
{
    return static_cast<int>(image.entries.size());
}

inline EntryView entry_view(int index, ImageState &image = default_image())
{
    const FsEntry &e = image.entries[static_cast<std::size_t>(index)];
    const FsExtent *first = entry_extents(image, e);
    return {entry_name(image, e), e.size, e.is_dir, std::vector<FsExtent>(first, first + e.extent_count)};
}

// The table position of an entry that find_entry gave; -1 for null.
inline int entry_position(const FsEntry *entry, ImageState &image = default_image())
{
    return entry == nullptr ? -1 : static_cast<int>(entry - image.entries.data());
}

// The pools behind the entries: every name component back to back, and
// the count of extents recorded.
inline std::string name_pool(ImageState &image = default_image())
{
    return std::string(image.names.begin(), image.names.end());
}

inline std::size_t extent_pool_size(ImageState &image = default_image())
{
    return image.extents.size();
}

// Whether the image holds a read handle on the data track's file.
inline bool data_file_held(ImageState &image = default_image())
{
    return image.data_file != nullptr;
}

inline int64_t volume_displacement(ImageState &image = default_image())
{
    return image.volume_displacement;
}

inline std::string out_root(ImageState &image = default_image())
{
    return image.out_root;
}

// Marks the image closed (or open again) while its tables stay filled, so
// that a test sees the calls' own guards at work.
inline void mark_open(bool open, ImageState &image = default_image())
{
    image.is_open = open;
}

// Where a cue sheet places its tracks, as the reader takes its lines: the
// sheet read again into a state of its own, the default handle untouched.
inline CueSheet cue_positions(const std::string &cue_path)
{
    CueSheet cue{};
    std::unique_ptr<ImageState> scratch(new ImageState{});
    scratch->options.messages = false;
    read_cue_sheet(*scratch, cue_path.c_str(), cue);
    return cue;
}

#endif
