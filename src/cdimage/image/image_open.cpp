// The lifecycle of an image in its handle: the open, which picks the reader
// of the image's kind and then mounts the volume of the track table it
// fills, and the close.
#include <cstring>
#include <new>

#include "cue_sheet.h"
#include "image_state.h"
#include "printable_text.h"

namespace {

// The kinds of image the module reads.
enum class ImageKind {
    CUE_SHEET,
};

ImageKind image_kind_of(const char *)
{
    return ImageKind::CUE_SHEET;
}

// Ends whatever image was open: the held streams and the entry table go;
// the ledger stays readable until the next open.
void release_image(ImageState &image)
{
    image.data_file.reset();
    image.other_file.reset();
    image.volume_displacement = 0;
    release_entries(image);
    image.is_open = false;
    image.data_track_lost = false;
    image.own_files.clear();
    image.audio_reader.reset();
    image.reader_track = nullptr;
    image.audio_count = 0;
}

// Why the sheet was refused, when the reader gave a reason: recorded, not
// printed, for the caller shows it in its own words (cdimage_open_reason).
void record_refusal(ImageState &image, const char *cue_path)
{
    if (image.open_reason[0] == '\0')
        return;
    std::string text = printable_text(cue_path) + ": ";
    if (image.open_reason_line > 0)
        text += "line " + decimal_text(image.open_reason_line) + ": ";
    text += printable_text(image.open_reason);
    record_line(image, LedgerKind::OPEN_REFUSED, cue_path, image.open_reason, text, false);
}

// Fills the track table from a cue sheet and its track files; false when
// the open must fail, its reasons recorded.
bool read_cue_image(ImageState &image, const char *cue_path)
{
    CueSheet cue;
    if (!read_cue_sheet(image, cue_path, cue)) {
        record_refusal(image, cue_path);
        name_missing_track_files(image, cue);
        return false;
    }
    return lay_out_tracks(image, cue);
}

bool read_track_table(ImageState &image, const char *image_path)
{
    switch (image_kind_of(image_path)) {
    case ImageKind::CUE_SHEET:
        return read_cue_image(image, image_path);
    }
    return false;
}

}  // namespace

cdimage_handle g_default_handle;

extern "C" int cdimage_handle_open(cdimage_handle *handle, const char *cue_path, const char *out_dir)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    release_image(image);
    clear_ledger(image);
    image.cue_error = 0;
    image.open_reason[0] = '\0';
    image.open_reason_line = 0;
    if (cue_path == nullptr || out_dir == nullptr)
        return 0;
    if (!read_track_table(image, cue_path))
        return 0;
    build_audio_tracks(image);

    record_image_files(image, cue_path);
    // A lost data track is named already: it holds no volume to look for.
    if (image.data_track != nullptr && !image.data_track_lost)
        mount_volume(image, cue_path);
    // The volume lacks the names asked for: the mount gave its reason.
    if (image.open_reason[0] != '\0') {
        record_refusal(image, cue_path);
        release_image(image);
        return 0;
    }
    build_name_index(image);

    int written = std::snprintf(image.out_root, sizeof image.out_root, "%s", out_dir);
    image.out_root_is_cut = written < 0 || static_cast<std::size_t>(written) >= sizeof image.out_root;
    image.is_open = true;
    record_line(image, LedgerKind::NOTE, cue_path, "opened",
                "cdimage: " + std::string(cue_path) + ", " + decimal_text(image.track_count) + " tracks, " +
                    decimal_text(image.entry_count) + " files");
    return 1;
}

extern "C" void cdimage_handle_close(cdimage_handle *handle)
{
    if (handle != nullptr)
        release_image(handle->image);
}

extern "C" int cdimage_handle_is_open(cdimage_handle *handle)
{
    return handle != nullptr && handle->image.is_open ? 1 : 0;
}

extern "C" cdimage_handle *cdimage_handle_new(void)
{
    return new (std::nothrow) cdimage_handle();
}

extern "C" void cdimage_handle_free(cdimage_handle *handle)
{
    if (handle == nullptr)
        return;
    release_image(handle->image);
    delete handle;
}

extern "C" cdimage_handle *cdimage_default_handle(void)
{
    return &g_default_handle;
}

extern "C" int cdimage_handle_set_option(cdimage_handle *handle, int option, int value)
{
    if (handle == nullptr)
        return 0;
    ImageOptions &options = handle->image.options;
    switch (option) {
    case CDIMAGE_OPTION_MESSAGES:
        if (value != 0 && value != 1)
            return 0;
        options.messages = value == 1;
        return 1;
    case CDIMAGE_OPTION_WITHOUT_DATA_TRACK:
        if (value != 0 && value != 1)
            return 0;
        options.open_without_data_track = value == 1;
        return 1;
    case CDIMAGE_OPTION_NAMES:
        switch (value) {
        case CDIMAGE_NAMES_ISO:
            options.names = NameKind::ISO;
            return 1;
        case CDIMAGE_NAMES_JOLIET:
            options.names = NameKind::JOLIET;
            return 1;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

extern "C" int cdimage_handle_cue_error(cdimage_handle *handle)
{
    return handle != nullptr ? handle->image.cue_error : 0;
}

extern "C" const char *cdimage_handle_open_reason(cdimage_handle *handle, int *line)
{
    if (handle == nullptr || handle->image.open_reason[0] == '\0')
        return nullptr;
    if (line != nullptr)
        *line = handle->image.open_reason_line;
    return handle->image.open_reason;
}

extern "C" void cdimage_handle_discard_partial(cdimage_handle *handle)
{
    if (handle != nullptr)
        discard_partial_file(handle->image.partial);
}
