// The options of the command line through the built binary: help, version,
// unknown options, "--", the listing, and the progress line on a terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"

namespace {

std::string text_of(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The README's block of text that follows the line `command`, up to the
// closing fence: the documented output, kept in that one place.
std::string documented_output(const std::string &command) {
    const std::string readme = text_of(std::string(CDUNPACK_SOURCE_DIR) + "/README.md");
    const size_t at = readme.find(command + "\n");
    if (at == std::string::npos)
        return "(no block for '" + command + "' in README.md)";
    const size_t begin = at + command.size() + 1;
    return readme.substr(begin, readme.find("```", begin) - begin);
}

// The sample disc of the README, made in work/sample/disc; false when the
// disc lacks its Ogg Vorbis or FLAC track (oggenc or flac missing), which
// the README shows.
bool make_sample_disc(const TempDir &work) {
    RunResult made = run_program({MAKE_SAMPLE_DISC_BINARY, "sample/disc"}, work.path);
    return made.exit_code == 0 && path_exists(work.at("sample/disc/track05.ogg")) &&
           path_exists(work.at("sample/disc/track06.flac"));
}

// The module's line as the sample disc opens, from the README's run of it.
std::string sample_disc_opened() {
    const std::string run = documented_output("$ build/cdunpack sample/disc/sample.cue sample/out");
    return run.substr(0, run.find('\n') + 1);
}

// A one-file volume on a MODE1/2352 data track whose sectors are all holes
// but the volume's own: the file is `size` bytes of zeros that cost nothing
// to store. Gives the cue sheet's name.
std::string write_large_file_image(const TempDir &work, uint32_t size) {
    constexpr uint32_t ROOT = 18, FILE_EXTENT = 19;
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT, ISO_SECTOR));
    Bytes root = directory_record(Bytes{0}, ROOT, ISO_SECTOR, true);
    for (const Bytes &record : {directory_record(Bytes{1}, ROOT, ISO_SECTOR, true),
                                directory_record("BIG.DAT;1", FILE_EXTENT, size, false)})
        root.insert(root.end(), record.begin(), record.end());
    put_bytes(volume, ROOT, root);
    const uint64_t sectors = FILE_EXTENT + (size + ISO_SECTOR - 1) / ISO_SECTOR;
    write_sparse_file(work.at("big.bin"), sectors * 2352, 0, wrap_sectors(volume, SectorMode::MODE1_2352));
    write_text(work.at("big.cue"), "FILE big.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
    return "big.cue";
}

// Every state of the progress line drawn on the terminal: the text between
// a carriage return and the erasing of the rest of the line.
std::vector<std::string> progress_drawings(const std::string &terminal) {
    std::vector<std::string> drawings;
    for (size_t at = terminal.find('\r'); at != std::string::npos; at = terminal.find('\r', at + 1)) {
        const size_t end = terminal.find("\033[K", at);
        if (end != std::string::npos && end > at + 1 && terminal.find('\n', at) > end)
            drawings.push_back(terminal.substr(at + 1, end - at - 1));
    }
    return drawings;
}

}  // namespace

TEST(CliOptions, HelpAndVersionAnswerOnStandardOutputAndCreateNothing) {
    const std::vector<std::vector<std::string>> help_lists = {{"-h"}, {"--help"}, {"--help", "out"},
                                                              {"-q", "-h", "disc.cue", "out"}};
    for (const auto &arguments : help_lists) {
        TempDir work;
        std::vector<std::string> argv = {cdunpack_binary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(0, run.exit_code) << arguments[0];
        EXPECT_EQ("", run.err) << arguments[0];
        EXPECT_EQ(0u, run.out.find("usage: " + cdunpack_binary() + " [-q] <image.cue> <out>\n")) << run.out;
        for (const char *option : {"-l, --list", "-q, --quiet", "--names=KIND", "-h, --help", "-V, --version", "--  ", "Exit status"})
            EXPECT_NE(std::string::npos, run.out.find(option)) << option;
        EXPECT_TRUE(list_tree(work.path).empty()) << arguments[0];
    }
    for (const char *option : {"-V", "--version"}) {
        TempDir work;
        RunResult run = run_program({cdunpack_binary(), option, "disc.cue", "out"}, work.path);
        EXPECT_EQ(0, run.exit_code) << option;
        EXPECT_EQ(std::string("cdunpack ") + CDUNPACK_VERSION + "\n", run.out) << option;
        EXPECT_EQ("", run.err) << option;
        EXPECT_TRUE(list_tree(work.path).empty()) << option;
    }
}

TEST(CliOptions, UnknownOptionIsNamedWithTheUsageAndCreatesNothing) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-x", "disc.cue", "out"}, "-x"},
        {{"-qz", "disc.cue", "out"}, "-z"},
        {{"--quiet=yes", "disc.cue", "out"}, "--quiet=yes"},
        {{"--verbose", "disc.cue", "out"}, "--verbose"},
        {{"--names=utf8", "disc.cue", "out"}, "--names=utf8"},
        {{"--names", "disc.cue", "out"}, "--names"},
    };
    for (const auto &[arguments, named] : cases) {
        TempDir work;
        std::vector<std::string> argv = {cdunpack_binary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(1, run.exit_code) << named;
        EXPECT_EQ("cdunpack: unknown option '" + named + "'\nusage: " + cdunpack_binary() + " <image.cue> <out>\n",
                  run.err);
        EXPECT_EQ("", run.out);
        EXPECT_TRUE(list_tree(work.path).empty()) << named;
    }
}

TEST(CliOptions, DoubleDashLetsACueSheetNameBeginWithADash) {
    TempDir work;
    write_data_image(work.path, build_iso_volume({iso_file("A.TXT;1", Bytes{'a'})}), SectorMode::MODE1_2048, 0,
                     "-disc");
    RunResult run = run_program({cdunpack_binary(), "--", "-disc.cue", "out"}, work.path);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("1 files\n", run.out);
    EXPECT_EQ("cdimage: -disc.cue, 1 tracks, 1 files\n", run.err);
    EXPECT_EQ(Bytes{'a'}, read_file(work.at("out/A.TXT")));
}

// Through pipes, with or without -q, the run prints what it always printed,
// and the README shows exactly that.
TEST(CliOptions, UnpackingTheSampleDiscPrintsTheDocumentedLinesUnderPipes) {
    TempDir work;
    if (!make_sample_disc(work))
        GTEST_SKIP() << "the sample disc needs oggenc and flac for its compressed tracks";
    const std::string expected = documented_output("$ build/cdunpack sample/disc/sample.cue sample/out");
    for (const char *quiet : {"", "-q"}) {
        std::vector<std::string> argv = {cdunpack_binary()};
        if (*quiet)
            argv.push_back(quiet);
        argv.insert(argv.end(), {"sample/disc/sample.cue", std::string("sample/out") + (*quiet ? "-q" : "")});
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(0, run.exit_code) << quiet;
        const std::string out_dir = *quiet ? "sample/out-q" : "sample/out";
        EXPECT_EQ(sample_disc_opened(), run.err) << quiet;
        EXPECT_EQ(expected, run.err + run.out) << quiet;
    }
}

TEST(CliOptions, ListingOfTheSampleDiscIsTheDocumentedOneAndWritesNothing) {
    TempDir work;
    if (!make_sample_disc(work))
        GTEST_SKIP() << "the sample disc needs oggenc and flac for its compressed tracks";
    const std::vector<std::string> before = list_tree(work.path);
    for (const char *option : {"-l", "--list"}) {
        RunResult run = run_program({cdunpack_binary(), option, "sample/disc/sample.cue"}, work.path);
        EXPECT_EQ(0, run.exit_code) << option;
        EXPECT_EQ(documented_output("$ build/cdunpack --list sample/disc/sample.cue"), run.out) << option;
        EXPECT_EQ(sample_disc_opened(), run.err) << option;
    }
    EXPECT_EQ(before, list_tree(work.path));
}

TEST(CliOptions, ListingFailsLikeAnUnpack) {
    TempDir work;
    RunResult missing = run_program({cdunpack_binary(), "-l", "missing.cue"}, work.path);
    EXPECT_EQ(1, missing.exit_code);
    EXPECT_EQ("cdunpack: missing.cue: No such file or directory\nmissing.cue: cannot open the image\n", missing.err);
    EXPECT_EQ("", missing.out);
    for (const std::vector<std::string> &operands : {std::vector<std::string>{}, {"a.cue", "out"}}) {
        std::vector<std::string> argv = {cdunpack_binary(), "--list"};
        argv.insert(argv.end(), operands.begin(), operands.end());
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(1, run.exit_code);
        EXPECT_EQ("usage: " + cdunpack_binary() + " --list <image.cue>\n", run.err);
    }
    EXPECT_TRUE(list_tree(work.path).empty());
}

// Bytes done as a drawing of the line shows them ("12.5 MiB / ..."), or 0.
double bytes_shown(const std::string &drawing) {
    unsigned percent = 0;
    double value = 0;
    char unit[8] = "";
    if (std::sscanf(drawing.c_str(), "%u%% %lf %7s", &percent, &value, unit) != 3)
        return 0;
    const std::string units[] = {"B", "KiB", "MiB", "GiB"};
    for (const std::string &u : units) {
        if (u == unit)
            return value;
        value *= 1024;
    }
    return 0;
}

// A 256 MiB file, held back so that the run lasts past the first second: on
// a terminal the line shows and advances, then leaves the messages exactly
// as a run under pipes prints them; -q shows nothing however long the run.
TEST(CliOptions, ProgressLineOnATerminalAdvancesAndLeavesNoTrace) {
    constexpr uint32_t SIZE = 256 * 1024 * 1024;
    const std::string opened = "cdimage: big.cue, 1 tracks, 1 files\n";
    struct Case {
        const char *name;
        std::vector<std::string> options;
        Terminal terminal;
    };
    const std::vector<Case> cases = {
        {"both streams on the terminal", {}, Terminal::STDOUT_AND_STDERR},
        {"standard error alone on the terminal", {}, Terminal::STDERR},
        {"quiet", {"-q"}, Terminal::STDOUT_AND_STDERR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool quiet = !c.options.empty();
        TempDir work;
        const std::string cue = write_large_file_image(work, SIZE);
        std::vector<std::string> argv = {cdunpack_binary()};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {cue, "out"});
        Throttle throttle;
        throttle.from = opened;
        throttle.until = "BIG.DAT\033[K";
        throttle.until_count = 3;
        // The copy advances at most one kernel copy step (8 MiB) per running
        // spell, so it cannot end before the line has been drawn three
        // times, however late a loaded machine runs the drawing thread.
        throttle.watch = work.at("out/BIG.DAT");
        throttle.watch_step = 1;
        throttle.limit_seconds = quiet ? 2 : 50;
        RunResult run = run_program(argv, work.path, 60, c.terminal, &throttle);

        EXPECT_EQ(0, run.exit_code);
        struct stat written;
        ASSERT_EQ(0, stat(work.at("out/BIG.DAT").c_str(), &written));
        EXPECT_EQ(SIZE, static_cast<uint64_t>(written.st_size));
        if (quiet) {
            EXPECT_EQ(opened + "1 files\n", run.terminal);
            continue;
        }
        const std::vector<std::string> drawings = progress_drawings(run.terminal);
        ASSERT_GE(drawings.size(), 3u) << run.terminal;
        double last = 0;
        for (const std::string &drawing : drawings) {
            EXPECT_LE(drawing.size(), 79u) << drawing;
            EXPECT_NE(std::string::npos, drawing.find(" / 256.0 MiB  ")) << drawing;
            EXPECT_EQ(drawing.size() - 11, drawing.find("/s  BIG.DAT")) << drawing;
            EXPECT_GE(bytes_shown(drawing), last) << drawing;
            last = bytes_shown(drawing);
        }
        EXPECT_LT(bytes_shown(drawings.front()), bytes_shown(drawings.back()));
        EXPECT_LT(bytes_shown(drawings.back()), SIZE);
        // The line is gone; the messages stand as they would without it.
        if (c.terminal == Terminal::STDOUT_AND_STDERR) {
            EXPECT_EQ(opened + "1 files\n", terminal_screen_text(run.terminal));
            EXPECT_EQ("", run.out);
        } else {
            EXPECT_EQ(opened, terminal_screen_text(run.terminal));
            EXPECT_EQ("1 files\n", run.out);
        }
    }
}

// Recorded times are shown in UTC whatever offset the record gives, "-" for
// a record without a valid date; a track that its file ends before has no
// length to show; a control character in a name shows as '?'.
TEST(CliOptions, ListingShowsTimesInUtcAndDashesWhatIsUnknown) {
    TempDir work;
    IsoNode east = iso_file("EAST.TXT;1", Bytes(5, 'e'));
    east.date = {124, 5, 17, 12, 0, 0, 8};  // 12:00 two hours east of GMT
    IsoNode undated = iso_file("UNDATED.TXT;1", Bytes(7, 'u'));
    undated.date = {0, 0, 0, 0, 0, 0, 0};
    // A newline inside an identifier must not forge a line of the listing.
    IsoNode forged = iso_file("A\ntrack 99 AUDIO;1", Bytes(1, 'f'));
    write_data_image(work.path, build_iso_volume({iso_file("GMT.TXT;1", Bytes(3, 'g')), east, undated, forged}),
                     SectorMode::MODE1_2048);
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                                    "TRACK 02 AUDIO\nINDEX 01 10:00:00\n");
    RunResult run = run_program({cdunpack_binary(), "--list", "disc.cue"}, work.path);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("#kind no  mode          start  start.msf  sectors  length    file\n"
              "track 01  MODE1/2048        0  00:00:00     45000  10:00:00  ./disc.bin\n"
              "track 02  AUDIO         45000  10:00:00    -39162  -         ./disc.bin\n"
              "#kind         size  recorded              name\n"
              "file             3  2024-05-17T12:00:00Z  GMT.TXT\n"
              "file             5  2024-05-17T10:00:00Z  EAST.TXT\n"
              "file             7  -                     UNDATED.TXT\n"
              "file             1  2024-05-17T12:00:00Z  A?TRACK 99 AUDIO\n",
              run.out);
    EXPECT_EQ((std::vector<std::string>{"disc.bin", "disc.cue"}), list_tree(work.path));
}

// The mode word is the sheet's own text: an escape sequence in it shows as
// '?' in the listing, as a name's would.
TEST(CliOptions, ListingShowsControlCharactersOfTheModeWordAsQuestionMarks) {
    TempDir work;
    write_data_image(work.path, build_iso_volume({iso_file("A.TXT;1", Bytes(1, 'a'))}), SectorMode::MODE1_2048);
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\033[2J\nINDEX 01 00:00:00\n");
    RunResult run = run_program({cdunpack_binary(), "--list", "disc.cue"}, work.path);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("track 01  MODE1/2048?[2J        0  00:00:00")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find('\033')) << run.out;
}
