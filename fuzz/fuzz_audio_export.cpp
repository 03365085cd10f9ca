// The audio export on arbitrary track geometry and decoded files. The input
// is split at PART_SEPARATOR into a cue sheet, a raw track file and a
// compressed track file (o.ogg: the decoder tells Ogg, FLAC, MP3 and Opus
// apart by their bytes); the raw bytes are also offered as a WAVE file, which
// is decoded when its "fmt " chunk says other than 16-bit stereo PCM. The
// sheet may name r.bin, r.wav and o.ogg. Nothing may be written outside the
// output directory.
#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>

#include "audio_export.h"
#include "module_view.h"
#include "fuzz_support.h"

namespace {

std::string g_cue_path;

void write_part(const std::string &path, const std::string &bytes)
{
    write_bytes(path, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_cue_path = workspace().images + "/x.cue";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzWorkspace &work = workspace();
    const std::vector<std::string> parts = split_input(data, size, 3);
    write_part(g_cue_path, parts[0]);
    write_part(work.images + "/r.bin", parts[1]);
    write_part(work.images + "/r.wav", parts[1]);
    write_part(work.images + "/o.ogg", parts[2]);
    if (mkdir(work.out.c_str(), 0755) != 0)
        std::abort();
    if (cdimage_open(g_cue_path.c_str(), work.out.c_str()))
        export_audio_tracks(work.out.c_str(), g_cue_path.c_str());
    cdimage_close();
    require_only(work.sandbox, {"out"});
    require_only(work.images, {"x.cue", "r.bin", "r.wav", "o.ogg"});
    remove_path(work.out);
    return 0;
}
