// The listing of an image: its tracks and the files of its volume, one line
// each in fixed columns, read without writing anything to disk.
#ifndef CDUNPACK_LISTING_H
#define CDUNPACK_LISTING_H

// Prints the listing of the open image on standard output: a heading and a
// line for each track, then a heading and a line for each volume entry.
void print_listing();

#endif
