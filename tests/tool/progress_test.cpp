// The progress line's text, and what the extraction and the audio export
// publish for it while they run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "audio_export.h"
#include "fixtures.h"
#include "progress.h"
#include "test_image.h"

namespace {

std::string line(uint64_t done, uint64_t total, uint64_t speed, const char *name, int width) {
    char text[512];
    format_progress_line(done, total, speed, name, width, text, sizeof text);
    return text;
}

struct Sample {
    int item;
    uint64_t bytes;
};

// Samples a progress query on another thread for as long as `work` runs.
template <typename Query, typename Work>
std::vector<Sample> sample_while(Query query, Work work) {
    std::atomic<bool> running{true};
    std::vector<Sample> samples;
    std::thread sampler([&] {
        while (running.load()) {
            Sample sample{};
            if (!query(&sample.item, &sample.bytes))
                continue;
            if (samples.empty() || sample.item != samples.back().item || sample.bytes != samples.back().bytes)
                samples.push_back(sample);
        }
    });
    work();
    running = false;
    sampler.join();
    return samples;
}

}  // namespace

TEST(Progress, BytesReadInTheLargestUnitBelow1024) {
    const std::pair<uint64_t, std::string> cases[] = {
        {0, "0 B"},          {1023, "1023 B"},          {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},   {1048575, "1024.0 KiB"},   {734003200, "700.0 MiB"},
        {UINT64_C(5) << 40, "5.0 TiB"}, {UINT64_MAX, "16777216.0 TiB"},
    };
    for (const auto &[bytes, expected] : cases) {
        char text[32];
        format_bytes(bytes, text, sizeof text);
        EXPECT_EQ(expected, text) << bytes;
    }
}

TEST(Progress, LineFitsTheTerminalAndShortensTheNameFromTheLeft) {
    EXPECT_EQ(" 50%  350.0 MiB / 700.0 MiB  12.0 MiB/s  DOCS/GUIDE.TXT",
              line(367001600, 734003200, 12582912, "DOCS/GUIDE.TXT", 80));
    // 50 columns leave 49 characters: the name keeps its end.
    EXPECT_EQ("  0%  0 B / 2.0 KiB  0 B/s  ...VERY/LONG/NAME.TXT",
              line(0, 2048, 0, "A/VERY/VERY/LONG/NAME.TXT", 50));
    EXPECT_EQ(49u, line(0, 2048, 0, "A/VERY/VERY/LONG/NAME.TXT", 50).size());
    // No room for a name: the line ends with the speed, or is cut short of
    // the last column.
    EXPECT_EQ("100%  2.0 KiB / 2.0 KiB  0 B/s", line(2048, 2048, 0, "NAME", 31));
    EXPECT_EQ("100%  2.0 KiB / 2.0 KiB  0 B/", line(2048, 2048, 0, "NAME", 30));
    EXPECT_EQ("  0%  0 B / 0 B  0 B/s  NAME", line(0, 0, 0, "NAME", 80));
    // Control characters of a name never reach the terminal.
    EXPECT_EQ("  0%  0 B / 0 B  0 B/s  A?[2JB?C", line(0, 0, 0, "A\033[2JB\nC", 80));
}

// While the extraction runs, another thread sees the entry being written
// (a file's table position) with no more bytes than the file holds; once it
// is over the query gives 0. The same holds for the audio export by track.
TEST(Progress, ExtractionAndAudioExportPublishWhereTheyAre) {
    TempDir dir;
    constexpr uint32_t BIG = 8u << 20;
    const Bytes volume = build_iso_volume({iso_file("A.TXT;1", Bytes(3000, 'a')),
                                           iso_dir("D", {iso_file("BIG.DAT;1", Bytes(BIG, 'b'))})});
    Bytes bin = wrap_sectors(volume, SectorMode::MODE1_2352);
    const uint64_t audio_at = bin.size() / 2352;
    bin.resize(bin.size() + 2352 * 3000);
    write_file(dir.at("disc.bin"), bin);
    write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                   "TRACK 02 AUDIO\nINDEX 01 " + msf_text(static_cast<uint32_t>(audio_at)) + "\n");
    std::string opened;
    ASSERT_EQ(1, open_image(dir.at("disc.cue"), opened, dir.at("out")));
    const uint64_t sizes[] = {3000, 0, BIG};  // by table position: A.TXT, D, D/BIG.DAT

    int count = 0;
    std::vector<Sample> samples = sample_while(cdimage_extract_progress, [&] { count = cdimage_extract_all(); });
    EXPECT_EQ(2, count);
    EXPECT_EQ(0, cdimage_extract_progress(nullptr, nullptr));
    for (const Sample &s : samples) {
        ASSERT_TRUE(s.item == 0 || s.item == 2) << s.item;
        EXPECT_LE(s.bytes, sizes[s.item]) << s.item;
    }

    Captured captured;
    samples = sample_while(cdimage_audio_progress, [&] { captured = export_into(dir.at("out")); });
    EXPECT_EQ("track 02: 0:40\n", captured.out);
    EXPECT_EQ(0, cdimage_audio_progress(nullptr, nullptr));
    for (const Sample &s : samples) {
        EXPECT_EQ(2, s.item);
        EXPECT_LE(s.bytes, 2352u * 3000);
    }
    cdimage_close();
}
