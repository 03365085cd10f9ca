/*
 * cdimage: reads CD images described by cue sheets, one in each handle.
 *
 * The cue sheet names the track files (raw sectors in either byte order,
 * RIFF WAVE, or compressed audio: Ogg Vorbis, FLAC, MP3, Opus); the first
 * track that is not audio is the data track, and the ISO 9660 volume on it
 * can be extracted file by file; the audio tracks' samples are read through
 * the library, decoded where the file is compressed.
 * Files that CD-ROM XA records mark as Form 2 or interleaved come out (and
 * load) as RIFF CDXA: a 44-byte header, then their whole 2352-byte sectors.
 *
 * Limits: cue sheets of 16 MiB, 99 track files, 99 tracks, track file
 * paths of 4095 bytes (the cue sheet's directory, '/' and the FILE name; a
 * longer one refuses the sheet, never cut). The volume's entries (files and
 * directories) have no fixed limit; names are at most 1023 characters (an
 * entry whose name would be longer is left out, with a message). The walk
 * follows directories down to 64 levels below the root, and reads each
 * directory once: a directory record that leads to a directory already read
 * (a loop) gets its entry but is not followed.
 *
 * Results: 1 for success and 0 for failure, a count, or a pointer that is
 * null on failure. A 0 from a query means either that no image is open or
 * that the track or entry is not there. Out-parameters are written only on
 * success.
 *
 * Handles. Every operation works on a handle, the state of one image: the
 * functions named cdimage_handle_* take one, created by cdimage_handle_new,
 * and the others work on the built-in default handle (cdimage_default_handle).
 * Handles share nothing: two threads may each use their own handle at the
 * same time. One handle serves one thread at a time, save
 * cdimage_handle_extract_progress and cdimage_handle_audio_progress, which
 * another thread may ask while an extraction or an audio write on the handle
 * runs; cdimage_handle_discard_partial is async-signal-safe, for a signal
 * handler. The default handle is a handle like the others: the functions
 * without a handle argument must not be used from two threads at once.
 *
 * The ledger. Everything an image meets goes into its handle's ledger, one
 * line each: why an open failed, each entry of the volume that its walk
 * lost, each file not written or read, each track lost, and notes that are
 * no loss (a directory already read, the summary of an open). With messages
 * on (the default) the module prints each line on standard error as it is
 * recorded, most beginning "cdimage: "; why a cue sheet was refused is only
 * recorded, for the caller to show (cdimage_open_reason). A caller that
 * writes the image's output itself may record its own losses there too.
 *
 * Operations:
 *   cdimage_open, cdimage_close, cdimage_is_open      the image
 *   cdimage_track_count, cdimage_track_number,
 *   cdimage_track_is_audio, cdimage_track_lba,
 *   cdimage_disc_sectors, cdimage_audio_extent,
 *   cdimage_audio_format, cdimage_track_info          the tracks
 *   cdimage_extract_file, cdimage_extract_all,
 *   cdimage_load_file, cdimage_extract_progress       the volume's files
 *   cdimage_entry_count, cdimage_entry_info,
 *   cdimage_entry_time                                the volume's listing
 *   cdimage_cue_error, cdimage_open_reason,
 *   cdimage_failure_count, cdimage_discard_partial    what went wrong
 *   cdimage_handle_new, cdimage_handle_free,
 *   cdimage_handle_set_option, cdimage_default_handle,
 *   cdimage_handle_* for every operation above       handles
 *   cdimage_handle_audio_frames, _read_audio,
 *   _write_audio, _audio_progress (and cdimage_audio_frames, ...
 *   on the default handle)                            audio samples
 *   cdimage_handle_ledger_count, cdimage_handle_ledger_line,
 *   cdimage_handle_record_loss                        the ledger
 *
 * Files are created below the output directory only: relative to its
 * descriptor, one component at a time, never following a symbolic link. A
 * file already there is removed and a new one created in its place, so no
 * other name of it is written through; the image's own cue sheet and track
 * files are never replaced.
 *
 * Shared and static builds: define nothing; the library itself is built
 * with CDIMAGE_BUILDING so that only the functions declared here are
 * exported.
 */
#ifndef CDIMAGE_H
#define CDIMAGE_H

#include <stddef.h>
#include <stdint.h>

#if defined(CDIMAGE_BUILDING) && defined(__GNUC__)
#define CDIMAGE_API __attribute__((visibility("default")))
#else
#define CDIMAGE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the image of a cue sheet; files are extracted below out_dir. Any
 * image open before is closed first, whatever the result. */
CDIMAGE_API int cdimage_open(const char *cue_path, const char *out_dir);
CDIMAGE_API void cdimage_close(void);
CDIMAGE_API int cdimage_is_open(void);

CDIMAGE_API int cdimage_track_count(void);
/* The number of the track at a table position; answers from the last cue
 * sheet read, even while no image is open. */
CDIMAGE_API int cdimage_track_number(int index);
CDIMAGE_API int cdimage_track_is_audio(int number);
/* Disc-wide sector address of the track's INDEX 01. */
CDIMAGE_API int cdimage_track_lba(int number);
CDIMAGE_API int cdimage_disc_sectors(void);
/* Where the samples of an audio track lie: *path is borrowed from the module
 * and stays valid until the next cdimage_open; frames are 4 bytes each. */
CDIMAGE_API int cdimage_audio_extent(int number, const char **path, uint64_t *offset, uint32_t *frames,
                                     int *big_endian);
/* The track at table position `index` (0 .. count-1), for a listing: its
 * number, its mode word in upper case ("AUDIO", "MODE1/2352", ...), the
 * disc-wide sector address of its INDEX 01, its length in sectors (0 or
 * less when its file ends before it) and the path of its file. The texts are
 * borrowed until the next cdimage_open or cdimage_close. Any out-parameter
 * may be null. 0 when no image is open or the index is out of range. */
CDIMAGE_API int cdimage_track_info(int index, int *number, const char **mode, int64_t *start, int64_t *sectors,
                                   const char **file);

/* How the samples of an audio track's file are read (cdimage_audio_format). */
enum {
    CDIMAGE_SAMPLES_STORED = 0,     /* 16-bit stereo, least significant byte first:
                                     * copy frames from the extent's offset */
    CDIMAGE_SAMPLES_BIG_ENDIAN = 1, /* the same, most significant byte first:
                                     * swap the two bytes of every sample */
    CDIMAGE_SAMPLES_DECODED = 2     /* compressed, or a WAVE of another sample
                                     * format: the library decodes it
                                     * (cdimage_read_audio); the extent's offset
                                     * / 4 and frames count decoded frames */
};
/* For the same track as cdimage_audio_extent: *samples, one of the values
 * above, and *sample_rate, the rate of the track file's own samples (44100
 * for raw files; no resampling is implied). 1 on success, 0 when
 * cdimage_audio_extent would give 0. */
CDIMAGE_API int cdimage_audio_format(int number, int *samples, uint32_t *sample_rate);

/* Extracts one file, or creates one directory, by its name in the volume
 * (case ignored); out_path receives the path written. A file recorded in
 * several extents comes out as one, and gets the modification time recorded
 * for it. A file already there is left alone only when its size and its
 * modification time are the entry's (or the entry has no valid date).
 * Nothing is created, the output directory included, when out_path cannot
 * hold the path or the file's sectors lie where no track can be read. */
CDIMAGE_API int cdimage_extract_file(const char *name, char *out_path, size_t out_size);
/* Extracts every file of the volume; gives the number extracted. An entry
 * whose output path an earlier entry of the same call was written to is
 * named and counted as a failure, not written. */
CDIMAGE_API int cdimage_extract_all(void);
/* Reads one file into a new buffer that the caller releases with free();
 * null for a file of 4 GiB or more. A file that cannot be read gives null,
 * named on standard error and counted by cdimage_failure_count. */
CDIMAGE_API void *cdimage_load_file(const char *name, uint32_t *out_length);
/* How far the extraction running now has got: the table index of the entry
 * being extracted and the bytes of it written so far. 1 while
 * cdimage_extract_all or cdimage_extract_file runs, else 0 (nothing
 * written). The one function that may be called from another thread while
 * another of the module's runs, so that a caller can show progress. */
CDIMAGE_API int cdimage_extract_progress(int *entry, uint64_t *bytes);

/* Number of entries (files and directories) of the open image's volume; 0
 * when no image is open. */
CDIMAGE_API int cdimage_entry_count(void);
/* Entry `index` (0 .. count-1) in table order: *name, its whole path in the
 * volume, is built on demand into a buffer of the image and borrowed from it:
 * valid until the next cdimage_entry_info, cdimage_open or cdimage_close
 * (copy it to keep two names at once; other calls leave it alone). *size in
 * bytes, *is_dir 1 for a directory. 1 on success; 0 (nothing written) when
 * no image is open or the index is out of range. Any out-parameter may be
 * null. */
CDIMAGE_API int cdimage_entry_info(int index, const char **name, uint64_t *size, int *is_dir);

/* The modification time recorded for the entry at a table position (0 to
 * the count of files and directories less one), in seconds since the Unix
 * epoch, UTC; 0, and nothing written, when the record holds no valid date. */
CDIMAGE_API int cdimage_entry_time(int index, int64_t *mtime);

/* Why the last cdimage_open could not read its cue sheet: 0 when it could
 * (the open may still have failed later, on its lines, a track file or the
 * tracks), the errno of the failed open or read, or CDIMAGE_NOT_A_CUE_SHEET
 * when the file is no cue sheet: not a regular file (a FIFO is never waited
 * for), larger than 16 MiB, a NUL byte anywhere, or no FILE line beginning
 * in its first 64 KiB. A sheet in UTF-16 with its byte-order mark is read as
 * text. */
#define CDIMAGE_NOT_A_CUE_SHEET (-1)
CDIMAGE_API int cdimage_cue_error(void);
/* Why the last cdimage_open refused its cue sheet, as a short text borrowed
 * until the next cdimage_open: the errno text or "not a cue sheet" of
 * cdimage_cue_error, or what is wrong with the sheet's lines (a FILE line
 * without its name or its closing quote, a 100th FILE or TRACK line, an
 * INDEX 00 or 01 without a time mm:ss:ff, a track without INDEX 01, a track
 * file path longer than 4095 bytes, no track, no data track). *line (when
 * not null) receives the number of the sheet's line at fault, counted from
 * 1, or 0 when no single line is. Null, *line untouched, when the open gave
 * no such reason: it succeeded, or failed on something the module named in
 * its ledger itself (a missing track file). The text may quote the sheet:
 * filter control characters before showing it. */
CDIMAGE_API const char *cdimage_open_reason(int *line);
/* Failures met by the open image: what the open lost (a data track whose
 * file is missing or holds none of its sectors; what the walk of the volume
 * lost: a directory that could not be read, one too deep to follow, an entry
 * whose name would not fit, entries left out for want of memory), the audio
 * tracks not written (cdimage_write_audio, cdimage_handle_record_loss), plus
 * the files that the last extraction or load call could not write or read.
 * Each is a line of the ledger. 0 when no image is open. */
CDIMAGE_API int cdimage_failure_count(void);
/* Removes the file that an extraction is writing at this moment, if any, so
 * that nothing half-written is left behind. For a signal handler: it is
 * async-signal-safe, and the caller then ends the process. */
CDIMAGE_API void cdimage_discard_partial(void);

/* Handles. */
typedef struct cdimage_handle cdimage_handle;
/* A new handle, no image open in it and every option at its default; null
 * when memory runs out. */
CDIMAGE_API cdimage_handle *cdimage_handle_new(void);
/* Closes the handle's image and releases the handle; null is ignored. */
CDIMAGE_API void cdimage_handle_free(cdimage_handle *handle);
/* The handle that the functions without a handle argument work on. It is
 * never freed. */
CDIMAGE_API cdimage_handle *cdimage_default_handle(void);

/* Options, set on a handle before an open: each open uses the values set
 * then. 1 when the option is known and the value allowed, else 0 (nothing
 * changed). */
enum {
    CDIMAGE_OPTION_MESSAGES = 1,          /* 1 (the default): the ledger's lines
                                           * also go to standard error; 0: they
                                           * are only recorded */
    CDIMAGE_OPTION_WITHOUT_DATA_TRACK = 2, /* 1: an image whose tracks are all
                                            * audio opens, with no entries; 0
                                            * (the default): it is refused */
    CDIMAGE_OPTION_NAMES = 3               /* which names the volume's entries
                                            * take: a CDIMAGE_NAMES_* value */
};
/* Values of CDIMAGE_OPTION_NAMES.
 * CDIMAGE_NAMES_ISO (the default): the ISO 9660 identifiers, upper case,
 * their version (";1") and one trailing '.' dropped.
 * CDIMAGE_NAMES_JOLIET: the Joliet identifiers of the volume's supplementary
 * descriptor (escape sequence %/@, %/C or %/E) as UTF-8, case kept, their
 * version and one trailing '.' dropped; an unpaired surrogate or a lone last
 * byte becomes U+FFFD. A volume without Joliet names does not open: the
 * open fails with the reason "the volume has no Joliet names"
 * (cdimage_open_reason).
 * Under either, '/' and NUL in an identifier become '_', and so do the dots
 * of a name of dots alone; lookups by name ignore the case of ASCII
 * letters. */
enum {
    CDIMAGE_NAMES_ISO = 0,
    CDIMAGE_NAMES_JOLIET = 1
};
CDIMAGE_API int cdimage_handle_set_option(cdimage_handle *handle, int option, int value);

/* The operations above on a given handle; the same arguments and results.
 * A null handle is a handle with no image open. */
CDIMAGE_API int cdimage_handle_open(cdimage_handle *handle, const char *cue_path, const char *out_dir);
CDIMAGE_API void cdimage_handle_close(cdimage_handle *handle);
CDIMAGE_API int cdimage_handle_is_open(cdimage_handle *handle);
CDIMAGE_API int cdimage_handle_track_count(cdimage_handle *handle);
CDIMAGE_API int cdimage_handle_track_number(cdimage_handle *handle, int index);
CDIMAGE_API int cdimage_handle_track_is_audio(cdimage_handle *handle, int number);
CDIMAGE_API int cdimage_handle_track_lba(cdimage_handle *handle, int number);
CDIMAGE_API int cdimage_handle_disc_sectors(cdimage_handle *handle);
CDIMAGE_API int cdimage_handle_audio_extent(cdimage_handle *handle, int number, const char **path,
                                            uint64_t *offset, uint32_t *frames, int *big_endian);
CDIMAGE_API int cdimage_handle_audio_format(cdimage_handle *handle, int number, int *samples,
                                            uint32_t *sample_rate);
CDIMAGE_API int cdimage_handle_track_info(cdimage_handle *handle, int index, int *number, const char **mode,
                                          int64_t *start, int64_t *sectors, const char **file);
CDIMAGE_API int cdimage_handle_extract_file(cdimage_handle *handle, const char *name, char *out_path,
                                            size_t out_size);
CDIMAGE_API int cdimage_handle_extract_all(cdimage_handle *handle);
CDIMAGE_API void *cdimage_handle_load_file(cdimage_handle *handle, const char *name, uint32_t *out_length);
CDIMAGE_API int cdimage_handle_extract_progress(cdimage_handle *handle, int *entry, uint64_t *bytes);
CDIMAGE_API int cdimage_handle_entry_count(cdimage_handle *handle);
CDIMAGE_API int cdimage_handle_entry_info(cdimage_handle *handle, int index, const char **name, uint64_t *size,
                                          int *is_dir);
CDIMAGE_API int cdimage_handle_entry_time(cdimage_handle *handle, int index, int64_t *mtime);
CDIMAGE_API int cdimage_handle_cue_error(cdimage_handle *handle);
CDIMAGE_API const char *cdimage_handle_open_reason(cdimage_handle *handle, int *line);
CDIMAGE_API int cdimage_handle_failure_count(cdimage_handle *handle);
CDIMAGE_API void cdimage_handle_discard_partial(cdimage_handle *handle);

/* Audio, read through the library: every audio track's samples as 16-bit
 * little-endian stereo frames (4 bytes each) at the rate of its file's own
 * samples, whatever the file holds (raw samples in either byte order, RIFF
 * WAVE, or compressed audio that the library decodes: Ogg Vorbis, FLAC, MP3,
 * Opus, WAVE of another sample format). Decoded audio is made 16-bit stereo:
 * a mono file on both channels, more channels mixed down to their mean on
 * both, wider and float samples rounded to the nearest 16-bit value (ties
 * upwards) and clipped at full scale. */
/* The frames the track gives now (what its file holds from the track's
 * start, at most the extent's frames) and their rate. 0 when the number is
 * no audio track, or when the track cannot be read: then the ledger says
 * "track NN: read failed". */
CDIMAGE_API int cdimage_handle_audio_frames(cdimage_handle *handle, int number, uint32_t *frames,
                                            uint32_t *sample_rate);
/* Reads up to `frames` frames from frame `first` of the track on into
 * `buffer` (4 bytes a frame); gives the frames read: fewer at the track's
 * end, or where its file cannot be read or decoded. Reads that go on from
 * where the last one stopped cost a decoder no search. */
CDIMAGE_API uint32_t cdimage_handle_read_audio(cdimage_handle *handle, int number, uint64_t first, void *buffer,
                                               uint32_t frames);
/* What cdimage_handle_write_audio achieved. */
enum {
    CDIMAGE_AUDIO_NOT_WRITTEN = 0, /* the track cannot be read, or a write failed */
    CDIMAGE_AUDIO_WHOLE = 1,       /* every frame (fewer only when a raw file was
                                    * cut since it was measured) */
    CDIMAGE_AUDIO_CUT_SHORT = 2    /* the decoder stopped before the frames its
                                    * file states: those before are written */
};
/* Writes up to `frames` frames of the track, from its first on, to the
 * descriptor at its position (raw little-endian samples copied inside the
 * kernel where the files allow); *written (when not null) receives the
 * frames written. Losses go into the ledger (kind CDIMAGE_LINE_TRACK_LOST):
 * "track NN: read failed", "<name>: <errno text>" for a failed write (`name`
 * names the output in that line), "track NN: does not decode past m:ss". */
CDIMAGE_API int cdimage_handle_write_audio(cdimage_handle *handle, int number, int fd, const char *name,
                                           uint32_t frames, uint32_t *written);
/* While cdimage_handle_write_audio runs: the number of the track and its
 * bytes written so far, 1; else 0. May be asked from another thread. */
CDIMAGE_API int cdimage_handle_audio_progress(cdimage_handle *handle, int *track, uint64_t *bytes);
/* The same four on the default handle. */
CDIMAGE_API int cdimage_audio_frames(int number, uint32_t *frames, uint32_t *sample_rate);
CDIMAGE_API uint32_t cdimage_read_audio(int number, uint64_t first, void *buffer, uint32_t frames);
CDIMAGE_API int cdimage_write_audio(int number, int fd, const char *name, uint32_t frames, uint32_t *written);
CDIMAGE_API int cdimage_audio_progress(int *track, uint64_t *bytes);

/* The ledger. What a line is about: */
enum {
    CDIMAGE_LINE_NOTE = 0,         /* no loss: a note, the summary of an open */
    CDIMAGE_LINE_OPEN_REFUSED = 1, /* why the open failed */
    CDIMAGE_LINE_ENTRY_LOST = 2,   /* entries of the volume that the walk lost */
    CDIMAGE_LINE_FILE_LOST = 3,    /* a file of the volume not written or read */
    CDIMAGE_LINE_TRACK_LOST = 4    /* a track lost: the data track, or an audio
                                    * track not written */
};
/* The lines recorded since the handle's last open began (its failures
 * included): they stay readable after a failed open and after the close,
 * until the next open. */
CDIMAGE_API int cdimage_handle_ledger_count(cdimage_handle *handle);
/* Line `index` (0 .. count-1) in the order recorded: *kind, one of the
 * values above; *name, the cue sheet, track file, entry, track ("track 02")
 * or output file it is about; *reason, what happened to it; *text, the whole
 * line as it is printed, without its newline and with the image's control
 * characters filtered out. The texts are borrowed until the next open of the
 * handle; *name and *reason may hold the image's own bytes: filter them
 * before showing them. Any out-parameter may be null. 0 when the index is out of
 * range. */
CDIMAGE_API int cdimage_handle_ledger_line(cdimage_handle *handle, int index, int *kind, const char **name,
                                           const char **reason, const char **text);
/* Records a loss that the caller met while writing the image's output (kind
 * CDIMAGE_LINE_FILE_LOST or CDIMAGE_LINE_TRACK_LOST), so that the ledger and
 * cdimage_handle_failure_count tell the whole run: its text is "<name>:
 * <reason>", printed on standard error when the handle's messages are on.
 * 1 on success; 0 for another kind, a null text or no image open. */
CDIMAGE_API int cdimage_handle_record_loss(cdimage_handle *handle, int kind, const char *name, const char *reason);

#ifdef __cplusplus
}
#endif

#endif
