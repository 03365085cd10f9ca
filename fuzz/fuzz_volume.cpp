// Arbitrary bytes as the whole track file of a MODE1/2048 image, so that the
// volume descriptor at sector 16 and every directory and file sector come
// from the input: looping and deep trees, long names, files in several
// extents and recording dates. The volume is opened, extracted in full into a
// fresh output directory and extracted again over what the first pass wrote
// (the re-run test of sizes and times), every entry is loaded and its time
// asked for; afterwards the output directory must be the only thing the run
// created.
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>

#include "cdimage_internal.h"
#include "fuzz_support.h"

namespace {

std::string g_cue_path;
std::string g_track_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzWorkspace &work = workspace();
    g_cue_path = work.images + "/t.cue";
    g_track_path = work.images + "/t.bin";
    write_text(g_cue_path, "FILE \"t.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzWorkspace &work = workspace();
    write_bytes(g_track_path, data, size);
    if (mkdir(work.out.c_str(), 0755) != 0)
        std::abort();
    if (cdimage_open(g_cue_path.c_str(), work.out.c_str())) {
        const int extracted = cdimage_extract_all();
        if (cdimage_extract_all() != extracted)
            std::abort();
        for (int i = 0; i < g_image.entry_count; ++i) {
            uint32_t length = 0;
            std::free(cdimage_load_file(entry_name(g_image.entries[static_cast<std::size_t>(i)]), &length));
            int64_t mtime = 0;
            cdimage_entry_time(i, &mtime);
        }
    }
    cdimage_close();
    require_only(work.sandbox, {"out"});
    require_only(work.images, {"t.cue", "t.bin"});
    remove_path(work.out);
    return 0;
}
