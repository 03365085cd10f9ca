/* The public header compiles as C99 and its operations link from C: the
 * functions without a handle, and the handles, their options and ledgers. */
#include <stdio.h>
#include <string.h>

#include "cdimage.h"

/* A handle of its own: options, a failed open, its ledger and reason. */
static int handle_answers(void) {
    cdimage_handle *handle = cdimage_handle_new();
    if (handle == NULL || handle == cdimage_default_handle() || cdimage_default_handle() == NULL) {
        fputs("no handle of its own\n", stderr);
        return 1;
    }
    if (cdimage_handle_set_option(handle, CDIMAGE_OPTION_MESSAGES, 0) != 1 ||
        cdimage_handle_set_option(handle, CDIMAGE_OPTION_WITHOUT_DATA_TRACK, 1) != 1 ||
        cdimage_handle_set_option(handle, CDIMAGE_OPTION_WITHOUT_DATA_TRACK, 0) != 1 ||
        cdimage_handle_set_option(handle, 99, 1) != 0 ||
        cdimage_handle_set_option(handle, CDIMAGE_OPTION_MESSAGES, 2) != 0) {
        fputs("options answered wrong\n", stderr);
        return 1;
    }
    if (cdimage_handle_open(handle, "/nonexistent/disc.cue", "out") != 0 || cdimage_handle_is_open(handle) != 0 ||
        cdimage_handle_cue_error(handle) == 0) {
        fputs("a missing cue sheet opened on a handle\n", stderr);
        return 1;
    }
    int kind = -1;
    const char *name = NULL;
    const char *why = NULL;
    const char *text = NULL;
    int line = -1;
    const char *reason = cdimage_handle_open_reason(handle, &line);
    if (cdimage_handle_ledger_count(handle) != 1 || cdimage_handle_ledger_line(handle, 0, &kind, &name, &why, &text) != 1 ||
        kind != CDIMAGE_LINE_OPEN_REFUSED || strcmp(name, "/nonexistent/disc.cue") != 0 || reason == NULL ||
        strcmp(why, reason) != 0 || line != 0 || strstr(text, reason) == NULL ||
        cdimage_handle_ledger_line(handle, 1, &kind, &name, &why, &text) != 0) {
        fputs("the ledger did not say why the open failed\n", stderr);
        return 1;
    }
    if (cdimage_handle_record_loss(handle, CDIMAGE_LINE_FILE_LOST, "A.TXT", "not written") != 0 ||
        cdimage_handle_failure_count(handle) != 0) {
        fputs("a loss was recorded with no image open\n", stderr);
        return 1;
    }
    cdimage_handle_close(handle);
    cdimage_handle_free(handle);
    return 0;
}

/* A null handle is a handle with no image open. */
static int null_handle_answers(void) {
    cdimage_handle *none = NULL;
    const char *path = "untouched";
    uint64_t offset = 1;
    uint32_t frames = 2;
    int number = 3;
    int samples = 4;
    uint32_t rate = 5;
    int64_t start = 6;
    int64_t sectors = 7;
    char out_path[16] = "untouched";
    uint32_t length = 8;
    int entry = 9;
    int line = 10;
    int failed = cdimage_handle_set_option(none, CDIMAGE_OPTION_MESSAGES, 0) != 0 ||
                 cdimage_handle_open(none, "/nonexistent/disc.cue", "out") != 0 ||
                 cdimage_handle_is_open(none) != 0 || cdimage_handle_track_count(none) != 0 ||
                 cdimage_handle_track_number(none, 0) != 0 || cdimage_handle_track_is_audio(none, 1) != 0 ||
                 cdimage_handle_track_lba(none, 1) != 0 || cdimage_handle_disc_sectors(none) != 0 ||
                 cdimage_handle_audio_extent(none, 1, &path, &offset, &frames, &number) != 0 ||
                 cdimage_handle_audio_format(none, 1, &samples, &rate) != 0 ||
                 cdimage_handle_track_info(none, 0, &number, &path, &start, &sectors, &path) != 0 ||
                 cdimage_handle_extract_file(none, "A.TXT", out_path, sizeof out_path) != 0 ||
                 cdimage_handle_extract_all(none) != 0 || cdimage_handle_load_file(none, "A.TXT", &length) != NULL ||
                 cdimage_handle_extract_progress(none, &entry, &offset) != 0 || cdimage_handle_entry_count(none) != 0 ||
                 cdimage_handle_entry_info(none, 0, &path, &offset, &number) != 0 ||
                 cdimage_handle_entry_time(none, 0, &start) != 0 || cdimage_handle_cue_error(none) != 0 ||
                 cdimage_handle_open_reason(none, &line) != NULL || cdimage_handle_failure_count(none) != 0 ||
                 cdimage_handle_ledger_count(none) != 0 ||
                 cdimage_handle_ledger_line(none, 0, &number, &path, &path, &path) != 0 ||
                 cdimage_handle_record_loss(none, CDIMAGE_LINE_FILE_LOST, "A.TXT", "not written") != 0;
    cdimage_handle_close(none);
    cdimage_handle_discard_partial(none);
    cdimage_handle_free(none);
    if (failed || path[0] != 'u' || offset != 1 || frames != 2 || number != 3 || samples != 4 || rate != 5 ||
        start != 6 || sectors != 7 || length != 8 || entry != 9 || line != 10 || out_path[0] != 'u') {
        fputs("a null handle answered\n", stderr);
        return 1;
    }
    return 0;
}

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
    return handle_answers() || null_handle_answers();
}
