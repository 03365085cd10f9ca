// Track layout and the track queries: lengths, disc-wide addresses, the data
// track and the audio extents.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "module_view.h"
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

    ASSERT_EQ(2, file_count());
    EXPECT_EQ(0, file_view(0).data_offset);
    EXPECT_EQ(169345000, file_view(0).data_size);
    EXPECT_EQ(78, file_view(1).data_offset);
    EXPECT_EQ(5292000, file_view(1).data_size);

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
    const CueSheet cue = cue_positions(disc.cue);
    for (int i = 0; i < 4; ++i) {
        const TrackView t = track_view(i);
        const Row &r = rows[i];
        EXPECT_EQ(r.number, cdimage_track_number(i));
        EXPECT_EQ(r.file_index, t.file) << r.number;
        EXPECT_EQ(r.is_audio, cdimage_track_is_audio(r.number));
        EXPECT_EQ(r.index0, cue.tracks[i].index0) << r.number;
        EXPECT_EQ(r.index1, cue.tracks[i].index1) << r.number;
        EXPECT_EQ(r.length, t.length) << r.number;
        EXPECT_EQ(r.lba, cdimage_track_lba(r.number));
    }
    EXPECT_EQ(0, data_track_index());
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
        // The last track of disc.bin ends at its last whole frame: 1000
        // bytes past its last whole sector are 250 frames more.
        {3, disc.dir.at("disc.bin"), 137944800, 7849800 + 250},
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
    EXPECT_EQ(file_view(1).path, path);
}

TEST(TrackLayout, WithoutPregapsTracksEndAtTheNextIndexOne) {
    WorkedExample disc(false);
    ASSERT_EQ(1, open_quietly(disc.cue));
    const int64_t lengths[] = {45150, 13500, 13350, 2250};
    const int lbas[] = {0, 45150, 58650, 72000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lengths[i], track_view(i).length) << i;
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
        ASSERT_EQ(3, cdimage_track_count()) << c.what;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.file_index[i], track_view(i).file) << c.what << ", track " << i + 1;
            EXPECT_EQ(c.length[i], track_view(i).length) << c.what << ", track " << i + 1;
            EXPECT_EQ(c.lba[i], cdimage_track_lba(i + 1)) << c.what << ", track " << i + 1;
        }
        EXPECT_EQ(21, cdimage_disc_sectors()) << c.what;
    }
}

// The data track is lost with its file: a failure, named once (no volume is
// looked for in it).
TEST(TrackLayout, MissingDiscFileLeavesItsTracksWithoutSectors) {
    WorkedExample disc(true, false);
    std::string err;
    ASSERT_EQ(1, open_image(disc.cue, err));
    EXPECT_EQ("cdimage: " + disc.dir.at("disc.bin") + " is missing: no data track\ncdimage: " + disc.cue +
                  ", 4 tracks, 0 files\n",
              err);
    EXPECT_EQ(1, cdimage_failure_count());
    const int64_t lengths[] = {45000, 13350, -58650, 2250};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lengths[i], track_view(i).length) << i;
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
    EXPECT_EQ(1, data_track_index());
}

// One file may hold tracks of different sector sizes, as a CHD extracted to
// one .bin holds a MODE1/2048 track and then AUDIO tracks: each track's
// bytes begin where the sectors of the tracks before it in the file end,
// each counted in its own size. The data track's reader and the audio
// extent agree on it.
TEST(TrackLayout, TracksOfMixedSectorSizesInOneFileLieBehindEachOther) {
    TempDir dir;
    // 490 sectors of 2048 bytes, then 564 of 2352 (10 of them the pregap)
    // and 200 bytes.
    const Bytes data = pattern(490 * 2048, 3);
    const Bytes audio = pattern(564 * 2352 + 200, 4);
    write_file(dir.at("mixed.bin"), concat({data, audio}));
    write_sparse_file(dir.at("data.bin"), 2048000);
    write_sectors(dir.at("tail.bin"), 10);
    write_text(dir.at("disc.cue"),
               "FILE mixed.bin BINARY\n"
               "TRACK 01 MODE1/2048\n"
               "INDEX 01 00:00:00\n"
               "TRACK 02 AUDIO\n"
               "INDEX 00 00:06:40\n"
               "INDEX 01 00:06:50\n"
               "FILE data.bin BINARY\n"
               "TRACK 03 MODE1/2048\n"
               "INDEX 01 00:00:00\n"
               "FILE tail.bin BINARY\n"
               "TRACK 04 AUDIO\n"
               "INDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    // Track 01 ends at track 02's pregap (sector 490); the pregap's ten
    // sectors are 2352 bytes each, from byte 490 * 2048 on, and the last
    // 200 bytes are 50 frames of track 02.
    EXPECT_EQ(490, track_view(0).length);
    EXPECT_EQ(564 - 10, track_view(1).length);
    EXPECT_EQ(1000, track_view(2).length);
    EXPECT_EQ(500, cdimage_track_lba(2));
    EXPECT_EQ(1054, cdimage_track_lba(3));
    EXPECT_EQ(1054 + 1000, cdimage_track_lba(4));
    EXPECT_EQ(1054 + 1000 + 10, cdimage_disc_sectors());

    unsigned char sector[2048];
    ASSERT_EQ(1, read_data_sector(default_image(), 489, sector));
    EXPECT_TRUE(slice(data, 489 * 2048, 2048) == Bytes(sector, sector + 2048));

    Extent two = audio_extent(2);
    ASSERT_EQ(1, two.result);
    EXPECT_EQ(490u * 2048u + 10u * 2352u, two.offset);
    EXPECT_EQ((564u - 10u) * 588u + 50u, two.frames);
}

// Stored sectors of one size keep the positions of INDEX times alone,
// whatever pregaps the sheet gives.
TEST(TrackLayout, FileOfOneSectorSizeKeepsIndexPositions) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 300);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "TRACK 02 AUDIO\nINDEX 00 00:01:00\nINDEX 01 00:01:10\n"
               "TRACK 03 AUDIO\nINDEX 01 00:02:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(85u * 2352u, audio_extent(2).offset);
    EXPECT_EQ(150u * 2352u, audio_extent(3).offset);
    EXPECT_EQ(150u * 588u, audio_extent(3).frames);
    EXPECT_EQ(300, cdimage_disc_sectors());
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
    const TrackView t = track_view(0);
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
    EXPECT_EQ(0, track_view(1).length);
    EXPECT_EQ(-50, track_view(2).length);
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

// 7,304,367 sectors are 4,294,967,796 frames, 500 past 32 bits: cut to 32
// bits they would state a 500-frame track. An extent states no track whose
// frames do not fit.
TEST(TrackLayout, TrackOfFramesPast32BitsHasNoExtent) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    const int64_t sectors = 7304367;
    write_sectors(dir.at("huge.bin"), sectors);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
               "FILE huge.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(sectors, track_view(1).length);
    EXPECT_EQ(0, audio_extent(2).result);
    int samples = -1;
    uint32_t rate = 0;
    EXPECT_EQ(0, cdimage_audio_format(2, &samples, &rate));
    EXPECT_EQ(10 + sectors, cdimage_disc_sectors());
}

// The listing's query goes by table position, so tracks that share a number
// each answer for themselves; its texts are the module's own.
TEST(TrackLayout, TrackInfoAnswersByTablePositionForEveryTrack) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 500);
    write_sectors(dir.at("more.bin"), 100);
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\n"
               "TRACK 01 mode1/2352\nINDEX 01 00:00:00\n"
               "TRACK 05 Audio\nINDEX 01 00:02:50\n"
               "TRACK 05 AUDIO\nINDEX 01 00:04:00\n"
               "TRACK 07 CDI/2352\nINDEX 01 00:06:50\n"
               "FILE more.bin BINARY\n"
               "TRACK 08 MODE2/2336\nINDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    struct Row {
        int number;
        std::string mode;
        int64_t start, sectors;
        std::string file;
    };
    const Row rows[] = {
        {1, "MODE1/2352", 0, 200, "disc.bin"},   {5, "AUDIO", 200, 100, "disc.bin"},
        {5, "AUDIO", 300, 200, "disc.bin"},       {7, "CDI/2352", 500, 0, "disc.bin"},
        {8, "MODE2/2336", 500, 100 * 2352 / 2336, "more.bin"},
    };
    for (int i = 0; i < 5; ++i) {
        int number = -1;
        const char *mode = nullptr, *file = nullptr;
        int64_t start = -1, sectors = -1;
        ASSERT_EQ(1, cdimage_track_info(i, &number, &mode, &start, &sectors, &file)) << i;
        EXPECT_EQ(rows[i].number, number) << i;
        EXPECT_EQ(rows[i].mode, mode) << i;
        EXPECT_EQ(rows[i].start, start) << i;
        EXPECT_EQ(rows[i].sectors, sectors) << i;
        EXPECT_EQ(dir.at(rows[i].file), file) << i;
    }
    // Every out-value may be left out; a position outside the table, or a
    // closed image, gives 0 and writes nothing.
    EXPECT_EQ(1, cdimage_track_info(4, nullptr, nullptr, nullptr, nullptr, nullptr));
    int number = -1;
    EXPECT_EQ(0, cdimage_track_info(5, &number, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, cdimage_track_info(-1, &number, nullptr, nullptr, nullptr, nullptr));
    cdimage_close();
    EXPECT_EQ(0, cdimage_track_info(0, &number, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, number);
}
