// The state of one image, the record behind a handle, and the functions of
// the image side: the lifecycle and the ledger of what went wrong. Nothing
// here is part of the public interface.
#ifndef CDIMAGE_IMAGE_STATE_H
#define CDIMAGE_IMAGE_STATE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audio.h"
#include "cdimage.h"
#include "disc.h"
#include "file_io.h"
#include "image_limits.h"
#include "iso9660.h"
#include "output_tree.h"

struct WalkState;

// Which identifiers name the volume's entries (CDIMAGE_OPTION_NAMES).
enum class NameKind {
    ISO = CDIMAGE_NAMES_ISO,
    JOLIET = CDIMAGE_NAMES_JOLIET,
};

// What a handle's next open is to do, set before it (cdimage_handle_set_option).
struct ImageOptions {
    bool messages = true;                  // ledger lines also go to standard error
    bool open_without_data_track = false;  // an image of audio tracks alone opens
    NameKind names = NameKind::ISO;
};

// The bytes a ledger keeps, its lines' records and texts: far beyond any
// real image's lines.
constexpr std::size_t LEDGER_LIMIT = 16 * 1024 * 1024;

// What a line of the ledger is about: the public CDIMAGE_LINE_* values.
enum class LedgerKind {
    NOTE = CDIMAGE_LINE_NOTE,
    OPEN_REFUSED = CDIMAGE_LINE_OPEN_REFUSED,
    ENTRY_LOST = CDIMAGE_LINE_ENTRY_LOST,
    FILE_LOST = CDIMAGE_LINE_FILE_LOST,
    TRACK_LOST = CDIMAGE_LINE_TRACK_LOST,
};

// One thing the image met: what it is about, the file, entry or track it
// names, why, and the whole line as it is printed (control characters of
// the image's text filtered out), without its newline.
struct LedgerLine {
    LedgerKind kind;
    std::string name;
    std::string reason;
    std::string text;
};

struct ImageState {
    ImageOptions options;
    bool is_open;
    char out_root[PATH_TEXT_SIZE];
    bool out_root_is_cut;  // the output directory did not fit in out_root
    FileHandle data_file;
    // The track the volume is read from: the layout's first track that is
    // not audio, until the mount finds a later session's volume.
    Track *data_track;
    // A read handle on the file of a track other than the data track, for
    // volume sectors that lie in later tracks.
    FileHandle other_file;
    int other_file_index;
    // The data track is lost: its file missing, or holding none of its sectors.
    bool data_track_lost;
    // Sectors of the whole disc, as disc-wide addresses count them.
    int64_t disc_sectors;
    // What the volume's recorded extents exceed the data track's sector
    // numbers by: nonzero for volumes addressed from the start of the disc
    // or of a later session.
    int64_t volume_displacement;
    TrackFile files[MAX_TRACK_FILES];
    int file_count;
    Track tracks[MAX_TRACKS];
    int track_count;
    // The volume's entries in pre-order (a directory before what it holds),
    // their extents and their name components, back to back without
    // terminators; entry_count mirrors entries.size().
    std::vector<FsEntry> entries;
    std::vector<FsExtent> extents;
    std::vector<char> names;
    int entry_count;
    // Full names built on demand: entry_name's, and the one that
    // cdimage_entry_info lends its caller.
    char name_text[PATH_TEXT_SIZE];
    char listed_name[PATH_TEXT_SIZE];
    // Hash index over the entries by case-folded name and kind, built once
    // per open: slot values are entry positions, -1 when empty.
    std::unique_ptr<int32_t[]> name_index;
    uint32_t name_index_slots;  // a power of two
    int cue_error;            // what cdimage_cue_error gives
    // Why the last open refused its cue sheet (cdimage_open_reason): empty
    // when it gave no such reason; the line is the sheet's, or 0.
    char open_reason[OPEN_REASON_SIZE];
    int open_reason_line;
    // Everything the open and the calls since have met, losses and notes, in
    // the order met.
    std::vector<LedgerLine> ledger;
    // The ledger's bytes kept, and what its losses count: a hostile image
    // could name millions of losses, so lines past LEDGER_LIMIT are printed
    // and counted but not kept.
    std::size_t ledger_bytes;
    bool ledger_full;
    int image_losses;      // of the open and of the audio tracks
    int last_call_losses;  // files of the last extraction or load call
    PartialFile partial;      // the file an extraction is writing
    // The extraction running now: the table index of the entry being
    // extracted and its bytes written so far (cdimage_extract_progress).
    CopyProgress extract_progress;
    // Bytes of stored sectors that are not user data (sync, header,
    // subheader, error correction) land here and are never looked at.
    unsigned char skipped_bytes[RAW_SECTOR_SIZE];
    // File data passes through this run buffer on its way to the output file.
    unsigned char run_buffer[SECTORS_PER_RUN * DATA_SECTOR_SIZE];
    // One record per audio track, and the reader of the last one read, held
    // between reads with the record and frame it stands at.
    AudioTrack audio[MAX_TRACKS];
    int audio_count;
    std::unique_ptr<AudioReader, AudioReaderCloser> audio_reader;
    const AudioTrack *reader_track;
    uint64_t reader_frame;
    uint64_t reader_available;
    // The audio track being written now and its bytes so far.
    CopyProgress audio_progress;
    // What the mount's walk keeps, while it runs.
    WalkState *walk;
    std::vector<ImageFile> own_files;  // the cue sheet and the track files there at the open
};

// A handle is the state of one image.
struct cdimage_handle {
    ImageState image;
};

// A number as decimal text, for the ledger's lines. (std::to_string would
// export libstdc++'s digit table from the shared library.)
inline std::string decimal_text(long long value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

// Records a line in the image's ledger and, when the image's messages are
// on and `printed`, writes its text to standard error.
void record_line(ImageState &image, LedgerKind kind, std::string_view name, std::string_view reason,
                 std::string text, bool printed = true, int losses = 1);
// Records the module's usual line: "cdimage: <name>: <reason>".
void record_named(ImageState &image, LedgerKind kind, std::string_view name, std::string_view reason);
// The losses that cdimage_failure_count counts: every one of the open's and
// the audio tracks', and the files of the last extraction or load call.
int count_failures(ImageState &image);
// Marks the start of an extraction or load call: the files lost before it
// no longer count.
void begin_call_lines(ImageState &image);
// Empties the ledger, for a new open.
void clear_ledger(ImageState &image);


inline const FsExtent *entry_extents(ImageState &image, const FsEntry &entry)
{
    return image.extents.data() + entry.first_extent;
}

#endif
