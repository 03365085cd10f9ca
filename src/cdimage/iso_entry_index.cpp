// Lookups of volume entries by name: a hash index by case-folded name and
// kind, built once per open, that gives the first match in table order.
#include <new>
#include <strings.h>

#include "cdimage_internal.h"

namespace {

// FNV-1a over the case-folded name. Directories start from another basis
// (2^32 divided by the golden ratio), so that a file and a directory of one
// name seldom share a probe run.
constexpr uint32_t FNV_OFFSET_BASIS = 2166136261u;
constexpr uint32_t FNV_PRIME = 16777619u;
constexpr uint32_t DIRECTORY_BASIS = 0x9E3779B9u;
// The smallest index. An index has at least twice as many slots as there
// are entries, so that probe runs stay short.
constexpr uint32_t MIN_INDEX_SLOTS = 16;

uint32_t folded_name_hash(const char *name, bool directory)
{
    uint32_t hash = directory ? DIRECTORY_BASIS : FNV_OFFSET_BASIS;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != '\0'; ++c) {
        unsigned char folded = *c >= 'a' && *c <= 'z' ? static_cast<unsigned char>(*c - 'a' + 'A') : *c;
        hash = (hash ^ folded) * FNV_PRIME;
    }
    return hash;
}

bool entry_matches(const FsEntry &entry, const char *name, bool directory)
{
    return entry.is_dir == directory && strcasecmp(entry_name(entry), name) == 0;
}

// The slot that holds the entry of that name and kind, or the empty slot
// where it would go.
int32_t *index_slot(const char *name, bool directory)
{
    const uint32_t mask = g_image.name_index_slots - 1;
    uint32_t slot = folded_name_hash(name, directory) & mask;
    for (;;) {
        int32_t &held = g_image.name_index[slot];
        if (held < 0 || entry_matches(g_image.entries[static_cast<std::size_t>(held)], name, directory))
            return &held;
        slot = (slot + 1) & mask;
    }
}

// A power of two of at least twice the entries, or 0 when there are too many
// entries for 32-bit slot numbers.
uint32_t index_slots_for(int entries)
{
    uint64_t slots = MIN_INDEX_SLOTS;
    while (slots < 2 * static_cast<uint64_t>(entries))
        slots *= 2;
    return slots <= (uint64_t{1} << 31) ? static_cast<uint32_t>(slots) : 0;
}

}  // namespace

void build_name_index()
{
    g_image.name_index_slots = index_slots_for(g_image.entry_count);
    if (g_image.name_index_slots != 0)
        g_image.name_index.reset(new (std::nothrow) int32_t[g_image.name_index_slots]);
    if (!g_image.name_index) {
        g_image.name_index_slots = 0;
        return;
    }
    for (uint32_t i = 0; i < g_image.name_index_slots; ++i)
        g_image.name_index[i] = -1;
    // Entries go in in table order; a later entry of a name already held is
    // never the first match, so it is left out.
    for (int i = 0; i < g_image.entry_count; ++i) {
        const FsEntry &entry = g_image.entries[static_cast<std::size_t>(i)];
        int32_t *slot = index_slot(entry_name(entry), entry.is_dir);
        if (*slot < 0)
            *slot = i;
    }
}

const FsEntry *find_entry(const char *name, bool directory)
{
    if (g_image.name_index) {
        const int32_t held = *index_slot(name, directory);
        return held < 0 ? nullptr : &g_image.entries[static_cast<std::size_t>(held)];
    }
    for (const FsEntry &entry : g_image.entries)
        if (entry_matches(entry, name, directory))
            return &entry;
    return nullptr;
}
