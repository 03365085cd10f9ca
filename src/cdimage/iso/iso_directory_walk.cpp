// The volume check at sector 16 and the walk of the ISO 9660 directory tree
// into the entry table.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "image_state.h"
#include "iso9660.h"
#include "printable_text.h"

namespace {


// Recording date (ISO 9660 9.1.5): years since 1900, month, day, hour,
// minute, second, offset from GMT in 15-minute units.
constexpr int DATE_MIN_GMT_OFFSET = -48;
constexpr int DATE_MAX_GMT_OFFSET = 52;
constexpr int64_t SECONDS_PER_MINUTE = 60;
constexpr int64_t SECONDS_PER_HOUR = 60 * SECONDS_PER_MINUTE;
constexpr int64_t SECONDS_PER_DAY = 24 * SECONDS_PER_HOUR;
constexpr int64_t SECONDS_PER_GMT_OFFSET_UNIT = 15 * SECONDS_PER_MINUTE;
constexpr int DATE_YEAR_OFFSET = 0;
constexpr int DATE_MONTH_OFFSET = 1;
constexpr int DATE_DAY_OFFSET = 2;
constexpr int DATE_HOUR_OFFSET = 3;
constexpr int DATE_MINUTE_OFFSET = 4;
constexpr int DATE_SECOND_OFFSET = 5;
constexpr int DATE_GMT_OFFSET_OFFSET = 6;
constexpr int64_t DATE_FIRST_YEAR = 1900;

// Directory sectors read per call at each level of the walk.
constexpr uint32_t WALK_RUN_SECTORS = 16;

// The end of a run of directory sectors already walked: one past its last.
// (A type of the module's own keeps the map's code out of the shared
// library's exports.)
struct WalkedEnd {
    uint64_t sector;
};

}  // namespace

// What one mount keeps while it walks.
struct WalkState {
    // Directory sectors already walked, as runs [first, end) keyed by first.
    std::map<uint32_t, WalkedEnd> walked;
    // Each level holds its own run, since a subdirectory is walked before the
    // rest of its parent's records are read.
    unsigned char runs[MAX_DIR_DEPTH + 1][WALK_RUN_SECTORS * DATA_SECTOR_SIZE];
};

namespace {

// The records of one directory that may still join a file recorded in
// several extents.
struct ExtentChain {
    bool open;   // the last record carried the multi-extent flag
    int entry;   // the entry its records join, or -1 when it was skipped
    std::size_t identifier_length;
    unsigned char identifier[MAX_IDENTIFIER];
};

void walk_directory(ImageState &image, int directory, FsExtent extent, int depth);

// A record of `length` bytes at `position` can be taken apart: it holds more
// than its fixed part and lies inside the sector. A zero length ends the
// sector's records.
bool record_fits(std::size_t position, std::size_t length)
{
    return length > DR_NAME_OFFSET && position + length <= DATA_SECTOR_SIZE;
}

// The records of a directory itself (identifier 0x00) and of its parent
// (0x01) make no entry.
bool is_self_or_parent_record(const unsigned char *record)
{
    return record[DR_NAME_LENGTH_OFFSET] == 1 &&
           (record[DR_NAME_OFFSET] == 0 || record[DR_NAME_OFFSET] == 1);
}

// The name of the directory whose entry is `directory` (-1 for the root, "/")
// as a message shows it: a copy, each control character as '?'.
std::string shown_directory(ImageState &image, int directory)
{
    return directory < 0 ? std::string("/")
                         : printable_text(entry_name(image, image.entries[static_cast<std::size_t>(directory)]));
}

// A loss of the walk (entries that are missing from the table) counts as a
// failure of the open image; its line names it.
void record_walk_loss(ImageState &image, const std::string &name, const std::string &reason)
{
    record_named(image, LedgerKind::ENTRY_LOST, name, reason);
}

// The rest of a directory is lost: its entries below the sector that could
// not be read are missing from the table.
void report_unread_directory(ImageState &image, int directory, uint32_t skipped)
{
    record_walk_loss(image, shown_directory(image, directory),
                     "directory cannot be read, " + decimal_text(skipped) + (skipped == 1 ? " sector" : " sectors") +
                         " skipped");
}

// The record carries on the file of the records before it: they carried the
// multi-extent flag and the identifier is the same.
bool continues_chain(const ExtentChain &chain, const unsigned char *identifier, std::size_t length)
{
    return chain.open && chain.identifier_length == length && std::memcmp(chain.identifier, identifier, length) == 0;
}

bool is_leap_year(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int64_t year, int month)
{
    static constexpr int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar, by
// the well-known "days from civil" algorithm (Howard Hinnant): the year is
// taken to begin on 1 March, so that the leap day ends it, and counted in
// eras of 400 years, each of the same length. Years here are 1900 or later,
// so no division meets a negative number.
int64_t days_since_epoch(int64_t year, int month, int day)
{
    constexpr int64_t YEARS_PER_ERA = 400;
    constexpr int64_t DAYS_PER_ERA = 146097;  // 400 * 365 + 97 leap days
    constexpr int64_t DAYS_PER_COMMON_YEAR = 365;
    constexpr int64_t YEARS_PER_LEAP_YEAR = 4;
    constexpr int64_t YEARS_PER_CENTURY = 100;  // a century's first year is no leap year, but an era's is
    // Months from March on come in runs of 153 days per 5 months (31, 30,
    // 31, 30, 31); the rounding term gives each month its first day.
    constexpr int64_t DAYS_PER_FIVE_MONTHS = 153;
    constexpr int64_t MONTHS_PER_RUN = 5;
    constexpr int64_t MONTH_ROUNDING = 2;
    constexpr int MARCH = 3;
    constexpr int MONTHS_PER_YEAR = 12;
    // Days from 0000-03-01, the first day of era 0, to 1970-01-01.
    constexpr int64_t EPOCH_DAYS_FROM_ERA_0 = 719468;

    year -= month < MARCH;
    const int64_t era = year / YEARS_PER_ERA;
    const int64_t year_of_era = year - era * YEARS_PER_ERA;
    const int64_t month_from_march = month >= MARCH ? month - MARCH : month - MARCH + MONTHS_PER_YEAR;
    const int64_t day_of_year = (DAYS_PER_FIVE_MONTHS * month_from_march + MONTH_ROUNDING) / MONTHS_PER_RUN + day - 1;
    const int64_t day_of_era = year_of_era * DAYS_PER_COMMON_YEAR + year_of_era / YEARS_PER_LEAP_YEAR -
                               year_of_era / YEARS_PER_CENTURY + day_of_year;
    return era * DAYS_PER_ERA + day_of_era - EPOCH_DAYS_FROM_ERA_0;
}

// The directory's sectors overlap none walked before, and are now taken:
// each directory sector is read at most once, whatever records point at it.
bool claim_directory_sectors(ImageState &image, const FsExtent &extent)
{
    const uint32_t first = extent.sector;
    const uint64_t end = static_cast<uint64_t>(first) + sectors_holding(extent.size);
    auto next = image.walk->walked.lower_bound(first);
    if (next != image.walk->walked.end() && next->first < end)
        return false;
    if (next != image.walk->walked.begin() && std::prev(next)->second.sector > first)
        return false;
    image.walk->walked.emplace_hint(next, first, WalkedEnd{end});
    return true;
}

// A pool offset of 32 bits can take `more` items behind `size`; a table past
// that is treated as memory running out.
void reserve_pool_room(std::size_t size, std::size_t more)
{
    if (size > UINT32_MAX - more)
        throw std::bad_alloc();
}

// An identifier as messages name it: its version (from ';') and one
// trailing '.' dropped, its bytes as recorded.
std::string_view recorded_form(const unsigned char *identifier, std::size_t length)
{
    std::string_view recorded(reinterpret_cast<const char *>(identifier), length);
    recorded = recorded.substr(0, recorded.find(';'));
    if (!recorded.empty() && recorded.back() == '.')
        recorded.remove_suffix(1);
    return recorded;
}

// Appends an entry for the record, named by its parent and its component;
// gives its position.
int append_entry(ImageState &image, int parent, std::size_t name_length, std::string_view component, const unsigned char *record,
                 bool is_dir, std::string_view recorded)
{
    if (recorded == component)
        recorded = {};
    reserve_pool_room(image.names.size(), component.size() + recorded.size());
    reserve_pool_room(image.extents.size(), 1);
    const FsExtent extent = {little_endian_32(record + DR_EXTENT_OFFSET), little_endian_32(record + DR_SIZE_OFFSET)};
    FsEntry entry{};
    entry.parent = parent;
    entry.component_offset = static_cast<uint32_t>(image.names.size());
    entry.component_length = static_cast<uint16_t>(component.size());
    entry.recorded_length = static_cast<uint16_t>(recorded.size());
    entry.name_length = static_cast<uint16_t>(name_length);
    entry.first_extent = static_cast<uint32_t>(image.extents.size());
    entry.extent_count = 1;
    entry.is_dir = is_dir;
    entry.size = extent.size;
    entry.has_time = recording_time(record + DR_DATE_OFFSET, entry.mtime);
    entry.has_xa = find_xa_record(record, record[DR_LENGTH_OFFSET], entry.xa_record);
    image.names.insert(image.names.end(), component.begin(), component.end());
    image.names.insert(image.names.end(), recorded.begin(), recorded.end());
    image.extents.push_back(extent);
    image.entries.push_back(entry);
    return image.entry_count++;
}

// Adds the record's extent to the file its chain joins, the last entry made.
void join_extent(ImageState &image, const ExtentChain &chain, const unsigned char *record)
{
    if (chain.entry < 0)
        return;
    reserve_pool_room(image.extents.size(), 1);
    FsEntry &entry = image.entries[static_cast<std::size_t>(chain.entry)];
    const uint32_t size = little_endian_32(record + DR_SIZE_OFFSET);
    image.extents.push_back({little_endian_32(record + DR_EXTENT_OFFSET), size});
    ++entry.extent_count;
    entry.size += size;
}

// No two extents of the entry share a sector. Extents that overlap would
// copy the same sectors again and again: a few kilobytes of records could
// make a file of gigabytes. A sorted copy keeps the check at n log n for a
// long chain.
bool extents_are_disjoint(ImageState &image, const FsEntry &entry)
{
    if (entry.extent_count < 2)
        return true;
    std::vector<FsExtent> sorted(entry_extents(image, entry), entry_extents(image, entry) + entry.extent_count);
    std::sort(sorted.begin(), sorted.end(),
              [](const FsExtent &a, const FsExtent &b) { return a.sector < b.sector; });
    uint64_t covered_end = 0;  // one past the last sector of the extents so far
    for (const FsExtent &extent : sorted) {
        const uint32_t sectors = sectors_holding(extent.size);
        if (sectors == 0)
            continue;
        if (extent.sector < covered_end)
            return false;
        covered_end = static_cast<uint64_t>(extent.sector) + sectors;
    }
    return true;
}

// The file the chain joined is whole: one whose extents overlap is damaged,
// named and taken out of the table again. It is the last entry made, since
// a file has nothing below it, so its component and extents are the pools'
// last.
void close_chain(ImageState &image, ExtentChain &chain)
{
    const int joined = chain.entry;
    chain.open = false;
    chain.entry = -1;
    if (joined < 0)
        return;
    const FsEntry entry = image.entries[static_cast<std::size_t>(joined)];
    if (extents_are_disjoint(image, entry))
        return;
    record_walk_loss(image, entry_name(image, entry), "extents overlap, not listed");
    image.entries.pop_back();
    image.extents.erase(image.extents.begin() + entry.first_extent, image.extents.end());
    image.names.erase(image.names.begin() + entry.component_offset, image.names.end());
    --image.entry_count;
}

void enter_record(ImageState &image, const unsigned char *sector, std::size_t record_start, int directory, int depth,
                  ExtentChain &chain)
{
    const unsigned char *record = sector + record_start;
    if (is_self_or_parent_record(record)) {
        close_chain(image, chain);
        return;
    }
    // The identifier length is not bounded by the record's: an identifier
    // that would run past the sector is cut at the sector's end.
    const unsigned char *identifier = record + DR_NAME_OFFSET;
    std::size_t identifier_length = record[DR_NAME_LENGTH_OFFSET];
    const std::size_t room = DATA_SECTOR_SIZE - (record_start + DR_NAME_OFFSET);
    if (identifier_length > room)
        identifier_length = room;
    const bool is_dir = (record[DR_FLAGS_OFFSET] & DR_FLAG_DIRECTORY) != 0;
    const bool more_extents = !is_dir && (record[DR_FLAGS_OFFSET] & DR_FLAG_MULTI_EXTENT) != 0;

    if (!is_dir && continues_chain(chain, identifier, identifier_length)) {
        join_extent(image, chain, record);
        if (!more_extents)
            close_chain(image, chain);
        return;
    }
    close_chain(image, chain);
    chain.open = more_extents;
    chain.identifier_length = identifier_length;
    std::memcpy(chain.identifier, identifier, identifier_length);

    const std::size_t parent_length =
        directory < 0 ? 0 : image.entries[static_cast<std::size_t>(directory)].name_length;
    char component[MAX_COMPONENT];
    std::size_t component_length = 0;
    std::string recorded;
    bool fits = false;
    switch (image.options.names) {
    case NameKind::ISO:
        recorded = std::string(recorded_form(identifier, identifier_length));
        fits = build_name_component(parent_length, identifier, identifier_length, component, component_length);
        break;
    case NameKind::JOLIET:
        recorded = joliet_recorded_form(identifier, identifier_length);
        fits = build_joliet_component(parent_length, recorded, component, component_length);
        break;
    }
    if (!fits) {
        // A cut name would name some other file: the entry is left out.
        const std::string_view shown_identifier =
            image.options.names == NameKind::ISO
                ? std::string_view(reinterpret_cast<const char *>(identifier), identifier_length)
                : std::string_view(recorded);
        record_walk_loss(image, shown_directory(image, directory) + ": " + printable_text(shown_identifier),
                         "name longer than " + decimal_text(MAX_ENTRY_NAME) + " characters, skipped");
        return;
    }
    const std::size_t name_length = parent_length + (parent_length != 0) + component_length;
    if (image.entry_count == MAX_FS_ENTRIES) {
        const std::string shown_component = printable_text(std::string_view(component, component_length));
        record_walk_loss(image, directory < 0 ? shown_component : shown_directory(image, directory) + "/" + shown_component,
                         "more entries than the table counts, not listed");
        return;
    }
    const int entry =
        append_entry(image, directory, name_length, std::string_view(component, component_length), record, is_dir,
                     recorded);
    chain.entry = entry;
    if (is_dir)
        walk_directory(image, entry, image.extents.back(), depth + 1);
}

// Takes the records of one directory sector apart, each in its turn; a
// record that does not fit ends the sector.
void walk_sector(ImageState &image, const unsigned char *sector, int directory, int depth, ExtentChain &chain)
{
    std::size_t position = 0;
    while (position < DATA_SECTOR_SIZE) {
        const std::size_t length = sector[position + DR_LENGTH_OFFSET];
        if (!record_fits(position, length))
            return;
        const std::size_t record_start = position;
        position += length;
        enter_record(image, sector, record_start, directory, depth, chain);
    }
}

// Walks the directory whose entry is `directory` (-1 for the root) at the
// given depth, entering every record below it. The extent is a copy: the
// pool it came from grows during the walk.
void walk_directory(ImageState &image, int directory, FsExtent extent, int depth)
{
    if (extent.size == 0)
        return;
    if (depth > MAX_DIR_DEPTH) {
        record_walk_loss(image, shown_directory(image, directory),
                         "deeper than " + decimal_text(MAX_DIR_DEPTH) + " directories, not followed");
        return;
    }
    if (!claim_directory_sectors(image, extent)) {
        record_named(image, LedgerKind::NOTE, shown_directory(image, directory), "directory already read, not followed");
        return;
    }
    unsigned char *run = image.walk->runs[depth];
    ExtentChain chain{};
    chain.entry = -1;
    SectorSpan span = sector_span(extent.sector, sectors_holding(extent.size));
    while (uint32_t got = read_next_piece(image, span, WALK_RUN_SECTORS, run))
        for (uint32_t k = 0; k < got; ++k)
            walk_sector(image, run + static_cast<std::size_t>(k) * DATA_SECTOR_SIZE, directory, depth, chain);
    close_chain(image, chain);
    if (span.failed)
        report_unread_directory(image, directory, span.left);
}

}  // namespace

bool build_name_component(std::size_t parent_length, const unsigned char *identifier, std::size_t identifier_length,
                          char (&component)[MAX_COMPONENT], std::size_t &length)
{
    // The component begins behind the parent's name and its '/'.
    const std::size_t component_start = parent_length + (parent_length != 0);
    if (component_start > MAX_ENTRY_NAME)
        return false;
    const std::size_t room = MAX_ENTRY_NAME - component_start;
    length = 0;
    // An identifier holds at most MAX_IDENTIFIER bytes, so the component fits
    // its buffer; one character more than the room is let in, as a last '.'
    // that is dropped below may stand there.
    for (std::size_t i = 0; i < identifier_length && i < MAX_IDENTIFIER; ++i) {
        unsigned char byte = identifier[i];
        if (byte == ';')
            break;
        if (length == room + 1)
            return false;
        if (byte >= 'a' && byte <= 'z')
            byte = static_cast<unsigned char>(byte - 'a' + 'A');
        // '/' or NUL inside an identifier would split or end the path.
        if (byte == '/' || byte == '\0')
            byte = '_';
        component[length++] = static_cast<char>(byte);
    }
    if (length != 0 && component[length - 1] == '.')
        --length;
    if (length > room)
        return false;

    // A component of dots alone ("." or "..") would lead out of its directory.
    if (length != 0 && std::all_of(component, component + length, [](char c) { return c == '.'; }))
        std::memset(component, '_', length);
    return true;
}

bool recording_time(const unsigned char *date, int64_t &seconds)
{
    const int64_t year = DATE_FIRST_YEAR + date[DATE_YEAR_OFFSET];
    const int month = date[DATE_MONTH_OFFSET];
    const int day = date[DATE_DAY_OFFSET];
    const int hour = date[DATE_HOUR_OFFSET];
    const int minute = date[DATE_MINUTE_OFFSET];
    const int second = date[DATE_SECOND_OFFSET];
    const int gmt_offset = static_cast<signed char>(date[DATE_GMT_OFFSET_OFFSET]);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 59 || gmt_offset < DATE_MIN_GMT_OFFSET || gmt_offset > DATE_MAX_GMT_OFFSET)
        return false;
    seconds = days_since_epoch(year, month, day) * SECONDS_PER_DAY + hour * SECONDS_PER_HOUR +
              minute * SECONDS_PER_MINUTE + second -
              gmt_offset * SECONDS_PER_GMT_OFFSET_UNIT;
    return true;
}

namespace {

// The track holds a volume: its sector 16 is a primary volume descriptor.
bool track_holds_volume(ImageState &image, const Track &track)
{
    unsigned char sector[DATA_SECTOR_SIZE];
    return !track.is_audio && track.length > 0 && !image.files[track.source.file].missing &&
           read_track_sector(image, track, VOLUME_DESCRIPTOR_SECTOR, sector) && is_volume_descriptor(sector, PRIMARY_DESCRIPTOR_TYPE);
}

// A disc written in sessions shows the volume of its last one, which holds
// the files of the earlier ones that it keeps: the volume read is that of
// the last data track that holds one. The layout's data track, the first,
// stays when no later one does.
void choose_volume_track(ImageState &image)
{
    for (int i = image.track_count - 1; i >= 0 && &image.tracks[i] != image.data_track; --i) {
        if (!track_holds_volume(image, image.tracks[i]))
            continue;
        // The handle held on the data track's file is for the first one's.
        image.data_file.reset();
        image.other_file.reset();
        image.data_track = &image.tracks[i];
        return;
    }
}

}  // namespace

void release_entries(ImageState &image)
{
    std::vector<FsEntry>().swap(image.entries);
    std::vector<FsExtent>().swap(image.extents);
    std::vector<char>().swap(image.names);
    image.name_text[0] = '\0';
    image.listed_name[0] = '\0';
    image.name_index.reset();
    image.name_index_slots = 0;
    image.entry_count = 0;
}

void mount_volume(ImageState &image, const char *cue_path)
{
    choose_volume_track(image);
    unsigned char sector[DATA_SECTOR_SIZE];
    if (!read_data_sector(image, VOLUME_DESCRIPTOR_SECTOR, sector) || !is_volume_descriptor(sector, PRIMARY_DESCRIPTOR_TYPE)) {
        record_line(image, LedgerKind::NOTE, cue_path, "has no ISO 9660 data track",
                    "cdimage: " + std::string(cue_path) + " has no ISO 9660 data track");
        return;
    }
    FsExtent root = {little_endian_32(sector + VD_ROOT_EXTENT_OFFSET),
                     little_endian_32(sector + VD_ROOT_SIZE_OFFSET)};
    image.volume_displacement = find_volume_displacement(image, root.sector);
    if (!choose_named_root(image, root))
        return;
    try {
        std::unique_ptr<WalkState> walk(new WalkState);
        image.walk = walk.get();
        walk_directory(image, -1, root, 0);
        image.walk = nullptr;
    } catch (const std::bad_alloc &) {
        image.walk = nullptr;
        // The entries made so far stay; the rest of the volume is not listed.
        record_walk_loss(image, cue_path,
                         "out of memory after " + decimal_text(image.entry_count) + " entries, the rest not listed");
    }
}
