// Listing of the volume's entries in table order, for callers that do not
// know the names beforehand.
#include "image_state.h"
#include "iso9660.h"

extern "C" int cdimage_handle_entry_count(cdimage_handle *handle)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    return image.is_open ? image.entry_count : 0;
}

extern "C" int cdimage_handle_entry_info(cdimage_handle *handle, int index, const char **name, uint64_t *size, int *is_dir)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open || index < 0 || index >= image.entry_count)
        return 0;
    const FsEntry &entry = image.entries[static_cast<std::size_t>(index)];
    if (name != nullptr) {
        write_entry_name(image, entry, image.listed_name);
        *name = image.listed_name;
    }
    if (size != nullptr)
        *size = entry.size;
    if (is_dir != nullptr)
        *is_dir = entry.is_dir;
    return 1;
}

extern "C" int cdimage_handle_entry_time(cdimage_handle *handle, int index, int64_t *mtime)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open || index < 0 || index >= image.entry_count)
        return 0;
    const FsEntry &entry = image.entries[static_cast<std::size_t>(index)];
    if (!entry.has_time)
        return 0;
    if (mtime != nullptr)
        *mtime = entry.mtime;
    return 1;
}
