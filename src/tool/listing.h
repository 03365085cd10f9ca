// The listing of an image: its tracks and the files of its volume, one line
// each in fixed columns, read without writing anything to disk.
#ifndef CDUNPACK_LISTING_H
#define CDUNPACK_LISTING_H

#include <cstdint>
#include <cstddef>

// The cue sheet time "MM:SS:FF" of a sector count (75 sectors a second);
// minutes take more digits when they need them.
void format_msf(int64_t sectors, char *text, std::size_t size);
// Opens the image and prints its listing on standard output. Gives the exit
// code: 0, or 1 when the image does not open.
int list_image(const char *cue_path);

#endif
