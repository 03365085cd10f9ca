// Arbitrary bytes as the 2048-byte user sectors of a disc, so that the
// volume descriptor at sector 16 and every directory and file sector come
// from the input: looping and deep trees, long names, files in several
// extents, recording dates and XA records. The first byte picks how the
// sectors are stored and laid out in tracks:
//   0  one MODE1/2048 track;
//   1  MODE2/2352 sectors: data track 01, a data track 02 behind a pregap
//      (disc address 36), then an audio track 03, all in one file;
//   2  the same stored as MODE2/2336, then a MODE1/2048 track 04 of the
//      same bytes in a file of its own;
//   3  an audio track in a file of its own, then one MODE2/2352 data track,
//      which lies at disc address 100: volumes addressed from the start of
//      the disc or of a second session are found there.
// The volume is opened, extracted in full into a fresh output directory and
// extracted again over what the first pass wrote (the re-run test of sizes
// and times), every entry is loaded and its time asked for; afterwards the
// output directory must be the only thing the run created. All of it runs
// twice: under the ISO 9660 names, then under the Joliet names.
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>

#include "module_view.h"
#include "fuzz_support.h"

namespace {

constexpr uint8_t LAYOUTS = 4;
constexpr uint32_t AUDIO_SECTORS = 100;

const char *const CUE_SHEETS[LAYOUTS] = {
    ("FILE \"t.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"),
    ("FILE \"t.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
     "  TRACK 02 MODE2/2352\n    INDEX 00 00:00:32\n    INDEX 01 00:00:36\n"
     "  TRACK 03 AUDIO\n    INDEX 01 00:00:44\n"),
    ("FILE \"t.bin\" BINARY\n  TRACK 01 MODE2/2336\n    INDEX 01 00:00:00\n"
     "  TRACK 02 MODE2/2336\n    INDEX 00 00:00:32\n    INDEX 01 00:00:36\n"
     "  TRACK 03 AUDIO\n    INDEX 01 00:00:44\n"
     "FILE \"t.iso\" BINARY\n  TRACK 04 MODE1/2048\n    INDEX 01 00:00:00\n"),
    ("FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
     "FILE \"t.bin\" BINARY\n  TRACK 02 MODE2/2352\n    INDEX 01 00:00:00\n"),
};

std::string g_cue_path;

// Opens the image under the names given, extracts, re-extracts and loads
// every entry; leaves the output directory as the only thing made.
void unpack_volume(int names)
{
    FuzzWorkspace &work = workspace();
    cdimage_handle_set_option(cdimage_default_handle(), CDIMAGE_OPTION_NAMES, names);
    if (mkdir(work.out.c_str(), 0755) != 0)
        std::abort();
    if (cdimage_open(g_cue_path.c_str(), work.out.c_str())) {
        const int extracted = cdimage_extract_all();
        if (cdimage_extract_all() != extracted)
            std::abort();
        for (int i = 0; i < cdimage_entry_count(); ++i) {
            uint32_t length = 0;
            const char *name = nullptr;
            if (cdimage_entry_info(i, &name, nullptr, nullptr) != 1)
                std::abort();
            std::free(cdimage_load_file(name, &length));
            int64_t mtime = 0;
            cdimage_entry_time(i, &mtime);
        }
    }
    cdimage_close();
    require_only(work.sandbox, {"out"});
    require_only(work.images, {"t.cue", "t.bin", "t.iso", "a.bin"});
    remove_path(work.out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzWorkspace &work = workspace();
    g_cue_path = work.images + "/t.cue";
    write_file(work.images + "/a.bin", Bytes(static_cast<size_t>(AUDIO_SECTORS) * RAW_SECTOR, 0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FuzzWorkspace &work = workspace();
    const uint8_t layout = data[0] % LAYOUTS;
    const Bytes user(data + 1, data + size);
    write_text(g_cue_path, CUE_SHEETS[layout]);
    switch (layout) {
    case 0:
        write_file(work.images + "/t.bin", user);
        break;
    case 2:
        write_file(work.images + "/t.bin", wrap_sectors(user, SectorMode::MODE2_2336));
        break;
    default:
        write_file(work.images + "/t.bin", wrap_sectors(user, SectorMode::MODE2_2352));
        break;
    }
    write_file(work.images + "/t.iso", user);

    unpack_volume(CDIMAGE_NAMES_ISO);
    unpack_volume(CDIMAGE_NAMES_JOLIET);
    return 0;
}
