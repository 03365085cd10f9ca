// Listing of the volume's entries in table order, for callers that do not
// know the names beforehand.
#include "cdimage_internal.h"

extern "C" int cdimage_entry_count(void)
{
    return g_image.is_open ? g_image.entry_count : 0;
}

extern "C" int cdimage_entry_info(int index, const char **name, uint64_t *size, int *is_dir)
{
    if (!g_image.is_open || index < 0 || index >= g_image.entry_count)
        return 0;
    const FsEntry &entry = g_image.entries[static_cast<std::size_t>(index)];
    if (name != nullptr) {
        write_entry_name(entry, g_image.listed_name);
        *name = g_image.listed_name;
    }
    if (size != nullptr)
        *size = entry.size;
    if (is_dir != nullptr)
        *is_dir = entry.is_dir;
    return 1;
}

extern "C" int cdimage_entry_time(int index, int64_t *mtime)
{
    if (!g_image.is_open || index < 0 || index >= g_image.entry_count)
        return 0;
    const FsEntry &entry = g_image.entries[static_cast<std::size_t>(index)];
    if (!entry.has_time)
        return 0;
    if (mtime != nullptr)
        *mtime = entry.mtime;
    return 1;
}
