// Track layout and the track queries: lengths, disc-wide addresses, the data
// track and the audio extents.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

struct Extent {
    int result;
    std::string path;
    uint64_t offset;
    uint32_t frames;
    int big_endian;
};

// The out-values start from markers, so that untouched ones show.
Extent audio_extent(int number) {
    const char *path = "untouched";
    Extent e{0, "", 0xDEADBEEFu, 0xCAFEu, 7};
    e.result = cdimage_audio_extent(number, &path, &e.offset, &e.frames, &e.big_endian);
    e.path = path;
    return e;
}

// The disc of 72,000 sectors plus 1000 bytes, two audio tracks with
// pregaps in it, and a fourth track in a WAVE file of 2,250 sectors.
struct WorkedExample {
    TempDir dir;
    std::string cue = dir.at("disc.cue");

    explicit WorkedExample(bool with_pregaps = true, bool with_disc = true) {
        if (with_disc) write_sparse_file(dir.at("disc.bin"), 169345000);
        write_file(dir.at("track04.wav"),
                   riff_wave({{"fmt ", wave_format()}, {"LIST", Bytes(25)}, {"data", Bytes(5292000)}}));
        write_text(cue, std::string("FILE disc.bin BINARY\n"
                                    "  TRACK 01 MODE1/2352\n"
                                    "    INDEX 01 00:00:00\n"
                                    "  TRACK 02 AUDIO\n") +
                            (with_pregaps ? "    INDEX 00 10:00:00\n" : "") +
                            "    INDEX 01 10:02:00\n"
                            "  TRACK 03 AUDIO\n" +
                            (with_pregaps ? "    INDEX 00 13:00:00\n" : "") +
                            "    INDEX 01 13:02:00\n"
                            "FILE track04.wav WAVE\n"
                            "  TRACK 04 AUDIO\n"
                            "    INDEX 01 00:00:00\n");
    }
};

}  // namespace

TEST(TrackLayout, WorkedExampleGivesLengthsAddressesAndExtents) {
    WorkedExample disc;
    struct stat wave_stat;
    ASSERT_EQ(0, stat(disc.dir.at("track04.wav").c_str(), &wave_stat));
    ASSERT_EQ(5292078, wave_stat.st_size);
    std::string err;
    ASSERT_EQ(1, open_image(disc.cue, err));
    EXPECT_EQ(opened_without_volume(disc.cue, 4), err);

    ASSERT_EQ(2, g_image.file_count);
    EXPECT_EQ(0, g_image.files[0].data_offset);
    EXPECT_EQ(169345000, g_image.files[0].data_size);
    EXPECT_EQ(78, g_image.files[1].data_offset);
    EXPECT_EQ(5292000, g_image.files[1].data_size);

    struct Row {
        int number, file_index, is_audio;
        int64_t index0, index1, length;
        int lba;
    };
    const Row rows[] = {
        {1, 0, 0, -1, 0, 45000, 0},
        {2, 0, 1, 45000, 45150, 13350, 45150},
        {3, 0, 1, 58500, 58650, 13350, 58650},
        {4, 1, 1, -1, 0, 2250, 72000},
    };
    ASSERT_EQ(4, cdimage_track_count());
    for (int i = 0; i < 4; ++i) {
        const Track &t = g_image.tracks[i];
        const Row &r = rows[i];
        EXPECT_EQ(r.number, cdimage_track_number(i));
        EXPECT_EQ(r.file_index, t.file_index) << r.number;
        EXPECT_EQ(r.is_audio, cdimage_track_is_audio(r.number));
        EXPECT_EQ(r.index0, t.index0) << r.number;
        EXPECT_EQ(r.index1, t.index1) << r.number;
        EXPECT_EQ(r.length, t.length) << r.number;
        EXPECT_EQ(r.lba, cdimage_track_lba(r.number));
    }
    EXPECT_EQ(&g_image.tracks[0], g_image.data_track);
    EXPECT_EQ(74250, cdimage_disc_sectors());

    Extent none = audio_extent(1);
    EXPECT_EQ(0, none.result);
    EXPECT_EQ("untouched", none.path);
    EXPECT_EQ(0xDEADBEEFu, none.offset);
    EXPECT_EQ(0xCAFEu, none.frames);
    EXPECT_EQ(7, none.big_endian);

    struct ExtentRow {
        int number;
        std::string path;
        uint64_t offset;
        uint32_t frames;
    };
    const ExtentRow extents[] = {
        {2, disc.dir.at("disc.bin"), 106192800, 7849800},
        {3, disc.dir.at("disc.bin"), 137944800, 7849800},
        {4, disc.dir.at("track04.wav"), 78, 1323000},
    };
    for (const ExtentRow &x : extents) {
        Extent e = audio_extent(x.number);
        EXPECT_EQ(1, e.result) << x.number;
        EXPECT_EQ(x.path, e.path) << x.number;
        EXPECT_EQ(x.offset, e.offset) << x.number;
        EXPECT_EQ(x.frames, e.frames) << x.number;
        EXPECT_EQ(0, e.big_endian) << x.number;
    }
    // The path is lent from the file table, not copied.
    const char *path = nullptr;
    uint64_t offset;
    uint32_t frames;
    int big_endian;
    ASSERT_EQ(1, cdimage_audio_extent(4, &path, &offset, &frames, &big_endian));
    EXPECT_EQ(g_image.files[1].path, path);
}

TEST(TrackLayout, WithoutPregapsTracksEndAtTheNextIndexOne) {
    WorkedExample disc(false);
    ASSERT_EQ(1, open_quietly(disc.cue));
    const int64_t lengths[] = {45150, 13500, 13350, 2250};
    const int lbas[] = {0, 45150, 58650, 72000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lengths[i], g_image.tracks[i].length) << i;
        EXPECT_EQ(lbas[i], cdimage_track_lba(i + 1)) << i;
    }
    EXPECT_EQ(74250, cdimage_disc_sectors());
    Extent e = audio_extent(2);
    EXPECT_EQ(1, e.result);
    EXPECT_EQ(106192800u, e.offset);
    EXPECT_EQ(13500u * 588u, e.frames);
}

// Rippers often write a TRACK line (and its INDEX 00, a pregap at the end of
// the file before) ahead of the FILE line of the file that holds its INDEX
// 01. a.bin holds 7 sectors, b.bin 8, c.bin 6.
TEST(TrackLayout, TrackLineAheadOfItsFileLineBelongsToTheNextFile) {
    struct Case {
        const char *what;
        const char *sheet;
        int file_index[3];
        int64_t length[3];
        int lba[3];
    };
    const Case cases[] = {
        {"pregaps at the ends of the files before",
         "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:00:05\n"
         "FILE b.bin BINARY\nINDEX 01 00:00:00\nTRACK 03 AUDIO\nINDEX 00 00:00:06\n"
         "FILE c.bin BINARY\nINDEX 01 00:00:00\n",
         {0, 1, 2}, {5, 6, 6}, {0, 7, 15}},
        {"a pregap after the FILE line lies in the new file",
         "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
         "FILE b.bin BINARY\nINDEX 00 00:00:00\nINDEX 01 00:00:02\nTRACK 03 AUDIO\n"
         "FILE c.bin BINARY\nINDEX 01 00:00:01\n",
         {0, 1, 2}, {7, 6, 5}, {0, 9, 16}},
        {"the usual layout keeps each track in the file before",
         "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:00:05\n"
         "INDEX 01 00:00:06\nFILE b.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\nFILE c.bin BINARY\n",
         {0, 0, 1}, {5, 1, 8}, {0, 6, 7}},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_sectors(dir.at("a.bin"), 7);
        write_sectors(dir.at("b.bin"), 8);
        write_sectors(dir.at("c.bin"), 6);
        write_text(dir.at("disc.cue"), c.sheet);
        std::string err;
        ASSERT_EQ(1, open_image(dir.at("disc.cue"), err)) << c.what << err;
        ASSERT_EQ(3, g_image.track_count) << c.what;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.file_index[i], g_image.tracks[i].file_index) << c.what << ", track " << i + 1;
            EXPECT_EQ(c.length[i], g_image.tracks[i].length) << c.what << ", track " << i + 1;
            EXPECT_EQ(c.lba[i], cdimage_track_lba(i + 1)) << c.what << ", track " << i + 1;
        }
        EXPECT_EQ(21, cdimage_disc_sectors()) << c.what;
    }
}

TEST(TrackLayout, MissingDiscFileLeavesItsTracksWithoutSectors) {
    WorkedExample disc(true, false);
    std::string err;
    ASSERT_EQ(1, open_image(disc.cue, err));
    EXPECT_EQ("cdimage: " + disc.dir.at("disc.bin") + " is missing: only its audio tracks\n" +
                  opened_without_volume(disc.cue, 4),
              err);
    const int64_t lengths[] = {45000, 13350, -58650, 2250};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lengths[i], g_image.tracks[i].length) << i;
    EXPECT_EQ(45150, cdimage_track_lba(2));
    EXPECT_EQ(0, cdimage_track_lba(4));
    EXPECT_EQ(2250, cdimage_disc_sectors());

    Extent two = audio_extent(2);
    EXPECT_EQ(1, two.result);
    EXPECT_EQ(disc.dir.at("disc.bin"), two.path);
    EXPECT_EQ(106192800u, two.offset);
    EXPECT_EQ(7849800u, two.frames);
    EXPECT_EQ(0, audio_extent(3).result);
    Extent four = audio_extent(4);
    EXPECT_EQ(1, four.result);
    EXPECT_EQ(78u, four.offset);
}

TEST(TrackLayout, NoTrackOrATrackWithoutIndexOneFailsTheOpen) {
    const char *sheets[] = {
        "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 00 00:00:00\n",
        "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 00:00:50\n",
        "FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nTRACK 03 MODE1/2352\n"
        "INDEX 01 00:00:50\n",
        "FILE disc.bin BINARY\n",
    };
    for (const char *sheet : sheets) {
        TempDir dir;
        write_sectors(dir.at("disc.bin"), 100);
        write_text(dir.at("disc.cue"), sheet);
        std::string err;
        EXPECT_EQ(0, open_image(dir.at("disc.cue"), err)) << sheet;
        EXPECT_EQ("", err) << sheet;
        EXPECT_EQ(0, cdimage_is_open()) << sheet;
    }
}

TEST(TrackLayout, DataTrackIsTheFirstThatIsNotAudio) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 100);
    write_text(dir.at("audio.cue"), "FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                    "TRACK 02 AUDIO\nINDEX 01 00:00:50\n");
    std::string err;
    EXPECT_EQ(0, open_image(dir.at("audio.cue"), err));
    EXPECT_EQ("", err);

    write_text(dir.at("mixed.cue"), "FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                    "TRACK 02 MODE1/2352\nINDEX 01 00:00:50\nTRACK 03 MODE2/2352\n"
                                    "INDEX 01 00:00:60\n");
    ASSERT_EQ(1, open_quietly(dir.at("mixed.cue")));
    EXPECT_EQ(&g_image.tracks[1], g_image.data_track);
}

TEST(TrackLayout, SectorSizeOfTheLastTrackEndsTheFileAndOfTheFirstCountsIt) {
    TempDir dir;
    // 2,352,000 bytes: 1000 sectors of 2352, 1148 whole sectors of 2048.
    write_sparse_file(dir.at("mixed.bin"), 2352000);
    write_sparse_file(dir.at("data.bin"), 2048000);
    write_sectors(dir.at("tail.bin"), 10);
    write_text(dir.at("disc.cue"),
               "FILE mixed.bin BINARY\n"
               "TRACK 01 MODE1/2048\n"
               "INDEX 01 00:00:00\n"
               "TRACK 02 AUDIO\n"
               "INDEX 01 00:06:50\n"
               "FILE data.bin BINARY\n"
               "TRACK 03 MODE1/2048\n"
               "INDEX 01 00:00:00\n"
               "FILE tail.bin BINARY\n"
               "TRACK 04 AUDIO\n"
               "INDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(500, g_image.tracks[0].length);
    EXPECT_EQ(500, g_image.tracks[1].length);
    EXPECT_EQ(1000, g_image.tracks[2].length);
    EXPECT_EQ(500, cdimage_track_lba(2));
    EXPECT_EQ(1148, cdimage_track_lba(3));
    EXPECT_EQ(1148 + 1000, cdimage_track_lba(4));
    EXPECT_EQ(1148 + 1000 + 10, cdimage_disc_sectors());
}

TEST(TrackLayout, Mode2Form2336SectorsAreCountedBy2336) {
    TempDir dir;
    // 300 sectors of 2336 bytes are 297 and a bit in 2352-byte sectors.
    write_sectors(dir.at("mode2.bin"), 300, 2336);
    write_sectors(dir.at("tail.bin"), 10);
    write_text(dir.at("disc.cue"),
               "FILE mode2.bin BINARY\n"
               "TRACK 01 MODE2/2336\n"
               "INDEX 01 00:02:00\n"
               "FILE tail.bin BINARY\n"
               "TRACK 02 AUDIO\n"
               "INDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    const Track &t = g_image.tracks[0];
    EXPECT_EQ(2336, t.sector_size);
    EXPECT_EQ(8, t.header_size);
    EXPECT_EQ(150, t.length);
    EXPECT_EQ(300, cdimage_track_lba(2));
    EXPECT_EQ(310, cdimage_disc_sectors());
}

TEST(TrackLayout, Mode2Form2336VolumeIsReadBehindTheSubheaders) {
    TempDir dir;
    Bytes volume = build_iso_volume({iso_file("README.TXT;1", Bytes(100, 'r')),
                                     iso_dir("DOCS", {iso_file("A.TXT;1", Bytes(10, 'a'))})});
    std::string cue = write_data_image(dir.path, volume, SectorMode::MODE2_2336, 150);
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ("cdimage: " + cue + ", 1 tracks, 3 files\n", err);
}

TEST(TrackLayout, FileWithoutTracksCountsByRawSectors) {
    TempDir dir;
    write_sectors(dir.at("a.bin"), 20);
    write_sparse_file(dir.at("extra.bin"), 30 * 2352 + 2351);
    write_sectors(dir.at("c.bin"), 10);
    write_text(dir.at("disc.cue"),
               "FILE a.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
               "FILE extra.bin BINARY\n"
               "FILE c.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    // a.bin counts by its track's 2048-byte sectors, extra.bin by 2352.
    const int a_sectors = 20 * 2352 / 2048;
    EXPECT_EQ(a_sectors + 30, cdimage_track_lba(2));
    EXPECT_EQ(a_sectors + 30 + 10, cdimage_disc_sectors());
}

TEST(TrackLayout, QueriesByNumberTakeTheFirstTrackAndExtentsTheLastAudioOne) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 500);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\n"
               "TRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "TRACK 05 MODE1/2352\nINDEX 01 00:01:25\n"
               "TRACK 05 AUDIO\nINDEX 01 00:02:50\n"
               "TRACK 05 AUDIO\nINDEX 01 00:04:00\n"
               "TRACK 05 MODE2/2352\nINDEX 01 00:05:25\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(0, cdimage_track_is_audio(5));
    EXPECT_EQ(100, cdimage_track_lba(5));
    Extent e = audio_extent(5);
    ASSERT_EQ(1, e.result);
    EXPECT_EQ(300u * 2352u, e.offset);
    EXPECT_EQ(100u * 588u, e.frames);

    EXPECT_EQ(0, cdimage_track_is_audio(6));
    EXPECT_EQ(0, cdimage_track_lba(6));
    EXPECT_EQ(0, audio_extent(6).result);
    EXPECT_EQ(5, cdimage_track_count());
    EXPECT_EQ(5, cdimage_track_number(4));
    EXPECT_EQ(0, cdimage_track_number(-1));
    EXPECT_EQ(0, cdimage_track_number(5));
}

TEST(TrackLayout, AudioTrackAtOrPastTheEndOfItsFileHasNoExtent) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 100);
    write_sectors(dir.at("b.bin"), 100);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "TRACK 02 AUDIO\nINDEX 01 00:01:25\n"
               "FILE b.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:02:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(0, g_image.tracks[1].length);
    EXPECT_EQ(-50, g_image.tracks[2].length);
    EXPECT_EQ(0, audio_extent(2).result);
    EXPECT_EQ(0, audio_extent(3).result);
}

TEST(TrackLayout, BigEndianFileIsFlaggedInItsExtent) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    write_sectors(dir.at("music.raw"), 20);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "FILE music.raw MOTOROLA\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    Extent e = audio_extent(2);
    ASSERT_EQ(1, e.result);
    EXPECT_EQ(1, e.big_endian);
    EXPECT_EQ(5u * 2352u, e.offset);
    EXPECT_EQ(15u * 588u, e.frames);
    EXPECT_EQ(15, cdimage_track_lba(2));
}

TEST(TrackLayout, FrameCountOfAHugeTrackKeepsItsLow32Bits) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    // 10,956,550 sectors are 6,442,451,400 frames; cut to 32 bits after the
    // division by 4 they are 2,147,484,104 (cutting the bytes first gives 456).
    const int64_t sectors = 10956550;
    write_sectors(dir.at("huge.bin"), sectors);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "FILE huge.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(sectors, g_image.tracks[1].length);
    Extent e = audio_extent(2);
    ASSERT_EQ(1, e.result);
    EXPECT_EQ(2147484104u, e.frames);
    EXPECT_EQ(0u, e.offset);
    EXPECT_EQ(10 + sectors, cdimage_disc_sectors());
}
