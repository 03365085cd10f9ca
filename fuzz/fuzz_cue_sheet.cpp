// Arbitrary cue sheet text through cdimage_open and every track query. The
// track files a sheet is likely to name sit beside it: a.bin, a small ISO 9660
// volume; b.wav, a WAVE tone; c.ogg, an Ogg Vorbis tone (when oggenc is
// installed); d.bin, three raw audio sectors.
#include <cstdint>
#include <cstdlib>

#include "module_view.h"
#include "fuzz_support.h"

namespace {

std::string g_cue_path;

void query_every_track()
{
    const int count = cdimage_track_count();
    for (int index = -1; index <= count; ++index) {
        const int number = cdimage_track_number(index);
        cdimage_track_is_audio(number);
        cdimage_track_lba(number);
        const char *path = nullptr;
        uint64_t offset = 0;
        uint32_t frames = 0;
        int big_endian = 0;
        if (cdimage_audio_extent(number, &path, &offset, &frames, &big_endian) && path == nullptr)
            std::abort();
    }
    cdimage_disc_sectors();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzWorkspace &work = workspace();
    write_file(work.images + "/a.bin",
               build_iso_volume({iso_file("README.TXT;1", Bytes(100, 'r')),
                                 iso_dir("DOCS", {iso_file("A.TXT;1", Bytes(3000, 'a'))})}));
    write_file(work.images + "/b.wav", wave_file(tone_samples(2 * FRAMES_PER_SECTOR, 440.0, 880.0)));
    Bytes ogg = encode_tone(work.root.path, Codec::VORBIS, 4 * FRAMES_PER_SECTOR);
    if (!ogg.empty())
        write_file(work.images + "/c.ogg", ogg);
    write_file(work.images + "/d.bin", tone_samples(3 * FRAMES_PER_SECTOR, 300.0, 500.0));
    g_cue_path = work.images + "/x.cue";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    write_bytes(g_cue_path, data, size);
    cdimage_open(g_cue_path.c_str(), workspace().out.c_str());
    query_every_track();
    cdimage_close();
    // The track table still answers from the last sheet once closed.
    cdimage_track_number(0);
    return 0;
}
