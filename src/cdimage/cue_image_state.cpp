// The module's one image: its state record and its lifecycle.
#include <cstring>

#include "cdimage_internal.h"

ImageState g_image;

namespace {

// Ends whatever image was open: the held stream and the entry table go.
void release_image()
{
    g_image.data_file.reset();
    g_image.other_file.reset();
    g_image.volume_displacement = 0;
    release_entries();
    g_image.is_open = 0;
    g_image.walk_failures = 0;
    g_image.track_failures = 0;
    g_image.extraction_failures = 0;
    g_image.own_files.clear();
}

}  // namespace

extern "C" int cdimage_open(const char *cue_path, const char *out_dir)
{
    release_image();
    g_image.cue_error = 0;
    g_image.open_reason[0] = '\0';
    g_image.open_reason_line = 0;
    if (cue_path == nullptr || out_dir == nullptr)
        return 0;

    if (!read_cue_sheet(cue_path)) {
        name_missing_track_files();
        return 0;
    }
    if (!lay_out_tracks())
        return 0;

    record_image_files(cue_path);
    // A lost data track is named already: it holds no volume to look for.
    if (g_image.track_failures == 0)
        mount_volume(cue_path);
    build_name_index();

    int written = std::snprintf(g_image.out_root, sizeof g_image.out_root, "%s", out_dir);
    g_image.out_root_is_cut = written < 0 || static_cast<std::size_t>(written) >= sizeof g_image.out_root;
    g_image.is_open = 1;
    std::fprintf(stderr, "cdimage: %s, %d tracks, %d files\n", cue_path, g_image.track_count,
                 g_image.entry_count);
    return 1;
}

extern "C" void cdimage_close(void)
{
    release_image();
}

extern "C" int cdimage_is_open(void)
{
    return g_image.is_open;
}

extern "C" int cdimage_cue_error(void)
{
    return g_image.cue_error;
}

extern "C" const char *cdimage_open_reason(int *line)
{
    if (g_image.open_reason[0] == '\0')
        return nullptr;
    if (line != nullptr)
        *line = g_image.open_reason_line;
    return g_image.open_reason;
}

extern "C" int cdimage_failure_count(void)
{
    return g_image.is_open ? g_image.walk_failures + g_image.track_failures + g_image.extraction_failures : 0;
}

extern "C" void cdimage_discard_partial(void)
{
    discard_partial_file(g_image.partial);
}
