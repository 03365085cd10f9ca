// Discs written in two sessions, mastered by genisoimage at test time: the
// tool unpacks the last session's volume, which holds the first session's
// files that it keeps, whether the image stores the sessions in one file
// with the gap between them or in one file per track without it.
#include "module_view.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>

namespace {

using Tree = std::map<std::string, Bytes>;

// The data of the second session begins behind the first session's
// lead-out, the second's lead-in and its pregap: 11400 sectors.
constexpr uint32_t SESSION_GAP = 11400;
constexpr uint32_t PREGAP = 150;

// The first session's files, and the second's: readme.txt changed (to
// another size, so genisoimage sees the change), two files added; keep.dat
// and docs/old.txt are only in the first.
const Tree FIRST = {
    {"readme.txt", Bytes{'f', 'i', 'r', 's', 't', '\n'}},
    {"keep.dat", pattern(5000, 1)},
    {"docs/old.txt", pattern(700, 2)},
};
const Tree SECOND = {
    {"readme.txt", Bytes{'s', 'e', 'c', 'o', 'n', 'd', ' ', 'o', 'n', 'e', '\n'}},
    {"new.dat", pattern(9000, 3)},
    {"docs/new.txt", pattern(3000, 4)},
};

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void write_tree(const std::string &root, const Tree &tree) {
    mkdir(root.c_str(), 0755);
    for (const auto &file : tree) {
        const std::string path = root + "/" + file.first;
        for (std::size_t slash = path.find('/', root.size() + 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        write_file(path, file.second);
    }
}

// The two sessions' volumes: the first mastered alone, the second with -M
// for a disc whose last session starts at 0 and whose next writable sector
// lies the gap behind the first session's sectors.
struct Sessions {
    Bytes first;
    Bytes second;
    uint32_t second_start;  // the disc address the second volume counts from
};

Sessions master_sessions(const TempDir &tmp, const Tree &first, const Tree &second) {
    write_tree(tmp.at("tree1"), first);
    write_tree(tmp.at("tree2"), second);
    RunResult one = run_program({"genisoimage", "-quiet", "-R", "-o", tmp.at("s1.iso"), tmp.at("tree1")});
    EXPECT_EQ(0, one.exit_code) << one.err;
    Sessions sessions;
    sessions.first = read_file(tmp.at("s1.iso"));
    sessions.second_start = static_cast<uint32_t>(sessions.first.size() / ISO_SECTOR) + SESSION_GAP;
    RunResult two = run_program({"genisoimage", "-quiet", "-R", "-M", tmp.at("s1.iso"), "-C",
                                 "0," + std::to_string(sessions.second_start), "-o", tmp.at("s2.iso"),
                                 tmp.at("tree2")});
    EXPECT_EQ(0, two.exit_code) << two.err;
    sessions.second = read_file(tmp.at("s2.iso"));
    return sessions;
}

Bytes zero_sectors(uint32_t count) {
    return wrap_sectors(Bytes(static_cast<std::size_t>(count) * ISO_SECTOR), SectorMode::MODE1_2352);
}

enum class Layout { ONE_FILE, FILE_PER_TRACK, FILE_PER_TRACK_WITHOUT_PREGAP };

const Layout LAYOUTS[] = {Layout::ONE_FILE, Layout::FILE_PER_TRACK, Layout::FILE_PER_TRACK_WITHOUT_PREGAP};

std::string layout_label(Layout layout) {
    switch (layout) {
    case Layout::ONE_FILE: return "one file";
    case Layout::FILE_PER_TRACK: return "file per track";
    case Layout::FILE_PER_TRACK_WITHOUT_PREGAP: return "file per track without pregap";
    }
    return "";
}

// disc.cue over the two sessions as two MODE1/2352 tracks. ONE_FILE: disc.bin
// holds the first session, the gap as zero-filled sectors (its last 150 the
// second track's pregap) and the second session at its disc address.
// FILE_PER_TRACK: s1.bin and s2.bin, the latter opening with the pregap; the
// lead-out and lead-in between the sessions are in neither.
// FILE_PER_TRACK_WITHOUT_PREGAP: the same, s2.bin holding the second session
// alone.
void write_two_session_disc(const TempDir &dir, const Bytes &first, const Bytes &second, uint32_t second_start,
                            Layout layout) {
    const uint32_t first_sectors = static_cast<uint32_t>(first.size() / ISO_SECTOR);
    switch (layout) {
    case Layout::ONE_FILE: {
        Bytes bin = wrap_sectors(first, SectorMode::MODE1_2352);
        append(bin, zero_sectors(second_start - first_sectors));
        append(bin, wrap_sectors(second, SectorMode::MODE1_2352));
        write_file(dir.at("disc.bin"), bin);
        write_text(dir.at("disc.cue"), "FILE disc.bin BINARY\nREM SESSION 01\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                       "REM SESSION 02\nTRACK 02 MODE1/2352\nINDEX 00 " +
                                           msf_text(second_start - PREGAP) + "\nINDEX 01 " +
                                           msf_text(second_start) + "\n");
        break;
    }
    case Layout::FILE_PER_TRACK: {
        write_file(dir.at("s1.bin"), wrap_sectors(first, SectorMode::MODE1_2352));
        Bytes bin = zero_sectors(PREGAP);
        append(bin, wrap_sectors(second, SectorMode::MODE1_2352));
        write_file(dir.at("s2.bin"), bin);
        write_text(dir.at("disc.cue"), "REM SESSION 01\nFILE s1.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                       "REM SESSION 02\nFILE s2.bin BINARY\nTRACK 02 MODE1/2352\nINDEX 00 00:00:00\n"
                                       "INDEX 01 " +
                                           msf_text(PREGAP) + "\n");
        break;
    }
    case Layout::FILE_PER_TRACK_WITHOUT_PREGAP:
        write_file(dir.at("s1.bin"), wrap_sectors(first, SectorMode::MODE1_2352));
        write_file(dir.at("s2.bin"), wrap_sectors(second, SectorMode::MODE1_2352));
        write_text(dir.at("disc.cue"), "REM SESSION 01\nFILE s1.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                       "REM SESSION 02\nFILE s2.bin BINARY\nTRACK 02 MODE1/2352\nINDEX 01 00:00:00\n");
        break;
    }
}

// The unpacked tree is exactly `expected`, names as the volume records
// them (upper case), byte for byte.
void expect_tree(const std::string &out, const Tree &expected, const std::string &label) {
    std::vector<std::string> names;
    for (const std::string &path : list_tree(out))
        if (path.back() != '/')
            names.push_back(path);
    std::vector<std::string> wanted;
    for (const auto &file : expected)
        wanted.push_back(upper(file.first));
    std::sort(wanted.begin(), wanted.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(wanted, names) << label;
    for (const auto &file : expected)
        EXPECT_EQ(file.second, read_file(out + "/" + upper(file.first))) << label << " " << file.first;
}

// The open's line for a disc of two tracks whose volume holds the tree:
// its files and directories.
std::string opened_line(const Tree &tree) {
    std::set<std::string> entries;
    for (const auto &file : tree)
        for (std::size_t slash = 0; slash != std::string::npos; slash = file.first.find('/', slash + 1))
            entries.insert(file.first.substr(0, slash == 0 ? std::string::npos : slash));
    return "cdimage: disc.cue, 2 tracks, " + std::to_string(entries.size()) + " files\n";
}

// The first session's tree with the second's files laid over it.
Tree updated_tree() {
    Tree tree = FIRST;
    for (const auto &file : SECOND)
        tree[file.first] = file.second;
    return tree;
}

}  // namespace

TEST(Sessions, TheLastSessionsTreeComesOutWithTheFilesItKeeps) {
    if (!have_program("genisoimage"))
        GTEST_SKIP() << "genisoimage not installed";
    TempDir tmp;
    const Sessions sessions = master_sessions(tmp, FIRST, SECOND);
    for (Layout layout : LAYOUTS) {
        const std::string label = layout_label(layout);
        TempDir work;
        write_two_session_disc(work, sessions.first, sessions.second, sessions.second_start, layout);
        RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
        EXPECT_EQ(0, run.exit_code) << label << "\n" << run.err;
        EXPECT_EQ(opened_line(updated_tree()), run.err) << label;
        expect_tree(work.at("out"), updated_tree(), label);
    }
}

// What genisoimage itself says the second session holds, read back with
// isoinfo at the session's start: the names the tool unpacks.
TEST(Sessions, TheUnpackedNamesAreThoseIsoinfoListsForTheLastSession) {
    if (!have_program("genisoimage") || !have_program("isoinfo"))
        GTEST_SKIP() << "genisoimage or isoinfo not installed";
    TempDir tmp;
    const Sessions sessions = master_sessions(tmp, FIRST, SECOND);
    RunResult listing = run_program(
        {"isoinfo", "-i", tmp.at("s2.iso"), "-N", std::to_string(sessions.second_start), "-f"});
    ASSERT_EQ(0, listing.exit_code) << listing.err;
    std::vector<std::string> oracle;
    std::size_t start = 0;
    for (std::size_t end; (end = listing.out.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = listing.out.substr(start, end - start);
        const std::size_t version = line.rfind(";1");
        if (version == std::string::npos)
            continue;  // a directory
        oracle.push_back(line.substr(1, version - 1));
    }
    std::vector<std::string> expected;
    for (const auto &file : updated_tree())
        expected.push_back(upper(file.first));
    std::sort(oracle.begin(), oracle.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, oracle);
}

// A later data track whose sectors hold no volume leaves the first one's.
TEST(Sessions, ALaterDataTrackWithoutAVolumeKeepsTheFirstTracksVolume) {
    if (!have_program("genisoimage"))
        GTEST_SKIP() << "genisoimage not installed";
    TempDir tmp;
    const Sessions sessions = master_sessions(tmp, FIRST, SECOND);
    const Bytes empty(sessions.second.size());
    for (Layout layout : LAYOUTS) {
        const std::string label = layout_label(layout);
        TempDir work;
        write_two_session_disc(work, sessions.first, empty, sessions.second_start, layout);
        RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
        EXPECT_EQ(0, run.exit_code) << label << "\n" << run.err;
        EXPECT_EQ(opened_line(FIRST), run.err) << label;
        expect_tree(work.at("out"), FIRST, label);
    }
}

// The first data track is the layout's: with its file missing the data
// track is lost, as on a disc of one session, and no later session's
// volume stands in for it (the files it keeps would lie in the lost file).
TEST(Sessions, AMissingFirstSessionFileLosesTheDataTrack) {
    if (!have_program("genisoimage"))
        GTEST_SKIP() << "genisoimage not installed";
    TempDir tmp;
    const Sessions sessions = master_sessions(tmp, FIRST, SECOND);
    TempDir work;
    write_two_session_disc(work, sessions.first, sessions.second, sessions.second_start, Layout::FILE_PER_TRACK);
    ASSERT_EQ(0, unlink(work.at("s1.bin").c_str()));
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_NE(0, run.exit_code);
    EXPECT_NE(std::string::npos, run.err.find("cdimage: ./s1.bin is missing: no data track\n")) << run.err;
    EXPECT_EQ(std::vector<std::string>{}, list_tree(work.at("out")));
}

// A later data track's missing file may have held the volume the disc
// shows: the first session's tree comes out, and the exit code says that
// something is lost.
TEST(Sessions, AMissingLaterSessionFileIsALoss) {
    if (!have_program("genisoimage"))
        GTEST_SKIP() << "genisoimage not installed";
    TempDir tmp;
    const Sessions sessions = master_sessions(tmp, FIRST, SECOND);
    TempDir work;
    write_two_session_disc(work, sessions.first, sessions.second, sessions.second_start, Layout::FILE_PER_TRACK);
    ASSERT_EQ(0, unlink(work.at("s2.bin").c_str()));
    RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_NE(0, run.exit_code);
    EXPECT_EQ(0u, run.err.find("cdimage: ./s2.bin is missing: the volume read may be an earlier session's\n" +
                               opened_line(FIRST)))
        << run.err;
    expect_tree(work.at("out"), FIRST, "missing second session");
}
