// The cue sheet reader: keywords, names and paths, modes, indexes, limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "module_view.h"
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
        int64_t sectors;  // -1: not a time
    };
    const Case cases[] = {
        {"00:00:00", 0},       {"10:00:00", 45000},    {"00:02:00", 150},     {"1:2:3", 4653},
        {"74:59:74", 337499},  {"00:59:74", 4499},     {"100:00:00", 450000},
        // Seconds reach 60 or frames 75: read as a time, they would name the
        // position of some other time.
        {"00:60:00", -1},      {"00:00:75", -1},       {"00:99:99", -1},
        {"-1:00:00", -1},      {"+1:00:00", -1},       {"0:-1:0", -1},        {"01:00", -1},
        {"", -1},              {"ab:cd:ef", -1},       {"00-02-00", -1},      {"1:2:3 trailing", -1},
        {"00:00:00x", -1},     {"00:00:00:00", -1},    {"::", -1},
        {"99999999999:00:00", -1},
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
        {"keywords are whole tokens in any case; other keywords are passed over",
         // The last two lines join their keyword to what follows.
         "REM GENRE \"Rock\nTITLE \"unclosed\nfile \"disc.bin\" binary\n  Track 01 mode1/2352\n\tiNdEx 01 00:00:00\n"
         "track 02 Audio\nindex 01 00:02:00\nFILE\"disc.bin\" BINARY\nTRACK03 AUDIO\n",
         {"disc.bin"},
         {{1, 0, 0, 0, -1}, {2, 1, 0, 150, -1}}},
        {"INDEX lines set the last track's indexes; the last INDEX 01 holds",
         "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 1 00:02:00\nTRACK 02 AUDIO\nINDEX 00 00:04:00\n"
         "INDEX 01 00:05:00\nINDEX 01 00:06:00\nINDEX 02 00:07:00\nINDEX 03 later\nINDEX\nTRACK 03 AUDIO\n"
         "INDEX 01 00:08:00\n",
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
        for (int i = 0; i < file_count(); ++i)
            files.push_back(file_view(i).path);
        std::vector<std::string> expected_files;
        for (const std::string &name : c.files)
            expected_files.push_back(dir.at(name));
        EXPECT_EQ(expected_files, files);
        std::vector<TrackRow> tracks;
        const CueSheet cue = cue_positions(dir.at("disc.cue"));
        for (int i = 0; i < cdimage_track_count(); ++i) {
            const TrackView t = track_view(i);
            const CueTrack &p = cue.tracks[i];
            tracks.push_back({t.number, t.is_audio, p.file_index, p.index1, p.index0});
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
    ASSERT_EQ(2, file_count());
    EXPECT_EQ(dir.at("disc.bin"), file_view(0).path);
    EXPECT_EQ(300 * RAW_SECTOR_SIZE, file_view(0).data_size);
    EXPECT_EQ(dir.at("side.wav"), file_view(1).path);
    EXPECT_EQ(TrackFormat::STORED, file_view(1).format);
    EXPECT_EQ(44, file_view(1).data_offset);
    ASSERT_EQ(3, cdimage_track_count());
    EXPECT_EQ(1, track_view(1).is_audio);
    EXPECT_EQ(150, cue_positions(dir.at("disc.cue")).tracks[1].index1);
    EXPECT_EQ(1, track_view(2).is_audio);
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
    ASSERT_EQ(3, file_count());
    EXPECT_EQ(dir.at("my disc.bin"), file_view(0).path);
    EXPECT_EQ(dir.at("side b.wav"), file_view(1).path);
    EXPECT_EQ(20, file_view(1).data_offset);
    EXPECT_EQ(dir.at("big end.raw"), file_view(2).path);
    EXPECT_EQ(TrackFormat::STORED_BIG_ENDIAN, file_view(2).format);
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
    ASSERT_EQ(5, file_count());
    EXPECT_EQ(TrackFormat::STORED, file_view(1).format);
    EXPECT_EQ(44, file_view(1).data_offset);
    EXPECT_EQ(TrackFormat::STORED, file_view(2).format);
    EXPECT_EQ(0, file_view(2).data_offset);
    EXPECT_EQ(static_cast<int64_t>(wave.size()), file_view(2).data_size);
    // A missing file is never handed to the decoder, whatever its name.
    EXPECT_EQ(TrackFormat::STORED, file_view(4).format);
    EXPECT_EQ(0, file_view(4).data_size);
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
        ASSERT_EQ(1, file_count());
        EXPECT_EQ(c.path, file_view(0).path) << c.cue_path << " " << c.name;
        EXPECT_EQ(10 * RAW_SECTOR_SIZE, file_view(0).data_size) << c.path;
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
    ASSERT_EQ(static_cast<int>(sizeof cases / sizeof cases[0]), cdimage_track_count());
    for (int i = 0; i < cdimage_track_count(); ++i) {
        const TrackView t = track_view(i);
        EXPECT_EQ(cases[i].number, t.number) << cases[i].track_line;
        EXPECT_EQ(cases[i].is_audio, t.is_audio) << cases[i].track_line;
        EXPECT_EQ(cases[i].sector_size, t.sector_size) << cases[i].track_line;
        EXPECT_EQ(cases[i].header_size, t.header_size) << cases[i].track_line;
        EXPECT_EQ(0, t.file) << cases[i].track_line;
    }
}

// What cdimage_open_reason gives after an open: the text and the line.
struct Reason {
    std::string text;  // empty for a null reason
    int line;
    bool operator==(const Reason &o) const { return text == o.text && line == o.line; }
};

std::ostream &operator<<(std::ostream &out, const Reason &r) {
    return out << "{line " << r.line << ": \"" << r.text << "\"}";
}

Reason open_reason() {
    int line = -1;
    const char *text = cdimage_open_reason(&line);
    return text == nullptr ? Reason{"", line} : Reason{text, line};
}

const char *const DATA_LINES = "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";

// A line that cannot be taken as written refuses the whole sheet, naming the
// line: passed over, it would change what the lines after it mean (an
// unread FILE line leaves its tracks in the file before it, so the data
// track's bytes would come out as audio).
TEST(CueReader, LinesThatCannotBeReadRefuseTheSheetWithTheirReason) {
    std::string hundred_files = DATA_LINES;
    for (int i = 1; i <= MAX_TRACK_FILES; ++i) hundred_files += "FILE a.bin BINARY\n";
    std::string hundred_tracks = DATA_LINES;
    for (int n = 2; n <= MAX_TRACKS + 1; ++n)
        hundred_tracks += "TRACK " + std::to_string(n) + " AUDIO\nINDEX 01 " + msf_text(static_cast<uint32_t>(n)) + "\n";
    struct Case {
        const char *what;
        std::string sheet;
        Reason reason;
    };
    const Case cases[] = {
        {"a FILE name without its closing quote",
         std::string(DATA_LINES) + "FILE \"a.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         {"FILE name without its closing quote", 4}},
        {"a FILE line without a name", std::string(DATA_LINES) + "FILE   \n", {"FILE line without a name", 4}},
        {"an empty quoted name", "FILE \"\" BINARY\n", {"FILE line without a name", 1}},
        {"a 100th FILE line", hundred_files, {"more than 99 FILE lines", 102}},
        {"a 100th TRACK line", hundred_tracks, {"more than 99 TRACK lines", 200}},
        {"an INDEX 01 without a time", "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\n  INDEX 01 \r\n",
         {"INDEX 01 without a time", 3}},
        {"an INDEX 01 that is not a time", "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 later\n",
         {"INDEX 01 time 'later' is not mm:ss:ff (seconds < 60, frames < 75)", 3}},
        {"an INDEX 01 with 60 seconds", "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 1 00:60:00\n",
         {"INDEX 01 time '00:60:00' is not mm:ss:ff (seconds < 60, frames < 75)", 3}},
        {"an INDEX 00 with 75 frames",
         std::string(DATA_LINES) + "TRACK 02 AUDIO\nINDEX 00 00:01:75\nINDEX 01 00:02:00\n",
         {"INDEX 00 time '00:01:75' is not mm:ss:ff (seconds < 60, frames < 75)", 5}},
        {"a long time is quoted in part",
         "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 " + std::string(100, '0') + "x\n",
         {"INDEX 01 time '" + std::string(24, '0') + "' is not mm:ss:ff (seconds < 60, frames < 75)", 3}},
        {"a track without INDEX 01",
         "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 00 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
         {"track 01 has no INDEX 01", 2}},
        {"no TRACK line", "FILE disc.bin BINARY\nREM TRACK 01 AUDIO\n", {"no TRACK line", 0}},
        {"no data track", "FILE disc.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {"no data track", 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_sectors(dir.at("disc.bin"), 1000);
        write_sectors(dir.at("a.bin"), 10);
        write_text(dir.at("disc.cue"), c.sheet);
        std::string err;
        EXPECT_EQ(0, open_image(dir.at("disc.cue"), err));
        EXPECT_EQ("", err);
        EXPECT_EQ(0, cdimage_cue_error());
        EXPECT_EQ(c.reason, open_reason());
    }
}

TEST(CueReader, NinetyNineFilesAndTracksAreAccepted) {
    TempDir dir;
    write_sectors(dir.at("a.bin"), 200);
    std::string cue = DATA_LINES;
    for (int i = 1; i < MAX_TRACK_FILES; ++i) cue += "FILE a.bin BINARY\n";
    for (int n = 2; n <= MAX_TRACKS; ++n)
        cue += "TRACK " + std::to_string(n) + " AUDIO\nINDEX 01 " + msf_text(static_cast<uint32_t>(n)) + "\n";
    write_text(dir.at("disc.cue"), replace_all(cue, "disc.bin", "a.bin"));
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(MAX_TRACK_FILES, file_count());
    ASSERT_EQ(MAX_TRACKS, cdimage_track_count());
    EXPECT_EQ(99, track_view(MAX_TRACKS - 1).number);
    EXPECT_EQ(99, cue_positions(dir.at("disc.cue")).tracks[MAX_TRACKS - 1].index1);
}

// The reason belongs to the sheet alone: a failure the module names itself
// gets none, and each open starts without one.
TEST(CueReader, OpenReasonNamesOnlyRefusalsOfTheSheet) {
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 100);
    write_text(dir.at("good.cue"), DATA_LINES);
    write_text(dir.at("bad.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\n");
    write_text(dir.at("gone.cue"), std::string(DATA_LINES) + "FILE gone.wav WAVE\n");

    EXPECT_EQ(0, open_quietly(dir.at("missing.cue")));
    EXPECT_EQ(ENOENT, cdimage_cue_error());
    EXPECT_EQ((Reason{"No such file or directory", 0}), open_reason());
    EXPECT_EQ(0, open_quietly(dir.path));
    EXPECT_EQ((Reason{"Is a directory", 0}), open_reason());

    EXPECT_EQ(0, open_quietly(dir.at("bad.cue")));
    ASSERT_EQ(1, open_quietly(dir.at("good.cue")));
    EXPECT_EQ((Reason{"", -1}), open_reason());

    std::string err;
    EXPECT_EQ(0, open_image(dir.at("gone.cue"), err));
    EXPECT_EQ("cdimage: " + dir.at("gone.wav") + " is missing\n", err);
    EXPECT_EQ((Reason{"", -1}), open_reason());
    EXPECT_EQ(nullptr, cdimage_open_reason(nullptr));
}

// Names are joined to the sheet's directory whole, as long as the system
// takes paths (4095 bytes): never cut into a path that names another file.
TEST(CueReader, LongPathsAreUsedWholeAndTooLongOnesRefused) {
    TempDir dir;
    // Directories of names up to 250 characters, nested until a file name
    // of 100 to 255 characters makes a path of 4095 bytes.
    std::string deep = dir.path;
    std::vector<std::string> components;
    for (std::size_t left = 4095 - deep.size() - 1; left > 255; left = 4095 - deep.size() - 1) {
        components.push_back(std::string(std::min<std::size_t>(250, left - 1 - 100), static_cast<char>('a' + components.size())));
        deep += "/" + components.back();
        ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
    }
    const std::size_t last_size = 4095 - deep.size() - 1;
    const std::string longest = deep + "/" + std::string(last_size - 4, 'z') + ".bin";
    ASSERT_EQ(4095u, longest.size());
    write_sectors(longest, 7);
    // A name of several thousand characters, on a line far longer than 1023.
    std::string name;
    for (const std::string &component : components) name += component + "/";
    name += longest.substr(deep.size() + 1);
    struct Case {
        const char *what;
        std::string cue;
        std::string file_line;
        std::string path;  // empty: refused
    };
    const Case cases[] = {
        {"a sheet deep in folders, a short name", deep + "/disc.cue",
         "FILE \"" + longest.substr(deep.size() + 1) + "\" BINARY", longest},
        {"a sheet at the top, a long name", dir.at("disc.cue"), "FILE \"" + name + "\" BINARY", longest},
        {"a path one byte too long", dir.at("disc.cue"), "FILE \"" + name + "x\" BINARY", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_text(c.cue, c.file_line + "\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
        if (c.path.empty()) {
            std::string err;
            EXPECT_EQ(0, open_image(c.cue, err));
            EXPECT_EQ("", err);
            EXPECT_EQ((Reason{"track file path longer than 4095 bytes", 1}), open_reason());
            continue;
        }
        ASSERT_EQ(1, open_quietly(c.cue));
        EXPECT_EQ(c.path, file_view(0).path);
        EXPECT_EQ(7 * RAW_SECTOR_SIZE, file_view(0).data_size);
    }
}

// Whatever a line holds is one line: text far inside a long remark is never
// read as a line of its own, and a long FILE line is read whole.
TEST(CueReader, LongLinesAreReadWhole) {
    struct Case {
        const char *what;
        std::string line;
        int files;  // FILE records after disc.bin's line and this one
    };
    const std::string remark_1023 = "REM " + std::string(1019, 'x');
    const Case cases[] = {
        {"a FILE keyword past 1023 characters", remark_1023 + "FILE more.bin BINARY", 1},
        {"a FILE line padded past 1023 characters", "FILE more.bin BINARY" + std::string(1100, ' ') + "FILE x", 2},
        {"a FILE name past 1023 characters", "FILE \"" + std::string(1100, '/') + "more.bin\"", 2},
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
        EXPECT_EQ(c.files, file_count()) << c.what;
        ASSERT_EQ(2, cdimage_track_count()) << c.what;
        EXPECT_EQ(c.files - 1, track_view(1).file) << c.what;
        if (c.files == 2) {
            EXPECT_EQ(20 * RAW_SECTOR_SIZE, file_view(1).data_size) << c.what;
        }
    }
    // A long last line without a final newline is one line too.
    TempDir dir;
    write_sectors(dir.at("disc.bin"), 10);
    write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n" + remark_1023 +
                                       "TRACK 02 AUDIO");
    ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(1, cdimage_track_count());
}

// What is read as a cue sheet at all: a regular file of at most 16 MiB,
// without a NUL byte anywhere; never a FIFO, which would block the open.
TEST(CueReader, OnlyRegularFilesOfAtMost16MiBWithoutNulAreRead) {
    // Past the first 64 KiB, which are looked at before the rest is read.
    std::string start = std::string(DATA_LINES);
    while (start.size() <= 64 * 1024) start += "REM " + std::string(1000, 'r') + "\n";
    std::string exactly_16_mib = DATA_LINES;
    while (exactly_16_mib.size() < MAX_CUE_SHEET_SIZE)
        exactly_16_mib += "REM " + std::string(std::min<std::size_t>(1000, MAX_CUE_SHEET_SIZE - exactly_16_mib.size()), 'r') + "\n";
    exactly_16_mib.resize(MAX_CUE_SHEET_SIZE);
    struct Case {
        const char *what;
        std::string text;
        uint64_t sparse_size;  // the file is extended to this size, past its text
        Reason reason;         // empty: the image opens
    };
    const Case cases[] = {
        {"a sheet of 16 MiB", exactly_16_mib, 0, {"", -1}},
        {"a sheet of 16 MiB and a byte", exactly_16_mib + "\n", 0, {"larger than 16 MiB", 0}},
        {"a sheet that goes on, sparse, to 10 GiB", start, 10ull << 30, {"larger than 16 MiB", 0}},
        {"a NUL byte past the first 64 KiB", start + std::string(70000, '\n') + std::string(1, '\0') + "\n", 0,
         {"not a cue sheet", 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_sectors(dir.at("disc.bin"), 10);
        write_text(dir.at("disc.cue"), c.text);
        if (c.sparse_size != 0) {
            ASSERT_EQ(0, truncate(dir.at("disc.cue").c_str(), static_cast<off_t>(c.sparse_size)));
        }
        const bool opens = c.reason.text.empty();
        EXPECT_EQ(opens ? 1 : 0, open_quietly(dir.at("disc.cue")));
        EXPECT_EQ(opens ? 0 : CDIMAGE_NOT_A_CUE_SHEET, cdimage_cue_error());
        EXPECT_EQ(c.reason, open_reason());
    }
    TempDir dir;
    ASSERT_EQ(0, mkfifo(dir.at("disc.cue").c_str(), 0644));
    EXPECT_EQ(0, open_quietly(dir.at("disc.cue")));
    EXPECT_EQ(CDIMAGE_NOT_A_CUE_SHEET, cdimage_cue_error());
    EXPECT_EQ((Reason{"not a regular file", 0}), open_reason());
}

// A sheet saved as UTF-16 (either byte order, with its byte-order mark) is
// read as the same text in UTF-8, names beyond ASCII and the BMP included.
TEST(CueReader, Utf16SheetsAreReadAsUtf8) {
    // "dïsc 🎵.bin": U+00EF, and U+1F3B5 as the surrogate pair D83C DFB5.
    const std::u16string name = u"d\u00efsc \U0001F3B5.bin";
    const std::u16string sheet = u"FILE \"" + name + u"\" BINARY\r\nTRACK 01 MODE1/2352\r\nINDEX 01 00:00:00\r\n";
    for (bool big_endian : {false, true}) {
        SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
        std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t unit : sheet) {
            const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
            bytes += big_endian ? std::string{high, low} : std::string{low, high};
        }
        TempDir dir;
        write_sectors(dir.at("d\xC3\xAFsc \xF0\x9F\x8E\xB5.bin"), 12);
        write_text(dir.at("disc.cue"), bytes);
        ASSERT_EQ(1, open_quietly(dir.at("disc.cue")));
        ASSERT_EQ(1, file_count());
        EXPECT_EQ(dir.at("d\xC3\xAFsc \xF0\x9F\x8E\xB5.bin"), file_view(0).path);
        EXPECT_EQ(12 * RAW_SECTOR_SIZE, file_view(0).data_size);
    }
}
