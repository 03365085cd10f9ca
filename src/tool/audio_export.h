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
// Gives the number of tracks that failed.
int export_audio_tracks(const char *out_dir);
// Removes the WAVE file being written, if any. Async-signal-safe, for a
// signal handler that then ends the process.
void discard_partial_wave();

#endif
