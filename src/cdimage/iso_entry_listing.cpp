// Queries on the volume's entries by their position in the table.
#include "cdimage_internal.h"

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
