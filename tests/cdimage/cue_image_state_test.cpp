// The image's lifecycle: open, close, reopen, the answers of a closed image,
// the summary line and the streams left behind.
#include <gtest/gtest.h>

#include <string>

#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

// A data track and two audio tracks in disc.bin (300 sectors), numbered from
// `first`, so that two sheets can be told apart by their track numbers.
std::string write_image(const TempDir &dir, const std::string &name, int first) {
    write_sectors(dir.at(name + ".bin"), 300);
    std::string cue = dir.at(name + ".cue");
    write_text(cue, "FILE " + name + ".bin BINARY\nTRACK " + std::to_string(first) +
                        " MODE1/2352\nINDEX 01 00:00:00\nTRACK " + std::to_string(first + 1) +
                        " AUDIO\nINDEX 01 00:01:00\nTRACK " + std::to_string(first + 2) +
                        " AUDIO\nINDEX 01 00:02:00\n");
    return cue;
}

// Every operation that tests is_open answers as for a closed image.
void expect_closed_answers() {
    EXPECT_EQ(0, cdimage_is_open());
    EXPECT_EQ(0, cdimage_track_count());
    EXPECT_EQ(0, cdimage_track_is_audio(2));
    EXPECT_EQ(0, cdimage_track_lba(2));
    EXPECT_EQ(0, cdimage_disc_sectors());
    const char *path = "untouched";
    uint64_t offset = 11;
    uint32_t frames = 12;
    int big_endian = 13;
    EXPECT_EQ(0, cdimage_audio_extent(2, &path, &offset, &frames, &big_endian));
    EXPECT_STREQ("untouched", path);
    EXPECT_EQ(11u, offset);
    EXPECT_EQ(12u, frames);
    EXPECT_EQ(13, big_endian);
    EXPECT_EQ(0, cdimage_extract_all());
    char out_path[64] = "untouched";
    EXPECT_EQ(0, cdimage_extract_file("README.TXT", out_path, sizeof out_path));
    EXPECT_STREQ("untouched", out_path);
    uint32_t length = 14;
    EXPECT_EQ(nullptr, cdimage_load_file("README.TXT", &length));
    EXPECT_EQ(14u, length);
    EXPECT_EQ(0, entry_count());
    EXPECT_FALSE(data_file_held());
}

}  // namespace

TEST(ImageState, NothingAnswersBeforeTheFirstOpen) {
    expect_closed_answers();
    EXPECT_EQ(0, cdimage_track_number(0));
    testing::internal::CaptureStderr();
    cdimage_close();
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(ImageState, OpenPrintsTheSummaryAndCloseEndsTheImage) {
    TempDir dir;
    std::string cue = write_image(dir, "disc", 1);
    std::string err;
    ASSERT_EQ(1, open_image(cue, err, dir.at("out")));
    EXPECT_EQ("cdimage: " + cue + " has no ISO 9660 data track\ncdimage: " + cue + ", 3 tracks, 0 files\n", err);
    EXPECT_EQ(1, cdimage_is_open());
    EXPECT_EQ(3, cdimage_track_count());
    EXPECT_EQ(1, cdimage_track_is_audio(2));
    EXPECT_EQ(75, cdimage_track_lba(2));
    EXPECT_EQ(300, cdimage_disc_sectors());
    EXPECT_EQ(dir.at("out"), out_root());

    testing::internal::CaptureStderr();
    cdimage_close();
    cdimage_close();
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    expect_closed_answers();
    // The track table outlives the image.
    EXPECT_EQ(1, cdimage_track_number(0));
    EXPECT_EQ(3, cdimage_track_number(2));
    EXPECT_EQ(0, cdimage_track_number(3));
    EXPECT_EQ(0, cdimage_track_number(-1));
    EXPECT_EQ(3, track_count());
}

TEST(ImageState, SummaryCountsDirectoriesAndFiles) {
    TempDir dir;
    Bytes volume = build_iso_volume({iso_dir("DOCS", {iso_file("A.TXT;1", Bytes(10, 'a')),
                                                      iso_file("B.TXT;1", Bytes(20, 'b'))})});
    std::string cue = write_data_image(dir.path, volume, SectorMode::MODE1_2352);
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ("cdimage: " + cue + ", 1 tracks, 3 files\n", err);
    EXPECT_EQ(3, cdimage_entry_count());
}

TEST(ImageState, AFailedOpenEndsTheImageOpenBeforeIt) {
    TempDir dir;
    std::string first = write_image(dir, "first", 1);
    std::string all_audio = dir.at("audio.cue");
    write_text(all_audio, "FILE first.bin BINARY\nTRACK 07 AUDIO\nINDEX 01 00:00:00\n");

    ASSERT_EQ(1, open_quietly(first));
    // A cue sheet that cannot be opened leaves the tables as they were.
    std::string err;
    EXPECT_EQ(0, open_image(dir.at("nowhere.cue"), err, dir.at("other")));
    EXPECT_EQ("", err);
    expect_closed_answers();
    EXPECT_EQ(1, cdimage_track_number(0));
    EXPECT_EQ(3, cdimage_track_number(2));
    EXPECT_EQ(std::string("out"), out_root());

    ASSERT_EQ(1, open_quietly(first));
    // A cue sheet that is read refills the tables even when the open fails.
    EXPECT_EQ(0, open_image(all_audio, err));
    EXPECT_EQ("", err);
    expect_closed_answers();
    EXPECT_EQ(7, cdimage_track_number(0));
    EXPECT_EQ(0, cdimage_track_number(1));
    EXPECT_EQ(1, track_count());

    // An empty sheet is read too: it leaves both tables empty.
    write_text(dir.at("empty.cue"), "");
    EXPECT_EQ(0, open_image(dir.at("empty.cue"), err));
    EXPECT_EQ("", err);
    EXPECT_EQ(0, cdimage_track_number(0));
    EXPECT_EQ(0, track_count());
    EXPECT_EQ(0, file_count());
}

TEST(ImageState, ReopeningReplacesTheImage) {
    TempDir dir;
    std::string first = write_image(dir, "first", 1);
    std::string second = write_image(dir, "second", 10);
    ASSERT_EQ(1, open_quietly(first));
    std::string err;
    ASSERT_EQ(1, open_image(second, err, dir.at("second-out")));
    EXPECT_EQ(1, cdimage_is_open());
    EXPECT_EQ(10, cdimage_track_number(0));
    EXPECT_EQ(0, cdimage_track_is_audio(2));
    EXPECT_EQ(1, cdimage_track_is_audio(11));
    EXPECT_EQ(75, cdimage_track_lba(11));
    EXPECT_EQ(dir.at("second-out"), out_root());
}

TEST(ImageState, LongOutputDirectoryIsCutTo1023Characters) {
    TempDir dir;
    std::string cue = write_image(dir, "disc", 1);
    std::string out = dir.path + "/" + std::string(1100, 'o');
    std::string err;
    ASSERT_EQ(1, open_image(cue, err, out));
    EXPECT_EQ(out.substr(0, 1023), out_root());
}

TEST(ImageState, NoStreamOutlivesAnOpenOrAClose) {
    TempDir dir;
    std::string good = write_image(dir, "disc", 1);
    Bytes volume = build_iso_volume({iso_file("README.TXT;1", Bytes(100, 'r'))});
    std::string mounted = write_data_image(dir.path, volume, SectorMode::MODE1_2352, 0, "iso");
    write_text(dir.at("bad.ogg"), "not a Vorbis stream\n");
    write_sectors(dir.at("a.bin"), 10);
    std::string hundred = "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    for (int i = 1; i <= MAX_TRACK_FILES; ++i) hundred += "FILE a.bin BINARY\n";
    const std::pair<const char *, std::string> failing[] = {
        {"missing.cue", ""},
        {"missing_wave.cue", "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE gone.wav WAVE\n"},
        {"undecodable.cue", "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE bad.ogg BINARY\n"},
        {"hundred.cue", hundred},
        {"no_index.cue", "FILE a.bin BINARY\nTRACK 01 MODE1/2352\n"},
        {"all_audio.cue", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"},
        {"no_track.cue", "FILE a.bin BINARY\n"},
    };
    for (const auto &sheet : failing)
        if (!sheet.second.empty()) write_text(dir.at(sheet.first), sheet.second);

    // An image left open by an earlier test in this process holds its data file.
    cdimage_close();
    const int before = open_descriptor_count();
    std::string err;
    for (const std::string &cue : {good, mounted}) {
        ASSERT_EQ(1, open_image(cue, err)) << cue;
        cdimage_close();
        EXPECT_EQ(before, open_descriptor_count()) << cue;
    }
    for (const auto &sheet : failing) {
        EXPECT_EQ(0, open_image(dir.at(sheet.first), err)) << sheet.first;
        EXPECT_EQ(before, open_descriptor_count()) << sheet.first;
        // A failed open also ends an image whose data file is held.
        ASSERT_EQ(1, open_image(mounted, err));
        EXPECT_EQ(0, open_image(dir.at(sheet.first), err)) << sheet.first;
        EXPECT_EQ(before, open_descriptor_count()) << "after " << mounted << ", " << sheet.first;
    }
}
