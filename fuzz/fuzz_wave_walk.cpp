// Arbitrary bytes as the WAVE track file of a one-track image, and the same
// bytes through the chunk walk directly. The walk must agree with what the
// open recorded and never point past the end of the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "module_view.h"
#include "fuzz_support.h"

namespace {

std::string g_cue_path;
std::string g_wave_path;

[[noreturn]] void fail(const char *what, long long value)
{
    std::fprintf(stderr, "fuzz: %s (%lld)\n", what, value);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzWorkspace &work = workspace();
    g_cue_path = work.images + "/t.cue";
    g_wave_path = work.images + "/t.wav";
    write_text(g_cue_path, "FILE \"t.wav\" WAVE\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                           "  TRACK 02 AUDIO\n    INDEX 01 00:00:01\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int64_t direct = -1;
    if (size > 0) {
        // fmemopen needs a writable buffer in older C libraries.
        Bytes copy(data, data + size);
        if (std::FILE *stream = fmemopen(copy.data(), copy.size(), "rb")) {
            direct = read_wave_layout(stream).data_offset;
            std::fclose(stream);
        }
    }
    if (direct != -1 && (direct < 0 || direct > static_cast<int64_t>(size)))
        fail("data offset outside the file", direct);

    write_bytes(g_wave_path, data, size);
    cdimage_open(g_cue_path.c_str(), workspace().out.c_str());
    // Other sample formats, and files that begin like compressed ones, are
    // measured by the decoder instead (and may fail the open).
    if (file_view(0).format == TrackFormat::DECODED) {
        cdimage_close();
        return 0;
    }
    if (file_count() != 1)
        fail("WAVE file not counted", file_count());
    const FileView file = file_view(0);
    if (direct != -1 && file.data_offset != direct)
        fail("the open's data offset differs from the walk's", file.data_offset);
    if (file.data_offset + file.data_size != static_cast<int64_t>(size))
        fail("offset and size do not add up to the file", file.data_offset + file.data_size);
    for (int number = 1; number <= 2; ++number) {
        const char *path = nullptr;
        uint64_t offset = 0;
        uint32_t frames = 0;
        int big_endian = 0;
        if (cdimage_audio_extent(number, &path, &offset, &frames, &big_endian) &&
            offset + static_cast<uint64_t>(frames) * BYTES_PER_FRAME > size)
            fail("audio extent beyond the file", static_cast<long long>(offset));
        cdimage_track_lba(number);
    }
    cdimage_disc_sectors();
    cdimage_close();
    return 0;
}
