/*
 * cdimage: reads one CD image, described by a cue sheet, at a time.
 *
 * The cue sheet names the track files (raw sectors in either byte order,
 * RIFF WAVE or Ogg Vorbis); the first track that is not audio is the data
 * track, and the ISO 9660 volume on it can be extracted file by file.
 * Files that CD-ROM XA records mark as Form 2 or interleaved come out (and
 * load) as RIFF CDXA: a 44-byte header, then their whole 2352-byte sectors.
 *
 * Limits: 99 track files, 99 tracks, 4096 volume entries (files and
 * directories together), directories 9 levels deep.
 *
 * Results: 1 for success and 0 for failure, a count, or a pointer that is
 * null on failure. A 0 from a query means either that no image is open or
 * that the track or entry is not there. Out-parameters are written only on
 * success. The module prints its own reasons for failure on standard error,
 * each line beginning "cdimage: ". It is not thread-safe: one caller at a
 * time.
 *
 * Operations:
 *   cdimage_open, cdimage_close, cdimage_is_open      the image
 *   cdimage_track_count, cdimage_track_number,
 *   cdimage_track_is_audio, cdimage_track_lba,
 *   cdimage_disc_sectors, cdimage_audio_extent        the tracks
 *   cdimage_extract_file, cdimage_extract_all,
 *   cdimage_load_file                                 the volume's files
 */
#ifndef CDIMAGE_H
#define CDIMAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the image of a cue sheet; files are extracted below out_dir. Any
 * image open before is closed first, whatever the result. */
int cdimage_open(const char *cue_path, const char *out_dir);
void cdimage_close(void);
int cdimage_is_open(void);

int cdimage_track_count(void);
/* The number of the track at a table position; answers from the last cue
 * sheet read, even while no image is open. */
int cdimage_track_number(int index);
int cdimage_track_is_audio(int number);
/* Disc-wide sector address of the track's INDEX 01. */
int cdimage_track_lba(int number);
int cdimage_disc_sectors(void);
/* Where the samples of an audio track lie: *path is borrowed from the module
 * and stays valid until the next cdimage_open; frames are 4 bytes each. */
int cdimage_audio_extent(int number, const char **path, uint64_t *offset, uint32_t *frames, int *big_endian);

/* Extracts one file, or creates one directory, by its name in the volume
 * (case ignored); out_path receives the path written. */
int cdimage_extract_file(const char *name, char *out_path, size_t out_size);
/* Extracts every file of the volume; gives the number extracted. */
int cdimage_extract_all(void);
/* Reads one file into a new buffer that the caller releases with free(). */
void *cdimage_load_file(const char *name, uint32_t *out_length);

#ifdef __cplusplus
}
#endif

#endif
