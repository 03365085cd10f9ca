// The tool's audio phase: every audio track of the open image (the library's
// default handle) as a RIFF WAVE file under "<out>/audio".
#ifndef CDUNPACK_AUDIO_EXPORT_H
#define CDUNPACK_AUDIO_EXPORT_H

// Exports every audio track of the open image below out_dir, printing a
// duration line for each file written. Each failure is named in the image's
// ledger (and so on standard error while its messages are on). No WAVE file
// replaces the image's own cue sheet (cue_path, as it was opened) or one of
// its track files. Gives the number of tracks that failed.
int export_audio_tracks(const char *out_dir, const char *cue_path);
// Removes the WAVE file being written, if any. Async-signal-safe, for a
// signal handler that then ends the process.
void discard_partial_wave();

#endif
