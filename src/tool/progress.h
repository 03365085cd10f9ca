// The progress line: while an image is unpacked onto a terminal, one line on
// standard error that rewrites itself a few times a second with the bytes
// done out of the total, the speed and the file being written.
//
// The module and the audio export publish how far they have got (plain
// atomic counters, see cdimage_extract_progress); a drawing thread reads
// them, so the copying itself never waits for the terminal. While the line
// is up, standard error and (when it is a terminal too) standard output pass
// through streams that erase the line before any message, so messages are
// never mixed into it.
#ifndef CDUNPACK_PROGRESS_H
#define CDUNPACK_PROGRESS_H

#include <cstddef>
#include <cstdint>

// Starts the line for the open image (its files and audio tracks make the
// total); the first drawing comes after a second, so a short run shows
// nothing. Call with the image open, before the extraction.
void start_progress();
// Removes the line and gives standard output and error back. Call before the
// image is closed.
void stop_progress();

// Erases the line if it is shown. Async-signal-safe, for a signal handler
// that then ends the process.
void erase_progress_line_on_signal();

// "312.4 MiB": bytes in the largest binary unit that keeps them below 1024.
void format_bytes(uint64_t bytes, char *text, std::size_t size);
// The line itself, at most `width` - 1 characters (a line as wide as the
// terminal would wrap); the file name loses its start when it does not fit.
void format_progress_line(uint64_t done, uint64_t total, uint64_t bytes_per_second, const char *name,
                          int width, char *text, std::size_t size);

#endif
