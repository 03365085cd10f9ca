// The queries on an image's track table, whatever kind of image filled it.
#include "image_state.h"

namespace {

const Track *first_track_numbered(ImageState &image, int number)
{
    for (int i = 0; i < image.track_count; ++i)
        if (image.tracks[i].number == number)
            return &image.tracks[i];
    return nullptr;
}


// The first track of that number in the handle's open image; null when
// there is none.
const Track *open_track_numbered(cdimage_handle *handle, int number)
{
    if (handle == nullptr || !handle->image.is_open)
        return nullptr;
    return first_track_numbered(handle->image, number);
}


}  // namespace

extern "C" int cdimage_handle_track_count(cdimage_handle *handle)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    return image.is_open ? image.track_count : 0;
}

extern "C" int cdimage_handle_track_number(cdimage_handle *handle, int index)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (index < 0 || index >= image.track_count)
        return 0;
    return image.tracks[index].number;
}

extern "C" int cdimage_handle_track_is_audio(cdimage_handle *handle, int number)
{
    const Track *track = open_track_numbered(handle, number);
    return track != nullptr && track->is_audio;
}

extern "C" int cdimage_handle_track_lba(cdimage_handle *handle, int number)
{
    const Track *track = open_track_numbered(handle, number);
    if (track == nullptr)
        return 0;
    return static_cast<int>(static_cast<uint32_t>(track->disc_address));
}

extern "C" int cdimage_handle_track_info(cdimage_handle *handle, int index, int *number, const char **mode, int64_t *start, int64_t *sectors,
                                  const char **file)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open || index < 0 || index >= image.track_count)
        return 0;
    const Track &track = image.tracks[index];
    if (number != nullptr)
        *number = track.number;
    if (mode != nullptr)
        *mode = track.mode;
    if (start != nullptr)
        *start = track.disc_address;
    if (sectors != nullptr)
        *sectors = track.length;
    if (file != nullptr)
        *file = image.files[track.source.file].path;
    return 1;
}

extern "C" int cdimage_handle_disc_sectors(cdimage_handle *handle)
{
    if (handle == nullptr)
        return 0;
    ImageState &image = handle->image;
    if (!image.is_open)
        return 0;
    return static_cast<int>(static_cast<uint32_t>(image.disc_sectors));
}
