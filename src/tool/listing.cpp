#include "listing.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "cdimage.h"
#include "disc_time.h"
#include "printable_text.h"

namespace {

constexpr std::size_t MSF_TEXT_SIZE = 32;
constexpr std::size_t TIME_TEXT_SIZE = 32;

// Writes a name from the image as the rest of a line, its control
// characters shown as '?'.
void print_name_line(const char *name)
{
    std::printf("%s\n", printable_text(name).c_str());
}

// The header lines begin with '#', so that awk scripts can pass over them;
// every other line begins with its kind: track, file or dir.
void print_tracks()
{
    std::printf("#kind no  %-10s %8s  %-9s %8s  %-9s %s\n", "mode", "start", "start.msf", "sectors", "length",
                "file");
    for (int index = 0; index < cdimage_track_count(); ++index) {
        int number = 0;
        const char *mode = nullptr;
        const char *file = nullptr;
        int64_t start = 0, sectors = 0;
        if (!cdimage_track_info(index, &number, &mode, &start, &sectors, &file))
            continue;
        char start_msf[MSF_TEXT_SIZE], length_msf[MSF_TEXT_SIZE] = "-";
        format_disc_time(start, start_msf, sizeof start_msf);
        // A track whose file ends before it has no length to show.
        if (sectors >= 0)
            format_disc_time(sectors, length_msf, sizeof length_msf);
        std::printf("track %-3.2d %-10s %8" PRId64 "  %-9s %8" PRId64 "  %-9s ", number,
                    mode[0] != '\0' ? printable_text(mode).c_str() : "-", start, start_msf, sectors, length_msf);
        print_name_line(file);
    }
}

// The entry's recorded time as "2024-05-17T12:00:00Z" (UTC), or "-" when
// the volume holds no valid one.
void format_recorded_time(int index, char *text, std::size_t size)
{
    int64_t seconds = 0;
    if (cdimage_entry_time(index, &seconds)) {
        const time_t recorded = static_cast<time_t>(seconds);
        struct tm fields {};
        if (gmtime_r(&recorded, &fields) != nullptr && std::strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &fields) != 0)
            return;
    }
    std::snprintf(text, size, "-");
}

void print_entries()
{
    std::printf("#kind %12s  %-20s  %s\n", "size", "recorded", "name");
    for (int index = 0; index < cdimage_entry_count(); ++index) {
        const char *name = nullptr;
        uint64_t size = 0;
        int is_dir = 0;
        if (!cdimage_entry_info(index, &name, &size, &is_dir))
            continue;
        char recorded[TIME_TEXT_SIZE];
        format_recorded_time(index, recorded, sizeof recorded);
        std::printf("%-5s %12" PRIu64 "  %-20s  ", is_dir ? "dir" : "file", size, recorded);
        print_name_line(name);
    }
}

}  // namespace

void print_listing()
{
    print_tracks();
    print_entries();
}
