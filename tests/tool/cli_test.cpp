// The command line as a user meets it: the built cdunpack binary, its
// arguments, its output directory, its messages and exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "module_view.h"
#include "fixtures.h"
#include "printable_text.h"
#include "test_image.h"

namespace {

// The mode bits of a directory, or -1 when the path is not one.
int directory_mode(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

const char *const DATA_TRACK = "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";

// disc.bin: a MODE1/2352 data track holding the volume, then `audio_sectors`
// sectors of an audio track listed as track 02 in disc.cue, followed by
// `more_lines`.
void write_disc(const TempDir &dir, const std::vector<IsoNode> &tree, uint32_t audio_sectors,
                const std::string &more_lines = "") {
    Bytes bin = wrap_sectors(build_iso_volume(tree), SectorMode::MODE1_2352);
    const uint32_t audio_start = static_cast<uint32_t>(bin.size() / RAW_SECTOR);
    Bytes audio = pattern(static_cast<size_t>(audio_sectors) * RAW_SECTOR, 3);
    bin.insert(bin.end(), audio.begin(), audio.end());
    write_file(dir.at("disc.bin"), bin);
    write_text(dir.at("disc.cue"),
               std::string(DATA_TRACK) + "TRACK 02 AUDIO\nINDEX 01 " + msf_text(audio_start) + "\n" + more_lines);
}

}  // namespace

TEST(Cli, WrongArgumentCountPrintsUsageAndCreatesNothing) {
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"disc.cue"}, {"disc.cue", "out", "extra"}};
    for (const auto &arguments : argument_lists) {
        TempDir work;
        write_text(work.at("disc.cue"), "FILE disc.bin BINARY\n");
        std::vector<std::string> argv = {cdunpack_binary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        RunResult run = run_program(argv, work.path);
        EXPECT_EQ(1, run.exit_code) << arguments.size();
        EXPECT_EQ("usage: " + cdunpack_binary() + " <image.cue> <out>\n", run.err) << arguments.size();
        EXPECT_EQ("", run.out) << arguments.size();
        EXPECT_EQ(std::vector<std::string>{"disc.cue"}, list_tree(work.path)) << arguments.size();
    }
}

TEST(Cli, MissingCueSheetCreatesTheDirectoryAndFails) {
    TempDir work;
    umask(022);
    RunResult run = run_program({cdunpack_binary(), "missing.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("cdunpack: missing.cue: No such file or directory\nmissing.cue: cannot open the image\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0755, directory_mode(work.at("out")));
    EXPECT_EQ(std::vector<std::string>{"out/"}, list_tree(work.path));
}

TEST(Cli, ImageOfAudioTracksOnlyDoesNotOpen) {
    TempDir work;
    umask(022);
    write_sectors(work.at("music.bin"), 200);
    write_text(work.at("music.cue"),
               "FILE music.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n");
    RunResult run = run_program({cdunpack_binary(), "music.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("cdunpack: music.cue: no data track\nmusic.cue: cannot open the image\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0755, directory_mode(work.at("out")));
    EXPECT_EQ((std::vector<std::string>{"music.bin", "music.cue", "out/"}), list_tree(work.path));
}

TEST(Cli, MissingTrackFileIsReportedBeforeTheToolsLine) {
    TempDir work;
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                    "FILE side.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(1, run.exit_code);
    // The file that stops the open first; then the other missing files,
    // without what they would have cost an image that opened.
    EXPECT_EQ("cdimage: ./side.wav is missing\n"
              "cdimage: ./disc.bin is missing\n"
              "disc.cue: cannot open the image\n",
              run.err);
    EXPECT_EQ("", run.out);
}

TEST(Cli, ImageWithoutVolumeOpensAndExitsZero) {
    TempDir work;
    write_sectors(work.at("disc.bin"), 300);
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                    "TRACK 02 AUDIO\nINDEX 01 00:02:00\n");
    ASSERT_EQ(0, mkdir(work.at("out").c_str(), 0755));
    write_text(work.at("out/keep.txt"), "kept\n");
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("cdimage: disc.cue has no ISO 9660 data track\n"
              "cdimage: disc.cue, 2 tracks, 0 files\n",
              run.err);
    EXPECT_EQ(0u, run.out.rfind("0 files\n", 0)) << run.out;
    EXPECT_EQ(read_file(work.at("out/keep.txt")), Bytes({'k', 'e', 'p', 't', '\n'}));
}

struct OutputArgumentCase {
    const char *what;
    std::string out;  // the output argument, relative to the working directory
    std::string err;  // "@" stands for the program's path
};

// The output argument is checked before anything is opened: an empty one
// (an unset shell variable) would put the volume's tree at the root of the
// file system, and a path that cannot be a directory is refused at once.
TEST(Cli, OutputArgumentsThatCannotBeTheOutputDirectoryAreRefused) {
    const std::string probe = "CDUNPACK_EMPTY_OUT_PROBE.TXT";
    const std::vector<OutputArgumentCase> cases = {
        {"an empty argument", "", "usage: @ <image.cue> <out>\n"},
        {"a plain file", "plain", "cdunpack: plain: Not a directory\n"},
        {"a path below a plain file", "plain/sub", "cdunpack: plain/sub: Not a directory\n"},
        {"a link to a plain file", "link", "cdunpack: link: Not a directory\n"},
    };
    for (const OutputArgumentCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        write_disc(work, {iso_file(probe + ";1", Bytes{'x'})}, 1);
        write_text(work.at("plain"), "mine\n");
        ASSERT_EQ(symlink("plain", work.at("link").c_str()), 0);
        const std::vector<std::string> before = list_tree(work.path);

        const RunResult run = run_program({cdunpack_binary(), "disc.cue", c.out}, work.path);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, replace_all(c.err, "@", cdunpack_binary()));
        EXPECT_EQ(list_tree(work.path), before);
        EXPECT_EQ(read_file(work.at("plain")), (Bytes{'m', 'i', 'n', 'e', '\n'}));
        EXPECT_FALSE(path_exists("/" + probe));
        EXPECT_FALSE(path_exists("/audio/track02.wav"));
    }
}

struct CueReasonCase {
    const char *what;
    std::string name;
    Bytes contents;
    std::string reason;
    uint64_t sparse_size = 0;  // the file goes on, sparse, to this size
    bool fifo = false;         // a FIFO in place of the file
};

// A file that is no cue sheet (a track file, an image, some text) is not
// read line by line, which would name garbage as missing track files.
TEST(Cli, FilesThatAreNoCueSheetAreExplained) {
    const Bytes raw_volume = wrap_sectors(build_iso_volume({iso_file("A.TXT;1", Bytes{'a'})}), SectorMode::MODE1_2352);
    const std::string binary_with_file_line = std::string("\x01\x02\x00\x03", 4) + "\nFILE x.bin BINARY\n";
    const std::string text_after_64_kib = std::string(64 * 1024, '\n') + "FILE disc.bin BINARY\n";
    const std::string sheet_past_64_kib = std::string(DATA_TRACK) + std::string(64 * 1024, '\n');
    const std::vector<CueReasonCase> cases = {
        {"a raw .bin", "disc.bin", raw_volume, "not a cue sheet (give the .cue file that describes the image)"},
        {"an .iso, any case", "disc.ISO", build_iso_volume({}),
         "not a cue sheet (give the .cue file that describes the image)"},
        {"NUL bytes beside a FILE line", "disc.cue", Bytes(binary_with_file_line.begin(), binary_with_file_line.end()),
         "not a cue sheet"},
        {"text whose FILE line lies past 64 KiB", "disc.cue", Bytes(text_after_64_kib.begin(), text_after_64_kib.end()),
         "not a cue sheet"},
        {"a NUL byte past the first 64 KiB", "disc.cue", text_bytes(sheet_past_64_kib + '\0'), "not a cue sheet"},
        // Read to its end, it used to take most of a minute.
        {"a sheet that goes on, sparse, to 10 GiB", "disc.cue", text_bytes(sheet_past_64_kib), "larger than 16 MiB",
         10ull << 30},
        {"a large .iso", "disc.iso", build_iso_volume({}),
         "not a cue sheet (give the .cue file that describes the image)", 20u << 20},
        // Opened for reading, it would wait for a writer forever.
        {"a FIFO", "disc.cue", {}, "not a regular file", 0, true},
    };
    for (const CueReasonCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        if (c.fifo) {
            ASSERT_EQ(0, mkfifo(work.at(c.name).c_str(), 0644));
        } else {
            write_file(work.at(c.name), c.contents);
        }
        if (c.sparse_size != 0) {
            ASSERT_EQ(0, truncate(work.at(c.name).c_str(), static_cast<off_t>(c.sparse_size)));
        }
        const std::string expected = "cdunpack: " + c.name + ": " + c.reason + "\n" + c.name + ": cannot open the image\n";
        const RunResult run = run_program({cdunpack_binary(), c.name, "out"}, work.path, 20);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, expected);
        const RunResult listed = run_program({cdunpack_binary(), "--list", c.name}, work.path, 20);
        EXPECT_EQ(listed.exit_code, 1);
        EXPECT_EQ(listed.out, "");
        EXPECT_EQ(listed.err, expected);
    }
}

// A sheet whose lines cannot be taken as written is refused, its line and
// the reason named, and nothing comes out: passed over, an unread FILE line
// left its tracks in the file before it, and the volume's bytes came out as
// audio.
TEST(Cli, SheetLinesThatCannotBeReadAreNamedWithTheirLine) {
    std::string hundred_tracks;
    for (int n = 3; n <= 100; ++n) hundred_tracks += "TRACK " + std::to_string(n) + " AUDIO\nINDEX 01 00:00:01\n";
    struct Case {
        const char *what;
        std::string more_lines;  // behind the data track and track 02
        std::string reason;
    };
    const Case cases[] = {
        {"a FILE name without its closing quote", "FILE \"track03.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n",
         "line 6: FILE name without its closing quote"},
        {"a 100th TRACK line", hundred_tracks, "line 200: more than 99 TRACK lines"},
        {"seconds that reach 60", "TRACK 03 AUDIO\nINDEX 01 00:60:00\n",
         "line 7: INDEX 01 time '00:60:00' is not mm:ss:ff (seconds < 60, frames < 75)"},
        {"control characters in a time", "TRACK 03 AUDIO\nINDEX 01 0\x1b]0;x\x07\n",
         "line 7: INDEX 01 time '0?]0;x?' is not mm:ss:ff (seconds < 60, frames < 75)"},
        {"a track without INDEX 01", "TRACK 03 AUDIO\nINDEX 00 00:00:00\n", "line 6: track 03 has no INDEX 01"},
        {"a track file path past 4095 bytes", "FILE \"" + std::string(4100, 'n') + "\" WAVE\n",
         "line 6: track file path longer than 4095 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        write_disc(work, {iso_file("A.TXT;1", Bytes{'a'})}, 75, c.more_lines);
        const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "cdunpack: disc.cue: " + c.reason + "\ndisc.cue: cannot open the image\n");
        EXPECT_EQ(list_tree(work.at("out")), std::vector<std::string>{});
    }
}

// Paths are used whole: a sheet in a folder of 1015 characters names its
// track file, not a cut path inside that folder.
TEST(Cli, ImageInADeepFolderOpensWhole) {
    TempDir work;
    std::string deep = work.path;
    while (deep.size() < 1015) {
        deep += "/" + std::string(std::min<std::size_t>(200, 1015 - deep.size() - 1), 'd');
        ASSERT_EQ(0, mkdir(deep.c_str(), 0755));
    }
    ASSERT_EQ(1015u, deep.size());
    write_file(deep + "/disc.bin", wrap_sectors(build_iso_volume({iso_file("A.TXT;1", Bytes{'a'})}), SectorMode::MODE1_2352));
    write_text(deep + "/disc.cue", DATA_TRACK);
    const RunResult run = run_program({cdunpack_binary(), deep + "/disc.cue", work.at("out")});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "1 files\n");
    EXPECT_EQ(run.err, "cdimage: " + deep + "/disc.cue, 1 tracks, 1 files\n");
    EXPECT_EQ(read_file(work.at("out/A.TXT")), Bytes{'a'});
}

// A sheet saved as UTF-16 (here little-endian, with its byte-order mark)
// unpacks as its UTF-8 text would.
TEST(Cli, Utf16SheetUnpacks) {
    TempDir work;
    write_disc(work, {iso_file("A.TXT;1", Bytes{'a'})}, 75);
    const std::string text = read_text(work.at("disc.cue"));
    std::string utf16 = "\xFF\xFE";
    for (char c : text) utf16 += std::string{c, '\0'};
    write_text(work.at("disc.cue"), utf16);
    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 1 files\n");
    EXPECT_EQ(run.out, "1 files\ntrack 02: 0:01\n");
    EXPECT_EQ(list_tree(work.at("out")), (std::vector<std::string>{"A.TXT", "audio/", "audio/track02.wav"}));
}

// With standard output and standard error on one pipe, the lines come in
// the order in which they happened: the count before the audio phase.
TEST(Cli, LinesKeepTheirOrderOnOnePipe) {
    TempDir work;
    write_file(work.at("empty.bin"), {});
    write_disc(work, {iso_file("A.TXT;1", Bytes{'a'})}, 75, "FILE empty.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n");
    const RunResult run =
        run_program({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "cdimage: disc.cue, 3 tracks, 1 files\n"
                       "1 files\n"
                       "track 02: 0:01\n"
                       "track 03: read failed\n");
}

// An image cut short (an incomplete download): every file wholly before the
// cut comes out, every file reaching past it is named with the first sector
// that could not be read (counted from the data track's INDEX 01, behind a
// pregap here), and the exit code tells.
TEST(Cli, CutImageGivesTheFilesBeforeTheCutAndNamesTheRest) {
    std::vector<IsoNode> files;
    for (int i = 0; i < 10; ++i)
        files.push_back(iso_file("F" + std::to_string(i) + ".BIN;1", pattern(static_cast<size_t>(5000 + 1000 * i), static_cast<uint8_t>(i))));
    const Bytes volume = build_iso_volume({iso_dir("DIR", {files.begin(), files.begin() + 5}), files[5], files[6],
                                           files[7], files[8], files[9]});
    const uint32_t volume_sectors = static_cast<uint32_t>(volume.size() / ISO_SECTOR);
    constexpr uint32_t PREGAP = 150;
    // Bare 2048-byte sectors are copied file to file; raw ones gathered.
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir work;
        const std::string cue = write_data_image(work.path, volume, mode, PREGAP);
        // Cut 80 % into the volume, inside the user bytes of that sector.
        const uint32_t cut_sector = volume_sectors * 8 / 10;
        ASSERT_EQ(truncate(work.at("disc.bin").c_str(),
                           static_cast<off_t>(PREGAP + cut_sector) * stored_sector_size(mode) + user_data_offset(mode) + 100),
                  0);

        // The entries' extents say which files the cut reaches.
        testing::internal::CaptureStderr();
        ASSERT_EQ(cdimage_open(cue.c_str(), work.at("out").c_str()), 1);
        testing::internal::GetCapturedStderr();
        std::string named;
        std::vector<std::string> whole;
        int file_count = 0;
        for (int i = 0; i < cdimage_entry_count(); ++i) {
            const EntryView entry = entry_view(i);
            if (entry.is_dir)
                continue;
            ++file_count;
            const uint32_t extent = entry.extents.at(0).sector;
            if (extent + (entry.size + ISO_SECTOR - 1) / ISO_SECTOR <= cut_sector)
                whole.push_back(entry.name);
            else
                named += "cdimage: " + entry.name + ": read failed at sector " +
                         std::to_string(std::max(extent, cut_sector)) + "\n";
        }
        cdimage_close();
        ASSERT_EQ(file_count, 10);
        ASSERT_GT(whole.size(), 0u);
        ASSERT_LT(whole.size(), 10u);

        const RunResult run = run_program({cdunpack_binary(), cue, work.at("out")});
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.out, std::to_string(whole.size()) + " files\n");
        EXPECT_EQ(run.err, "cdimage: " + cue + ", 1 tracks, 11 files\n" + named);
        std::vector<std::string> tree = list_tree(work.at("out"));
        tree.erase(std::remove(tree.begin(), tree.end(), "DIR/"), tree.end());
        std::sort(whole.begin(), whole.end());
        EXPECT_EQ(tree, whole);
        for (const std::string &name : whole) {
            const std::string leaf = name.substr(name.rfind('/') + 1);
            const int i = leaf[1] - '0';
            EXPECT_EQ(read_file(work.at("out/" + name)), pattern(static_cast<size_t>(5000 + 1000 * i), static_cast<uint8_t>(i))) << name;
        }
    }
}

// Runs the tool as the unprivileged user nobody when run as root (CI is).
// False when that cannot be done here.
bool run_unprivileged(const std::vector<std::string> &argv, RunResult &run) {
    if (geteuid() != 0) {
        run = run_program(argv);
        return true;
    }
    if (!have_program("setpriv"))
        return false;
    std::vector<std::string> command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    command.insert(command.end(), argv.begin(), argv.end());
    run = run_program(command);
    return true;
}

TEST(Cli, ReadOnlyOutputDirectoryNamesEveryFileAndTrack) {
    TempDir work;
    ASSERT_EQ(chmod(work.path.c_str(), 0755), 0);
    write_disc(work, {iso_file("A.TXT;1", Bytes{'a'}), iso_dir("DIR", {iso_file("B.TXT;1", Bytes{'b'})})}, 75);
    ASSERT_EQ(mkdir(work.at("out").c_str(), 0555), 0);
    RunResult run;
    if (!run_unprivileged({cdunpack_binary(), work.at("disc.cue"), work.at("out")}, run))
        GTEST_SKIP() << "running as root without setpriv: the permissions would not hold";
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "0 files\n");
    EXPECT_EQ(run.err, "cdimage: " + work.at("disc.cue") + ", 2 tracks, 3 files\n"
                       "cdimage: A.TXT: Permission denied\n"
                       "cdimage: DIR/B.TXT: Permission denied\n" +
                           work.at("out") + "/audio/track02.wav: Permission denied\n");
    EXPECT_EQ(list_tree(work.at("out")), std::vector<std::string>{});
}

// The audio directory is created like the volume's directories: a link
// planted in its place is refused and named, and nothing is written where
// it leads.
TEST(Cli, LinkInPlaceOfTheAudioDirectoryIsRefused) {
    TempDir work;
    write_disc(work, {iso_file("A.TXT;1", Bytes{'a'})}, 75);
    ASSERT_EQ(mkdir(work.at("elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(work.at("out").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../elsewhere", work.at("out/audio").c_str()), 0);
    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, "1 files\n");
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 1 files\n"
                       "out/audio/track02.wav: audio is a symbolic link, not followed\n");
    EXPECT_EQ(list_tree(work.at("elsewhere")), std::vector<std::string>{});
}

// Standard output that cannot be written (a full disk behind a redirection)
// is a failure like any other: named once, and the exit code tells.
TEST(Cli, StandardOutputThatCannotBeWrittenIsNamed) {
    if (!path_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    TempDir work;
    write_disc(work, {iso_file("A.TXT;1", Bytes{'a'})}, 75);
    const RunResult run = run_program(
        {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "cdimage: disc.cue, 2 tracks, 1 files\n"
                       "cdunpack: standard output: No space left on device\n");
    EXPECT_EQ(read_file(work.at("out/A.TXT")), Bytes{'a'});
}

namespace {

constexpr uint32_t CRAFTED_ROOT = 18;

// A volume whose root directory holds the given records behind its "." and
// ".." records.
Bytes volume_with_root(const std::vector<Bytes> &records) {
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(CRAFTED_ROOT, ISO_SECTOR));
    Bytes root = concat({directory_record(Bytes{0}, CRAFTED_ROOT, ISO_SECTOR, true),
                         directory_record(Bytes{1}, CRAFTED_ROOT, ISO_SECTOR, true)});
    for (const Bytes &record : records)
        append(root, record);
    put_bytes(volume, CRAFTED_ROOT, root);
    return volume;
}

Bytes continued(const std::string &identifier, uint32_t extent, uint32_t size) {
    Bytes record = directory_record(identifier, extent, size, false);
    record[RECORD_FLAGS_OFFSET] |= RECORD_FLAG_MULTI_EXTENT;
    return record;
}

}  // namespace

// Forty records of one file, each naming the same 64 KiB: written out, the
// file would be 2.5 MiB of the same sectors again and again.
TEST(Cli, FileWhoseExtentsOverlapIsNamedAndTheRestComesOut) {
    std::vector<Bytes> records = {directory_record("GOOD.TXT;1", 30, 5, false)};
    for (int i = 0; i < 39; ++i)
        records.push_back(continued("BIG.BIN;1", 40, 64 * 1024));
    records.push_back(directory_record("BIG.BIN;1", 40, 64 * 1024, false));
    Bytes volume = volume_with_root(records);
    put_bytes(volume, 30, text_bytes("good\n"));
    put_bytes(volume, 40, pattern(64 * 1024, 9));
    TempDir work;
    const std::string cue = write_data_image(work.path, volume, SectorMode::MODE1_2048);

    RunResult run = run_program({cdunpack_binary(), cue, work.at("out")});
    EXPECT_EQ(2, run.exit_code);
    EXPECT_EQ("cdimage: BIG.BIN: extents overlap, not listed\ncdimage: " + cue + ", 1 tracks, 1 files\n", run.err);
    EXPECT_EQ("1 files\n", run.out);
    EXPECT_EQ(list_tree(work.at("out")), std::vector<std::string>{"GOOD.TXT"});
    EXPECT_EQ(read_text(work.at("out/GOOD.TXT")), "good\n");
}

// Names and identifiers that would forge a line or drive the terminal reach
// standard error with every control character as '?': in the lines of a
// directory that cannot be read, one read already, a name too long, a file
// whose extents overlap.
TEST(Cli, NamesFromTheVolumeReachStandardErrorWithoutControlCharacters) {
    const std::string forged = "EVIL\nCDIMAGE: ALL DONE, NOTHING LOST\x1b[2J";
    const std::string looping = "LOOP\r";
    const std::string overlapping = "X\x1b]0\x07T;1";
    // Five directories of 200 characters, each with an escape sequence,
    // hold an identifier that would make a name of 1029 characters.
    const std::string too_long = "TOO\nLONG_0123456789012345;1";
    constexpr uint32_t chain_first = 40;
    constexpr uint32_t chain_levels = 5;
    Bytes volume = volume_with_root({directory_record("D\x1b[H" + std::string(196, 'D'), chain_first, ISO_SECTOR, true),
                                     directory_record(forged, 5000, ISO_SECTOR, true),
                                     directory_record(looping, CRAFTED_ROOT, ISO_SECTOR, true),
                                     continued(overlapping, 30, ISO_SECTOR),
                                     directory_record(overlapping, 30, ISO_SECTOR, false),
                                     directory_record("GOOD.TXT;1", 31, 5, false)});
    std::string shown_parent;
    for (uint32_t level = 0; level < chain_levels; ++level) {
        const uint32_t self = chain_first + level;
        const std::string child = "D\x1b[H" + std::string(196, static_cast<char>('E' + level));
        put_bytes(volume, self,
                  concat({directory_record(Bytes{0}, self, ISO_SECTOR, true),
                          directory_record(Bytes{1}, self, ISO_SECTOR, true),
                          level + 1 < chain_levels ? directory_record(child, self + 1, ISO_SECTOR, true)
                                                   : directory_record(too_long, 31, 5, false)}));
        shown_parent += (level == 0 ? "" : "/") + ("D?[H" + std::string(196, static_cast<char>('D' + level)));
    }
    put_bytes(volume, 30, Bytes(ISO_SECTOR, 'x'));
    put_bytes(volume, 31, text_bytes("good\n"));
    TempDir work;
    const std::string cue = write_data_image(work.path, volume, SectorMode::MODE1_2048);

    RunResult run = run_program({cdunpack_binary(), cue, work.at("out")});
    EXPECT_EQ(2, run.exit_code);
    EXPECT_EQ("cdimage: " + shown_parent + ": TOO?LONG_0123456789012345;1: name longer than 1023 characters, skipped\n"
              "cdimage: EVIL?CDIMAGE: ALL DONE, NOTHING LOST?[2J: directory cannot be read, 1 sector skipped\n"
              "cdimage: LOOP?: directory already read, not followed\n"
              "cdimage: X?]0?T: extents overlap, not listed\n"
              "cdimage: " + cue + ", 1 tracks, 8 files\n",
              run.err);
    EXPECT_EQ(std::count_if(run.err.begin(), run.err.end(),
                            [](char c) { return c != '\n' && is_control_byte(static_cast<unsigned char>(c)); }),
              0);
    EXPECT_EQ("1 files\n", run.out);
}
