/* The public header compiles as C99 and its operations link from C. */
#include <stdio.h>

#include "cdimage.h"

int main(void) {
    const char *path = "untouched";
    uint64_t offset = 1;
    uint32_t frames = 2;
    int big_endian = 3;
    uint32_t length = 4;
    int samples = CDIMAGE_SAMPLES_DECODED;
    uint32_t sample_rate = 5;
    char out_path[16] = "untouched";

    cdimage_close();
    if (cdimage_is_open() != 0 || cdimage_track_count() != 0 || cdimage_track_number(0) != 0 ||
        cdimage_track_is_audio(1) != 0 || cdimage_track_lba(1) != 0 || cdimage_disc_sectors() != 0) {
        fputs("a closed image answered a query\n", stderr);
        return 1;
    }
    if (cdimage_audio_extent(1, &path, &offset, &frames, &big_endian) != 0 || offset != 1 || frames != 2 ||
        big_endian != 3 || path[0] != 'u') {
        fputs("a closed image gave an audio extent\n", stderr);
        return 1;
    }
    if (cdimage_audio_format(1, &samples, &sample_rate) != 0 || samples != CDIMAGE_SAMPLES_DECODED ||
        sample_rate != 5 || CDIMAGE_SAMPLES_STORED == CDIMAGE_SAMPLES_BIG_ENDIAN) {
        fputs("a closed image gave an audio format\n", stderr);
        return 1;
    }
    if (cdimage_extract_all() != 0 || cdimage_extract_file("A.TXT", out_path, sizeof out_path) != 0 ||
        cdimage_load_file("A.TXT", &length) != NULL || length != 4) {
        fputs("a closed image gave a file\n", stderr);
        return 1;
    }
    if (cdimage_entry_count() != 0 || cdimage_entry_info(0, &path, &offset, &big_endian) != 0 || offset != 1 ||
        big_endian != 3 || path[0] != 'u') {
        fputs("a closed image listed an entry\n", stderr);
        return 1;
    }
    if (cdimage_open("/nonexistent/disc.cue", "out") != 0 || cdimage_is_open() != 0) {
        fputs("a missing cue sheet opened\n", stderr);
        return 1;
    }
    int line = -1;
    const char *reason = cdimage_open_reason(&line);
    if (reason == NULL || reason[0] == '\0' || line != 0) {
        fputs("a missing cue sheet gave no reason\n", stderr);
        return 1;
    }
    return 0;
}
