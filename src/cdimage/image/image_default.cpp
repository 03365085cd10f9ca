// The operations without a handle argument: each works on the built-in
// default handle, so that callers of one image at a time need no handle.
#include "image_state.h"

extern cdimage_handle g_default_handle;

extern "C" int cdimage_open(const char *cue_path, const char *out_dir)
{
    return cdimage_handle_open(&g_default_handle, cue_path, out_dir);
}

extern "C" void cdimage_close(void)
{
    cdimage_handle_close(&g_default_handle);
}

extern "C" int cdimage_is_open(void)
{
    return cdimage_handle_is_open(&g_default_handle);
}

extern "C" int cdimage_track_count(void)
{
    return cdimage_handle_track_count(&g_default_handle);
}

extern "C" int cdimage_track_number(int index)
{
    return cdimage_handle_track_number(&g_default_handle, index);
}

extern "C" int cdimage_track_is_audio(int number)
{
    return cdimage_handle_track_is_audio(&g_default_handle, number);
}

extern "C" int cdimage_track_lba(int number)
{
    return cdimage_handle_track_lba(&g_default_handle, number);
}

extern "C" int cdimage_disc_sectors(void)
{
    return cdimage_handle_disc_sectors(&g_default_handle);
}

extern "C" int cdimage_audio_extent(int number, const char **path, uint64_t *offset, uint32_t *frames,
                                    int *big_endian)
{
    return cdimage_handle_audio_extent(&g_default_handle, number, path, offset, frames, big_endian);
}

extern "C" int cdimage_audio_format(int number, int *samples, uint32_t *sample_rate)
{
    return cdimage_handle_audio_format(&g_default_handle, number, samples, sample_rate);
}

extern "C" int cdimage_track_info(int index, int *number, const char **mode, int64_t *start, int64_t *sectors,
                                  const char **file)
{
    return cdimage_handle_track_info(&g_default_handle, index, number, mode, start, sectors, file);
}

extern "C" int cdimage_extract_file(const char *name, char *out_path, size_t out_size)
{
    return cdimage_handle_extract_file(&g_default_handle, name, out_path, out_size);
}

extern "C" int cdimage_extract_all(void)
{
    return cdimage_handle_extract_all(&g_default_handle);
}

extern "C" void *cdimage_load_file(const char *name, uint32_t *out_length)
{
    return cdimage_handle_load_file(&g_default_handle, name, out_length);
}

extern "C" int cdimage_extract_progress(int *entry, uint64_t *bytes)
{
    return cdimage_handle_extract_progress(&g_default_handle, entry, bytes);
}

extern "C" int cdimage_entry_count(void)
{
    return cdimage_handle_entry_count(&g_default_handle);
}

extern "C" int cdimage_entry_info(int index, const char **name, uint64_t *size, int *is_dir)
{
    return cdimage_handle_entry_info(&g_default_handle, index, name, size, is_dir);
}

extern "C" int cdimage_entry_time(int index, int64_t *mtime)
{
    return cdimage_handle_entry_time(&g_default_handle, index, mtime);
}

extern "C" int cdimage_cue_error(void)
{
    return cdimage_handle_cue_error(&g_default_handle);
}

extern "C" const char *cdimage_open_reason(int *line)
{
    return cdimage_handle_open_reason(&g_default_handle, line);
}

extern "C" int cdimage_failure_count(void)
{
    return cdimage_handle_failure_count(&g_default_handle);
}

extern "C" void cdimage_discard_partial(void)
{
    cdimage_handle_discard_partial(&g_default_handle);
}

extern "C" int cdimage_audio_frames(int number, uint32_t *frames, uint32_t *sample_rate)
{
    return cdimage_handle_audio_frames(&g_default_handle, number, frames, sample_rate);
}

extern "C" uint32_t cdimage_read_audio(int number, uint64_t first, void *buffer, uint32_t frames)
{
    return cdimage_handle_read_audio(&g_default_handle, number, first, buffer, frames);
}

extern "C" int cdimage_write_audio(int number, int fd, const char *name, uint32_t frames, uint32_t *written)
{
    return cdimage_handle_write_audio(&g_default_handle, number, fd, name, frames, written);
}

extern "C" int cdimage_audio_progress(int *track, uint64_t *bytes)
{
    return cdimage_handle_audio_progress(&g_default_handle, track, bytes);
}
