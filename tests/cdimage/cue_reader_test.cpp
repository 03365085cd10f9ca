// The cue sheet reader: keywords, names and paths, modes, indexes, limits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

// Restores the working directory when the test leaves it.
struct WorkingDirectory {
    std::string saved;
    explicit WorkingDirectory(const std::string &path) {
        char buffer[PATH_MAX];
        saved = getcwd(buffer, sizeof buffer) ? buffer : "/";
        EXPECT_EQ(0, chdir(path.c_str()));
    }
    ~WorkingDirectory() { EXPECT_EQ(0, chdir(saved.c_str())); }
};

// The fields of a track record that the cue sheet sets.
struct TrackRow {
    int number;
    int is_audio;
    int file_index;
    int64_t index1;
    int64_t index0;
    bool operator==(const TrackRow &o) const {
        return number == o.number && is_audio == o.is_audio && file_index == o.file_index && index1 == o.index1 &&
               index0 == o.index0;
    }
};

std::ostream &operator<<(std::ostream &out, const TrackRow &t) {
    return out << "{track " << t.number << (t.is_audio ? " audio" : " data") << ", file " << t.file_index
               << ", index1 " << t.index1 << ", index0 " << t.index0 << "}";
}

}  // namespace

TEST(ParseMsf, TurnsMinutesSecondsAndFramesIntoSectors) {
    struct Case {
        const char *time;
        int64_t sectors;
    };
    const Case cases[] = {
        {"00:00:00", 0},   {"10:00:00", 45000}, {"00:99:99", 7524}, {"-1:00:00", -4500},
        {"01:00", -1},     {"00:02:00", 150},   {"", -1},           {"1:2:3 trailing", 4653},
        {"ab:cd:ef", -1},  {"74:59:74", 337499}, {"+1:00:00", 4500},    {"0:-1:0", -75},
        {"00-02-00", -1},
    };
    for (const Case &c : cases) EXPECT_EQ(c.sectors, parse_msf(c.time)) << '"' << c.time << '"';
}

TEST(CueReader, SheetsFillTheFileAndTrackTables) {
    struct Case {
        const char *what;
        std::string sheet;
        std::vector<std::string> files;  // names in the cue sheet's directory
        std::vector<TrackRow> tracks;
    };
    const Case cases[] = {
        {"keywords are whole tokens in any case",
         // The last two lines join their keyword to what follows.
         "file \"disc.bin\" binary\n  Track 01 mode1/2352\n\tiNdEx 01 00:00:00\ntrack 02 Audio\nindex 01 00:02:00\n"
         "FILE\"disc.bin\" BINARY\nTRACK03 AUDIO\n",
         {"disc.bin"},
         {{1, 0, 0, 0, -1}, {2, 1, 0, 150, -1}}},
        {"INDEX lines set the last track's indexes; the last INDEX 01 holds",
         "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 1 00:02:00\nTRACK 02 AUDIO\nINDEX 00 00:04:00\n"
         "INDEX 01 00:05:00\nINDEX 01 00:06:00\nINDEX 02 00:07:00\nTRACK 03 AUDIO\nINDEX 01 00:08:00\n",
         {"disc.bin"},
         {{1, 0, 0, 150, -1}, {2, 1, 0, 450, 300}, {3, 1, 0, 600, -1}}},
        {"TRACK and INDEX lines before the first FILE are ignored",
         "TRACK 01 AUDIO\nINDEX 01 00:00:10\nFILE disc.bin BINARY\nINDEX 01 00:00:20\nTRACK 02 MODE1/2352\n"
         "INDEX 01 00:00:30\n",
         {"disc.bin"},
         {{2, 0, 0, 30, -1}}},
        {"an INDEX after a FILE line changes the track before it",
         "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE b.bin BINARY\nINDEX 01 00:00:10\n"
         "TRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         {"a.bin", "b.bin"},
         {{1, 0, 0, 10, -1}, {2, 1, 1, 0, -1}}},
        {"a byte-order mark is skipped at the start of the sheet only",
         "\xEF\xBB\xBF" "FILE \"disc.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
         "\xEF\xBB\xBF" "FILE \"a.bin\" BINARY\n",
         {"disc.bin"},
         {{1, 0, 0, 0, -1}}},
        {"broken FILE lines are ignored without a word",
         "FILE \"disc.bin\" BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nFILE \"unterminated.bin BINARY\n"
         "FILE\nFILE   \n",
         {"disc.bin"},
         {{1, 0, 0, 0, -1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const char *name : {"disc.bin", "a.bin", "b.bin"})
            write_sectors(dir.at(name), 1000);
        write_text(dir.at("disc.cue"), c.sheet);
        std::string err;
        ASSERT_EQ(1, open_image(dir.at("disc.cue"), err));
        EXPECT_EQ(opened_without_volume(dir.at("disc.cue"), static_cast<int>(c.tracks.size())), err);
        std::vector<std::string> files;
        for (int i = 0; i < g_image.file_count; ++i)
            files.push_back(g_image.files[i].path);
        std::vector<std::string> expected_files;
        for (const std::string &name : c.files)
            expected_files.push_back(dir.at(name));
        EXPECT_EQ(expected_files, files);
        std::vector<TrackRow> tracks;
        for (int i = 0; i < g_image.track_count; ++i) {
            const Track &t = g_image.tracks[i];
            tracks.push_back({t.number, t.is_audio, t.file_index, t.index1, t.index0});
        }
        EXPECT_EQ(c.tracks, tracks);
    }
}

TEST(CueReader, CarriageReturnsAtLineEndsAreWhiteSpace) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 300);
    write_file(dir.at("side.wav"), riff_wave({{"fmt ", wave_format()}, {"data", Bytes(2352)}}));
    // A name without a type, a mode and a time each end right before "\r".
    write_text(dir.at("disc.cue"),
               "FILE disc.bin\r\n"
               "TRACK 01 MODE1/2352\r\n"
               "INDEX 01 00:00:00\r\n"
               "TRACK 02 AUDIO\r\n"
               "INDEX 01 00:02:00\r\n"
               "FILE \"side.wav\" WAVE\r\n"
               "TRACK 03 AUDIO\r\n"
               "INDEX 01 00:00:00\r\n");
    std::string err;
    ASSERT_EQ(1, open_image(dir.at("disc.cue"), err));
    EXPECT_EQ(opened_without_volume(dir.at("disc.cue"), 3), err);
    ASSERT_EQ(2, g_image.file_count);
    EXPECT_EQ(dir.at("disc.bin"), g_image.files[0].path);
    EXPECT_EQ(300 * RAW_SECTOR_SIZE, g_image.files[0].data_size);
    EXPECT_EQ(dir.at("side.wav"), g_image.files[1].path);
    EXPECT_EQ(TrackFormat::STORED, g_image.files[1].format);
    EXPECT_EQ(44, g_image.files[1].data_offset);
    ASSERT_EQ(3, g_image.track_count);
    EXPECT_EQ(1, g_image.tracks[1].is_audio);
    EXPECT_EQ(150, g_image.tracks[1].index1);
    EXPECT_EQ(1, g_image.tracks[2].is_audio);
}

TEST(CueReader, QuotedNamesKeepBlanksAndTheTypeMayTouchTheQuote) {
    TempDir dir;
    write_sectors(dir.at("my disc.bin"), 100);
    write_file(dir.at("side b.wav"), riff_wave({{"data", Bytes(2352)}}));
    write_sectors(dir.at("big end.raw"), 10);
    write_text(dir.at("disc.cue"),
               "FILE \"my disc.bin\" BINARY\n"
               "TRACK 01 MODE1/2352\n"
               "INDEX 01 00:00:00\n"
               "FILE \"side b.wav\"WAVE\n"
               "TRACK 02 AUDIO\n"
               "INDEX 01 00:00:00\n"
               "FILE \"big end.raw\"motorola\n"
               "TRACK 03 AUDIO\n"
               "INDEX 01 00:00:00\n");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    ASSERT_EQ(3, g_image.file_count);
    EXPECT_EQ(dir.at("my disc.bin"), g_image.files[0].path);
    EXPECT_EQ(dir.at("side b.wav"), g_image.files[1].path);
    EXPECT_EQ(20, g_image.files[1].data_offset);
    EXPECT_EQ(dir.at("big end.raw"), g_image.files[2].path);
    EXPECT_EQ(TrackFormat::STORED_BIG_ENDIAN, g_image.files[2].format);
}

TEST(CueReader, TypeWordsChooseHowTheFileIsRead) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    Bytes wave = riff_wave({{"fmt ", wave_format()}, {"data", Bytes(2352)}});
    write_file(dir.at("lower.wav"), wave);
    write_file(dir.at("other.wav"), wave);
    // A name alone has the type BINARY, so its missing file is only reported,
    // as holding no track.
    write_text(dir.at("disc.cue"),
               "FILE disc.bin BINARY\n"
               "TRACK 01 MODE1/2352\n"
               "INDEX 01 00:00:00\n"
               "FILE lower.wav wave\n"
               "FILE other.wav AIFF\n"
               "FILE absent.bin\n"
               "FILE \"absent.OGG\" BINARY\n");
    std::string err;
    ASSERT_EQ(1, open_image(dir.at("disc.cue"), err));
    EXPECT_EQ("cdimage: " + dir.at("absent.bin") + " is missing\n" + "cdimage: " + dir.at("absent.OGG") +
                  " is missing\n" +
                  opened_without_volume(dir.at("disc.cue"), 1),
              err);
    ASSERT_EQ(5, g_image.file_count);
    const TrackFile *f = g_image.files;
    EXPECT_EQ(TrackFormat::STORED, f[1].format);
    EXPECT_EQ(44, f[1].data_offset);
    EXPECT_EQ(TrackFormat::STORED, f[2].format);
    EXPECT_EQ(0, f[2].data_offset);
    EXPECT_EQ(static_cast<int64_t>(wave.size()), f[2].data_size);
    // A missing file is never handed to the decoder, whatever its name.
    EXPECT_EQ(TrackFormat::STORED, f[4].format);
    EXPECT_EQ(0, f[4].data_size);
}

TEST(CueReader, NamesResolveAgainstTheCueDirectoryOnly) {
    TempDir dir;
    WorkingDirectory cwd(dir.path);
    write_sectors("disc.bin", 10);
    ASSERT_EQ(0, mkdir("images", 0755));
    ASSERT_EQ(0, mkdir("images/sub", 0755));
    write_sectors("images/disc.bin", 10);
    write_sectors("images/sub/disc.bin", 10);
    struct Case {
        const char *cue_path;
        const char *name;
        const char *path;
    };
    const Case cases[] = {
        {"disc.cue", "disc.bin", "./disc.bin"},
        {"images/disc.cue", "disc.bin", "images/disc.bin"},
        {"images/disc.cue", "\"sub\\disc.bin\"", "images/sub/disc.bin"},
        {"images/disc.cue", "/disc.bin", "images//disc.bin"},
        {"images/sub/disc.cue", "..\\disc.bin", "images/sub/../disc.bin"},
    };
    for (const Case &c : cases) {
        write_text(c.cue_path, std::string("FILE ") + c.name + " BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
        std::string err;
        EXPECT_EQ(1, open_image(c.cue_path, err)) << c.cue_path << " " << c.name;
        EXPECT_EQ(opened_without_volume(c.cue_path, 1), err);
        ASSERT_EQ(1, g_image.file_count);
        EXPECT_STREQ(c.path, g_image.files[0].path) << c.cue_path << " " << c.name;
        EXPECT_EQ(10 * RAW_SECTOR_SIZE, g_image.files[0].data_size) << c.path;
    }
}

TEST(CueReader, ModeWordsGiveSectorAndHeaderSizes) {
    struct Case {
        const char *track_line;
        int number;
        int is_audio;
        int sector_size;
        int header_size;
    };
    const Case cases[] = {
        {"TRACK 01 MODE1/2352", 1, 0, 2352, 16},  {"TRACK 02 AUDIO", 2, 1, 2352, 16},
        {"TRACK 03 audio", 3, 1, 2352, 16},       {"TRACK 04 MODE1/2048", 4, 0, 2048, 0},
        {"TRACK 05 MODE2/2048", 5, 0, 2048, 0},   {"TRACK 06 MODE2/2352", 6, 0, 2352, 24},
        {"TRACK 07 mode2/2352", 7, 0, 2352, 24},  {"TRACK 08 MODE2/2336", 8, 0, 2336, 8},
        {"TRACK 09 CDI/2336", 9, 0, 2336, 8},     {"TRACK 10 CDI/2352", 10, 0, 2352, 16},
        {"TRACK 11 MODE2/FORM1", 11, 0, 2352, 24}, {"TRACK 12 CDG", 12, 0, 2352, 16},
        {"TRACK 13", 13, 0, 2352, 16},            {"TRACK AUDIO", 0, 0, 2352, 16},
        {"TRACK +14 AUDIOX", 14, 0, 2352, 16},    {"TRACK 15 X2048Y", 15, 0, 2048, 0},
    };
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 1000);
    std::string cue = "FILE disc.bin BINARY\n";
    for (const Case &c : cases) cue += std::string(c.track_line) + "\nINDEX 01 00:00:00\n";
    write_text(dir.at("disc.cue"), cue);
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    ASSERT_EQ(static_cast<int>(sizeof cases / sizeof cases[0]), g_image.track_count);
    for (int i = 0; i < g_image.track_count; ++i) {
        const Track &t = g_image.tracks[i];
        EXPECT_EQ(cases[i].number, t.number) << cases[i].track_line;
        EXPECT_EQ(cases[i].is_audio, t.is_audio) << cases[i].track_line;
        EXPECT_EQ(cases[i].sector_size, t.sector_size) << cases[i].track_line;
        EXPECT_EQ(cases[i].header_size, t.header_size) << cases[i].track_line;
        EXPECT_EQ(0, t.file_index) << cases[i].track_line;
    }
}

TEST(CueReader, IndexOneThatIsNotATimeFailsTheOpen) {
    const char *bad_lines[] = {"INDEX 01", "INDEX 01 01:00", "INDEX 01 later"};
    for (const char *line : bad_lines) {
        TempDir dir;
        write_sectors(dir.at("disc.bin"), 100);
        write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 MODE1/2352\n") + line + "\n");
        std::string err;
        EXPECT_EQ(0, open_image(dir.at("disc.cue"), err)) << line;
        EXPECT_EQ("", err) << line;
        ASSERT_EQ(1, g_image.track_count);
        EXPECT_EQ(-1, g_image.tracks[0].index1) << line;
    }
}

TEST(CueReader, NinetyNinthFileIsAcceptedAndTheHundredthEndsTheOpen) {
    TempDir dir;
    write_sectors(dir.at("a.bin"), 10);
    std::string cue = "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    for (int i = 1; i < MAX_TRACK_FILES; ++i) cue += "FILE a.bin BINARY\n";
    // An ignored FILE line does not count towards the limit.
    write_text(dir.at("full.cue"), cue + "FILE \"a.bin BINARY\n");
    write_text(dir.at("over.cue"), cue + "FILE a.bin BINARY\n");

    ASSERT_EQ(1, open_quietly(dir.at("full.cue")));
    EXPECT_EQ(MAX_TRACK_FILES, g_image.file_count);
    EXPECT_EQ(99 * 10, cdimage_disc_sectors());

    std::string err;
    EXPECT_EQ(0, open_image(dir.at("over.cue"), err));
    EXPECT_EQ("", err);
    EXPECT_EQ(0, cdimage_is_open());
    EXPECT_EQ(MAX_TRACK_FILES, g_image.file_count);
    EXPECT_EQ(1, g_image.track_count);
}

TEST(CueReader, TracksPastTheNinetyNinthAreIgnored) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 2000);
    std::string cue = "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    for (int n = 2; n <= MAX_TRACKS; ++n)
        cue += "TRACK " + std::to_string(n) + " AUDIO\nINDEX 01 00:00:" + std::to_string(n) + "\n";
    // The 100th TRACK line is ignored, so its INDEX moves track 99.
    cue += "TRACK 100 MODE1/2048\nINDEX 01 00:10:00\n";
    write_text(dir.at("disc.cue"), cue);
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    ASSERT_EQ(MAX_TRACKS, g_image.track_count);
    const Track &last = g_image.tracks[MAX_TRACKS - 1];
    EXPECT_EQ(99, last.number);
    EXPECT_EQ(1, last.is_audio);
    EXPECT_EQ(RAW_SECTOR_SIZE, last.sector_size);
    EXPECT_EQ(750, last.index1);
    EXPECT_EQ(2000 - 750, last.length);
}

TEST(CueReader, LongLinesAreCutAt1023Characters) {
    // Whatever a line holds past its first 1023 characters is skipped, up to
    // and including its newline: it never becomes a line of its own.
    struct Case {
        const char *what;
        std::string line;
        int files;  // FILE records after disc.bin's line and this one
    };
    const std::string remark_1023 = "REM " + std::string(1019, 'x');
    const Case cases[] = {
        {"a FILE keyword right behind the cut", remark_1023 + "FILE more.bin BINARY", 1},
        {"a FILE line padded past the cut", "FILE more.bin BINARY" + std::string(1100, ' ') + "FILE x", 2},
        {"a line of exactly 1023 characters", remark_1023, 1},
        {"a line of 1022 characters", remark_1023.substr(0, 1022), 1},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_sectors(dir.at("disc.bin"), 10);
        write_sectors(dir.at("more.bin"), 20);
        // The TRACK line behind the long one must still be read as it is.
        write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n" + c.line +
                                           "\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
        ASSERT_EQ(1, open_quietly(dir.at("disc.cue"))) << c.what;
        EXPECT_EQ(c.files, g_image.file_count) << c.what;
        ASSERT_EQ(2, g_image.track_count) << c.what;
        EXPECT_EQ(c.files - 1, g_image.tracks[1].file_index) << c.what;
    }
    // The cut reaches the end of a sheet without a final newline.
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n" + remark_1023 +
                                       "TRACK 02 AUDIO");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(1, g_image.track_count);
}
