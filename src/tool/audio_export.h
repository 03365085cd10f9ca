// The tool's audio phase: every audio track of the open image as a RIFF
// WAVE file under "<out>/audio".
#ifndef CDUNPACK_AUDIO_EXPORT_H
#define CDUNPACK_AUDIO_EXPORT_H

#include <cstdint>
#include <cstdio>

// Writes the value as 4 bytes, least significant first.
void write_le32(std::FILE *stream, uint32_t value);
// Exports every audio track of the open image below out_dir, printing a
// duration line for each file written and naming each failure on stderr.
// No WAVE file replaces the image's own cue sheet (cue_path, as it was
// opened) or one of its track files. Gives the number of tracks that failed.
int export_audio_tracks(const char *out_dir, const char *cue_path);
// How far export_audio_tracks has got, for a progress display on another
// thread: the number of the track being written and its bytes written so
// far. 1 while a track is being written, else 0 (nothing written).
int audio_export_progress(int *track, uint64_t *bytes);
// Removes the WAVE file being written, if any. Async-signal-safe, for a
// signal handler that then ends the process.
void discard_partial_wave();

#endif
