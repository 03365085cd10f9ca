// Listing of the volume's entries in table order, for callers that do not
// know the names beforehand.
#include "image_state.h"
#include "iso9660.h"

namespace {

// The entry at that table position in the handle's open image; null when
// there is none.
const FsEntry *listed_entry(cdimage_handle *handle, int index)
{
    if (handle == nullptr || !handle->image.is_open || index < 0 || index >= handle->image.entry_count)
        return nullptr;
    return &handle->image.entries[static_cast<std::size_t>(index)];
}

}  // namespace

extern "C" int cdimage_handle_entry_count(cdimage_handle *handle)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    return image.is_open ? image.entry_count : 0;
}

extern "C" int cdimage_handle_entry_info(cdimage_handle *handle, int index, const char **name, uint64_t *size, int *is_dir)
{
    const FsEntry *entry = listed_entry(handle, index);
    if (entry == nullptr)
        return 0;
    if (name != nullptr) {
        write_entry_name(handle->image, *entry, handle->image.listed_name);
        *name = handle->image.listed_name;
    }
    if (size != nullptr)
        *size = entry->size;
    if (is_dir != nullptr)
        *is_dir = entry->is_dir;
    return 1;
}

extern "C" int cdimage_handle_entry_time(cdimage_handle *handle, int index, int64_t *mtime)
{
    const FsEntry *entry = listed_entry(handle, index);
    if (entry == nullptr || !entry->has_time)
        return 0;
    if (mtime != nullptr)
        *mtime = entry->mtime;
    return 1;
}
