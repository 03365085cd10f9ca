// Entry names and lookups by name. An entry keeps only its own component
// and its parent's table index; full names are built on demand, and the
// hash index by case-folded name and kind, built once per open, hashes each
// name from its parent's hash, so no full name is ever held for every entry.
#include <cstring>
#include <memory>
#include <new>

#include "image_state.h"
#include "iso9660.h"

namespace {

// FNV-1a over the case-folded name, then one step more for the kind, so that
// a file and a directory of one name seldom share a probe run. FNV goes byte
// by byte, so an entry's hash carries on from its parent's over '/' and its
// component.
constexpr uint32_t FNV_OFFSET_BASIS = 2166136261u;
constexpr uint32_t FNV_PRIME = 16777619u;
// The smallest index. An index has at least twice as many slots as there
// are entries, so that probe runs stay short.
constexpr uint32_t MIN_INDEX_SLOTS = 16;

unsigned char folded(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

uint32_t hash_bytes(uint32_t hash, const char *bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        hash = (hash ^ folded(static_cast<unsigned char>(bytes[i]))) * FNV_PRIME;
    return hash;
}

uint32_t hash_with_kind(uint32_t name_hash, bool directory)
{
    return (name_hash ^ (directory ? 1u : 0u)) * FNV_PRIME;
}

const char *component_of(ImageState &image, const FsEntry &entry)
{
    return image.names.data() + entry.component_offset;
}

const FsEntry &parent_of(ImageState &image, const FsEntry &entry)
{
    return image.entries[static_cast<std::size_t>(entry.parent)];
}

bool equal_ignoring_case(const char *a, const char *b, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (folded(static_cast<unsigned char>(a[i])) != folded(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A '/' stands between the parent's name and the component: every entry
// but those whose parents' names are empty (a directory in the root whose
// identifier gives no character) has one.
bool has_separator(const FsEntry &entry)
{
    return entry.name_length != entry.component_length;
}

// The entry's full name equals the `length` characters of `name`, ignoring
// the case of ASCII letters: compared component by component from the end,
// up the parents. Each entry's name length is its parent's plus its '/' and
// its component, so the walk stays inside `name`.
bool name_is(ImageState &image, const FsEntry &entry, const char *name, std::size_t length)
{
    if (entry.name_length != length)
        return false;
    for (const FsEntry *at = &entry;; at = &parent_of(image, *at)) {
        const std::size_t start = at->name_length - at->component_length;
        if (!equal_ignoring_case(name + start, component_of(image, *at), at->component_length))
            return false;
        if (!has_separator(*at))
            return true;
        if (name[start - 1] != '/')
            return false;
    }
}

// Two entries have the same full name, ignoring case. Components hold no
// '/', so equal names split into equal components; a shared ancestor ends
// the comparison early.
bool same_name(ImageState &image, const FsEntry &a, const FsEntry &b)
{
    for (const FsEntry *x = &a, *y = &b; x != y; x = &parent_of(image, *x), y = &parent_of(image, *y)) {
        if (x->name_length != y->name_length || x->component_length != y->component_length ||
            !equal_ignoring_case(component_of(image, *x), component_of(image, *y), x->component_length))
            return false;
        if (!has_separator(*x))
            return true;
    }
    return true;
}

// The first slot of the probe run for a hash.
uint32_t first_slot(ImageState &image, uint32_t hash)
{
    return hash & (image.name_index_slots - 1);
}

uint32_t next_slot(ImageState &image, uint32_t slot)
{
    return (slot + 1) & (image.name_index_slots - 1);
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

bool entry_matches(ImageState &image, const FsEntry &entry, const char *name, std::size_t length, bool directory)
{
    return entry.is_dir == directory && name_is(image, entry, name, length);
}

}  // namespace

std::string_view recorded_identifier(ImageState &image, const FsEntry &entry)
{
    const char *component = image.names.data() + entry.component_offset;
    if (entry.recorded_length == 0)
        return std::string_view(component, entry.component_length);
    return std::string_view(component + entry.component_length, entry.recorded_length);
}

std::size_t write_entry_name(ImageState &image, const FsEntry &entry, char (&text)[PATH_TEXT_SIZE])
{
    // Filled from the end: each component lies just before its child's '/'.
    const std::size_t length = entry.name_length;
    text[length] = '\0';
    for (const FsEntry *at = &entry;; at = &parent_of(image, *at)) {
        const std::size_t start = at->name_length - at->component_length;
        // An empty component (a root of no characters) may lie in an empty
        // pool, which has no bytes to copy from.
        if (at->component_length > 0)
            std::memcpy(text + start, component_of(image, *at), at->component_length);
        if (!has_separator(*at))
            break;
        text[start - 1] = '/';
    }
    return length;
}

const char *entry_name(ImageState &image, const FsEntry &entry)
{
    write_entry_name(image, entry, image.name_text);
    return image.name_text;
}

void build_name_index(ImageState &image)
{
    image.name_index_slots = index_slots_for(image.entry_count);
    const std::size_t count = static_cast<std::size_t>(image.entry_count);
    // The hash of each entry's name, for its children's to carry on from.
    std::unique_ptr<uint32_t[]> name_hashes(new (std::nothrow) uint32_t[count != 0 ? count : 1]);
    if (image.name_index_slots != 0 && name_hashes)
        image.name_index.reset(new (std::nothrow) int32_t[image.name_index_slots]);
    if (!image.name_index) {
        image.name_index_slots = 0;
        return;
    }
    for (uint32_t i = 0; i < image.name_index_slots; ++i)
        image.name_index[i] = -1;
    // Entries go in in table order, a parent before its children; a later
    // entry of a name already held is never the first match, so it is left
    // out.
    for (std::size_t i = 0; i < count; ++i) {
        const FsEntry &entry = image.entries[i];
        uint32_t hash = entry.parent >= 0 ? name_hashes[static_cast<std::size_t>(entry.parent)] : FNV_OFFSET_BASIS;
        if (has_separator(entry))
            hash = hash_bytes(hash, "/", 1);
        hash = hash_bytes(hash, component_of(image, entry), entry.component_length);
        name_hashes[i] = hash;
        uint32_t slot = first_slot(image, hash_with_kind(hash, entry.is_dir));
        for (;;) {
            int32_t &held = image.name_index[slot];
            if (held < 0) {
                held = static_cast<int32_t>(i);
                break;
            }
            const FsEntry &other = image.entries[static_cast<std::size_t>(held)];
            if (other.is_dir == entry.is_dir && same_name(image, other, entry))
                break;
            slot = next_slot(image, slot);
        }
    }
}

const FsEntry *find_entry(ImageState &image, const char *name, bool directory)
{
    const std::size_t length = std::strlen(name);
    if (length > MAX_ENTRY_NAME)
        return nullptr;
    if (image.name_index) {
        uint32_t slot = first_slot(image, hash_with_kind(hash_bytes(FNV_OFFSET_BASIS, name, length), directory));
        for (int32_t held; (held = image.name_index[slot]) >= 0; slot = next_slot(image, slot)) {
            const FsEntry &entry = image.entries[static_cast<std::size_t>(held)];
            if (entry_matches(image, entry, name, length, directory))
                return &entry;
        }
        return nullptr;
    }
    for (const FsEntry &entry : image.entries)
        if (entry_matches(image, entry, name, length, directory))
            return &entry;
    return nullptr;
}
