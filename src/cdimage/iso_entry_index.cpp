// Lookups of volume entries by name: a hash index by case-folded name and
// kind, built once per open, that gives the first match in table order.
#include <new>
#include <strings.h>

#include "cdimage_internal.h"

namespace {

uint32_t folded_name_hash(const char *name, bool directory)
{
    uint32_t hash = directory ? 0x9E3779B9u : 2166136261u;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != '\0'; ++c) {
        unsigned char folded = *c >= 'a' && *c <= 'z' ? static_cast<unsigned char>(*c - 'a' + 'A') : *c;
        hash = (hash ^ folded) * 16777619u;
    }
    return hash;
}

bool entry_matches(const FsEntry &entry, const char *name, bool directory)
{
    return (entry.is_dir != 0) == directory && strcasecmp(entry.name, name) == 0;
}

// The slot that holds the entry of that name and kind, or the empty slot
// where it would go.
int16_t *index_slot(const char *name, bool directory)
{
    uint32_t slot = folded_name_hash(name, directory) % NAME_INDEX_SLOTS;
    for (;;) {
        int16_t &held = g_image.name_index[slot];
        if (held < 0 || entry_matches(g_image.entries[held], name, directory))
            return &held;
        slot = (slot + 1) % NAME_INDEX_SLOTS;
    }
}

}  // namespace

void build_name_index()
{
    g_image.name_index.reset(new (std::nothrow) int16_t[NAME_INDEX_SLOTS]);
    if (!g_image.name_index)
        return;
    for (int i = 0; i < NAME_INDEX_SLOTS; ++i)
        g_image.name_index[i] = -1;
    // Entries go in in table order; a later entry of a name already held is
    // never the first match, so it is left out.
    for (int i = 0; i < g_image.entry_count; ++i) {
        const FsEntry &entry = g_image.entries[i];
        int16_t *slot = index_slot(entry.name, entry.is_dir != 0);
        if (*slot < 0)
            *slot = static_cast<int16_t>(i);
    }
}

const FsEntry *find_entry(const char *name, bool directory)
{
    if (g_image.name_index) {
        int16_t held = *index_slot(name, directory);
        return held < 0 ? nullptr : &g_image.entries[held];
    }
    for (int i = 0; i < g_image.entry_count; ++i)
        if (entry_matches(g_image.entries[i], name, directory))
            return &g_image.entries[i];
    return nullptr;
}
