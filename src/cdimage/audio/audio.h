// The audio side of the cdimage module: one record per audio track (its
// format, rate, frames and where they are read from), the reading of any
// audio track as 16-bit little-endian stereo frames, and the decoder behind
// compressed track files. Nothing here is part of the public interface.
#ifndef CDIMAGE_AUDIO_H
#define CDIMAGE_AUDIO_H

#include <cstddef>
#include <cstdint>

#include "disc.h"

struct ImageState;

// One audio track, as the audio queries and reads take it.
struct AudioTrack {
    int number;
    int file;              // in ImageState::files
    TrackFormat format;
    uint32_t sample_rate;  // the file's own: nothing is resampled
    uint32_t frames;       // from the track's first frame to its end
    uint64_t start;        // the byte of its first frame; for a decoded file,
                           // the decoded frames before it times 4
};

// Fills the image's audio table from its track table: a record for each
// audio track of 1 to 2^32 - 1 frames.
void build_audio_tracks(ImageState &image);

// The reader of one track's frames, held by the image between reads.
struct AudioReader;
struct AudioReaderCloser {
    void operator()(AudioReader *reader) const;
};

// Opens a reader on the track's frames from frame `first` on: null when its
// file cannot be read or decoded. `available` receives the frames the file
// holds from there to the track's end, as it is now (a file may have been
// cut since the open).
AudioReader *open_audio_reader(ImageState &image, const AudioTrack &track, uint64_t first, uint64_t &available);
// Reads the next frames as 16-bit little-endian stereo; fewer than asked
// only at the end of the file or where it cannot be read or decoded.
uint32_t read_audio_frames(AudioReader &reader, unsigned char *buffer, uint32_t frames);
// A descriptor whose bytes from `position` on are the frames as they come
// out (raw samples in little-endian order), for a copy inside the kernel;
// -1 for frames that must be swapped or decoded.
int stored_frames_descriptor(const AudioReader &reader, uint64_t &position);
// Whether the frames come from the decoder.
bool reads_decoded_frames(const AudioReader &reader);

// What the decoder makes of a file.
struct DecodedMeasure {
    int error;  // 0, or libsndfile's error number when the file does not decode
    int64_t frames;
    uint32_t sample_rate;
};
// Measures a file through the decoder from its first byte: the descriptor
// is the caller's (the decoder works on a copy of it). A stream whose header
// does not state its length is decoded to its end to count its frames.
DecodedMeasure measure_decoded_file(int fd);

#endif
