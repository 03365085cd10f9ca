// Handles: why an open failed, read back after it; the options; handles that
// each hold an image of their own; the default handle; a null handle.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fixtures.h"
#include "test_image.h"

namespace {

struct LineRow {
    int kind;
    std::string name;
    std::string reason;
    std::string text;
    bool operator==(const LineRow &o) const {
        return kind == o.kind && name == o.name && reason == o.reason && text == o.text;
    }
};

std::ostream &operator<<(std::ostream &out, const LineRow &l) {
    return out << "{kind " << l.kind << ", \"" << l.name << "\", \"" << l.reason << "\", \"" << l.text << "\"}";
}

std::vector<LineRow> ledger_of(cdimage_handle *handle) {
    std::vector<LineRow> rows;
    for (int i = 0; i < cdimage_handle_ledger_count(handle); ++i) {
        int kind = -1;
        const char *name = nullptr;
        const char *reason = nullptr;
        const char *text = nullptr;
        EXPECT_EQ(1, cdimage_handle_ledger_line(handle, i, &kind, &name, &reason, &text));
        rows.push_back({kind, name, reason, text});
    }
    return rows;
}

struct Seen {
    int result;
    std::string out;
    std::string err;
};

Seen open_on(cdimage_handle *handle, const std::string &cue, const std::string &out = "out") {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = cdimage_handle_open(handle, cue.c_str(), out.c_str());
    const std::string printed = testing::internal::GetCapturedStdout();
    return {result, printed, testing::internal::GetCapturedStderr()};
}

// A handle of its own, freed at the end of the scope.
struct OwnHandle {
    cdimage_handle *handle;
    explicit OwnHandle(bool messages) : handle(cdimage_handle_new()) {
        EXPECT_NE(nullptr, handle);
        EXPECT_EQ(1, cdimage_handle_set_option(handle, CDIMAGE_OPTION_MESSAGES, messages ? 1 : 0));
    }
    ~OwnHandle() { cdimage_handle_free(handle); }
    OwnHandle(const OwnHandle &) = delete;
    OwnHandle &operator=(const OwnHandle &) = delete;
};

const std::string DATA_TRACK = "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";

TEST(HandleOpen, EveryFailedOpenSaysWhyInTheLedgerAndPrintsOnlyTheFileLines) {
    struct Case {
        const char *what;
        const char *sheet;  // null: no cue sheet is written
        std::string text;   // the rest of the sheet, after `sheet`
        const char *reason;  // what cdimage_handle_open_reason gives; null: none
        int line;
        const char *name;   // in the cue sheet's directory; "": the sheet itself
        bool printed;       // the line is a track file's, printed when messages are on
    };
    std::string hundred_files = DATA_TRACK;
    for (int i = 0; i < 99; ++i) hundred_files += "FILE a.bin BINARY\n";
    const Case cases[] = {
        {"the cue sheet is missing", nullptr, "", std::strerror(ENOENT), 0, "", false},
        {"no FILE line", "", "REM nothing but remarks\nTITLE \"x\"\n", "not a cue sheet", 0, "", false},
        {"only audio tracks", "", "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", "no data track", 0, "",
         false},
        {"a track without INDEX 01", "", "FILE a.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 00 00:00:00\n",
         "track 01 has no INDEX 01", 2, "", false},
        {"a 100th FILE line", "", hundred_files, "more than 99 FILE lines", 102, "", false},
        {"a WAVE track file is missing", "", DATA_TRACK + "FILE gone.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n",
         nullptr, 0, "gone.wav", true},
        {"a compressed track file does not decode", "",
         DATA_TRACK + "FILE bad.flac WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n", nullptr, 0, "bad.flac", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_sectors(dir.at("a.bin"), 20);
        write_text(dir.at("bad.flac"), "fLaC but garbage after the signature\n");
        const std::string cue = dir.at("disc.cue");
        if (c.sheet != nullptr) write_text(cue, c.sheet + c.text);
        const std::string name = c.name[0] == '\0' ? cue : dir.at(c.name);

        for (bool messages : {false, true}) {
            SCOPED_TRACE(messages ? "messages on" : "messages off");
            OwnHandle own(messages);
            const Seen seen = open_on(own.handle, cue);
            EXPECT_EQ(0, seen.result);
            EXPECT_EQ(0, cdimage_handle_is_open(own.handle));
            EXPECT_EQ("", seen.out);

            int line = -7;
            const char *reason = cdimage_handle_open_reason(own.handle, &line);
            std::vector<LineRow> expected;
            if (c.reason != nullptr) {
                ASSERT_NE(nullptr, reason);
                EXPECT_STREQ(c.reason, reason);
                EXPECT_EQ(c.line, line);
                const std::string at = c.line > 0 ? "line " + std::to_string(c.line) + ": " : "";
                expected.push_back({CDIMAGE_LINE_OPEN_REFUSED, name, c.reason, name + ": " + at + c.reason});
            } else {
                EXPECT_EQ(nullptr, reason);
                EXPECT_EQ(-7, line);
                // The decoder's error number is libsndfile's: the reason
                // names it after a fixed beginning.
                const std::vector<LineRow> got = ledger_of(own.handle);
                std::string why = "is missing";
                if (std::string(c.name) == "bad.flac") {
                    why = got.empty() ? "" : got[0].reason;
                    EXPECT_EQ(0u, why.rfind("does not decode (", 0)) << why;
                }
                expected.push_back({CDIMAGE_LINE_OPEN_REFUSED, name, why, "cdimage: " + name + " " + why});
            }
            EXPECT_EQ(expected, ledger_of(own.handle));
            EXPECT_EQ(messages && c.printed ? expected[0].text + "\n" : "", seen.err);
        }
    }
}

// Four sectors of audio in each of two tracks: nothing else on the disc.
std::string write_audio_sheet(TempDir &dir) {
    write_sectors(dir.at("a.bin"), 8);
    write_text(dir.at("audio.cue"), "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                    "TRACK 02 AUDIO\nINDEX 01 00:00:04\n");
    return dir.at("audio.cue");
}

TEST(HandleOptions, WithoutDataTrackOpensAnAllAudioSheetWithNoEntries) {
    TempDir dir;
    const std::string cue = write_audio_sheet(dir);
    OwnHandle own(false);
    EXPECT_EQ(0, open_on(own.handle, cue).result);
    EXPECT_STREQ("no data track", cdimage_handle_open_reason(own.handle, nullptr));

    ASSERT_EQ(1, cdimage_handle_set_option(own.handle, CDIMAGE_OPTION_WITHOUT_DATA_TRACK, 1));
    const Seen seen = open_on(own.handle, cue);
    ASSERT_EQ(1, seen.result);
    EXPECT_EQ("", seen.err);
    EXPECT_EQ(nullptr, cdimage_handle_open_reason(own.handle, nullptr));
    EXPECT_EQ(0, cdimage_handle_entry_count(own.handle));
    EXPECT_EQ(0, cdimage_handle_extract_all(own.handle));
    ASSERT_EQ(2, cdimage_handle_track_count(own.handle));
    EXPECT_EQ(2, cdimage_handle_track_number(own.handle, 1));
    EXPECT_EQ(1, cdimage_handle_track_is_audio(own.handle, 1));
    EXPECT_EQ(4, cdimage_handle_track_lba(own.handle, 2));
    EXPECT_EQ(8, cdimage_handle_disc_sectors(own.handle));
    const char *path = nullptr;
    uint64_t offset = 0;
    uint32_t frames = 0;
    int big_endian = -1;
    ASSERT_EQ(1, cdimage_handle_audio_extent(own.handle, 2, &path, &offset, &frames, &big_endian));
    EXPECT_EQ(dir.at("a.bin"), path);
    EXPECT_EQ(4u * RAW_SECTOR_SIZE, offset);
    EXPECT_EQ(4u * 588u, frames);
    EXPECT_EQ(0, big_endian);
    EXPECT_EQ(0, cdimage_handle_failure_count(own.handle));

    // The option holds for the handle's later opens until it is set back.
    EXPECT_EQ(1, open_on(own.handle, cue).result);
    ASSERT_EQ(1, cdimage_handle_set_option(own.handle, CDIMAGE_OPTION_WITHOUT_DATA_TRACK, 0));
    EXPECT_EQ(0, open_on(own.handle, cue).result);
    EXPECT_EQ(0, cdimage_handle_track_count(own.handle));
}

TEST(HandleOptions, OnlyKnownOptionsAndValuesAreTaken) {
    OwnHandle own(false);
    EXPECT_EQ(0, cdimage_handle_set_option(own.handle, 0, 1));
    EXPECT_EQ(0, cdimage_handle_set_option(own.handle, CDIMAGE_OPTION_NAMES + 1, 1));
    EXPECT_EQ(0, cdimage_handle_set_option(own.handle, CDIMAGE_OPTION_MESSAGES, 2));
    EXPECT_EQ(0, cdimage_handle_set_option(own.handle, CDIMAGE_OPTION_WITHOUT_DATA_TRACK, -1));
    // A refused value changes nothing: messages stay off.
    const Seen seen = open_on(own.handle, "/nonexistent/disc.cue");
    EXPECT_EQ(0, seen.result);
    EXPECT_EQ("", seen.err);
}

TEST(Handles, TwoHandlesHoldTwoImagesAtOnce) {
    TempDir first_dir;
    TempDir second_dir;
    const std::string first = write_data_image(
        first_dir.path, build_iso_volume({iso_file("FIRST.TXT;1", Bytes(10, 'f'))}), SectorMode::MODE1_2352);
    const std::string second = write_data_image(
        second_dir.path,
        build_iso_volume({iso_file("SECOND.TXT;1", Bytes(20, 's')), iso_file("THIRD.TXT;1", Bytes(5, 't'))}),
        SectorMode::MODE1_2048);
    OwnHandle one(false);
    OwnHandle two(false);
    ASSERT_EQ(1, open_on(one.handle, first, first_dir.at("out")).result);
    ASSERT_EQ(1, open_on(two.handle, second, second_dir.at("out")).result);
    EXPECT_EQ(1, cdimage_handle_is_open(one.handle));

    EXPECT_EQ(1, cdimage_handle_entry_count(one.handle));
    EXPECT_EQ(2, cdimage_handle_entry_count(two.handle));
    const char *name = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(1, cdimage_handle_entry_info(one.handle, 0, &name, &size, nullptr));
    EXPECT_STREQ("FIRST.TXT", name);
    EXPECT_EQ(10u, size);
    ASSERT_EQ(1, cdimage_handle_entry_info(two.handle, 0, &name, &size, nullptr));
    EXPECT_STREQ("SECOND.TXT", name);
    EXPECT_EQ(20u, size);
    const char *mode = nullptr;
    ASSERT_EQ(1, cdimage_handle_track_info(one.handle, 0, nullptr, &mode, nullptr, nullptr, nullptr));
    EXPECT_STREQ("MODE1/2352", mode);
    ASSERT_EQ(1, cdimage_handle_track_info(two.handle, 0, nullptr, &mode, nullptr, nullptr, nullptr));
    EXPECT_STREQ("MODE1/2048", mode);

    // A loss on one handle is that handle's alone, and so is its ledger.
    ASSERT_EQ(1, cdimage_handle_record_loss(two.handle, CDIMAGE_LINE_FILE_LOST, "SECOND.TXT", "not written"));
    EXPECT_EQ(0, cdimage_handle_failure_count(one.handle));
    EXPECT_EQ(1, cdimage_handle_failure_count(two.handle));
    EXPECT_EQ((std::vector<LineRow>{{CDIMAGE_LINE_NOTE, first, "opened", "cdimage: " + first + ", 1 tracks, 1 files"}}),
              ledger_of(one.handle));
    EXPECT_EQ((std::vector<LineRow>{{CDIMAGE_LINE_NOTE, second, "opened", "cdimage: " + second + ", 1 tracks, 2 files"},
                                    {CDIMAGE_LINE_FILE_LOST, "SECOND.TXT", "not written", "SECOND.TXT: not written"}}),
              ledger_of(two.handle));

    // Each extracts its own files into its own directory; closing one leaves
    // the other open.
    EXPECT_EQ(1, cdimage_handle_extract_all(one.handle));
    cdimage_handle_close(one.handle);
    EXPECT_EQ(0, cdimage_handle_is_open(one.handle));
    EXPECT_EQ(2, cdimage_handle_extract_all(two.handle));
    EXPECT_EQ(list_tree(first_dir.at("out")), std::vector<std::string>{"FIRST.TXT"});
    EXPECT_EQ(list_tree(second_dir.at("out")), (std::vector<std::string>{"SECOND.TXT", "THIRD.TXT"}));
}

TEST(Handles, TheDefaultHandleIsTheOneOfTheFunctionsWithoutAHandle) {
    cdimage_handle *fallback = cdimage_default_handle();
    ASSERT_NE(nullptr, fallback);
    EXPECT_EQ(fallback, cdimage_default_handle());
    TempDir dir;
    const std::string cue = write_data_image(dir.path, build_iso_volume({iso_file("A.TXT;1", Bytes(3, 'a'))}),
                                             SectorMode::MODE1_2352);
    OwnHandle own(false);
    ASSERT_EQ(1, open_quietly(cue, dir.at("out")));
    EXPECT_EQ(1, cdimage_handle_is_open(fallback));
    EXPECT_EQ(0, cdimage_handle_is_open(own.handle));
    EXPECT_EQ(1, cdimage_handle_entry_count(fallback));
    EXPECT_EQ(cdimage_track_count(), cdimage_handle_track_count(fallback));
    ASSERT_EQ(1, cdimage_handle_ledger_count(fallback));
    const char *text = nullptr;
    ASSERT_EQ(1, cdimage_handle_ledger_line(fallback, 0, nullptr, nullptr, nullptr, &text));
    EXPECT_EQ("cdimage: " + cue + ", 1 tracks, 1 files", text);

    // An open on the handle is seen by the functions without one.
    EXPECT_EQ(0, open_on(fallback, dir.at("absent.cue")).result);
    EXPECT_EQ(0, cdimage_is_open());
    EXPECT_STREQ(std::strerror(ENOENT), cdimage_open_reason(nullptr));
    EXPECT_EQ(ENOENT, cdimage_cue_error());
}

TEST(Handles, ANullHandleAnswersNothing) {
    const char *text = "untouched";
    int kind = -1;
    uint64_t offset = 1;
    uint32_t frames = 2;
    int64_t start = 3;
    int line = 4;
    EXPECT_EQ(0, cdimage_handle_set_option(nullptr, CDIMAGE_OPTION_MESSAGES, 1));
    EXPECT_EQ(0, cdimage_handle_open(nullptr, "/nonexistent/disc.cue", "out"));
    EXPECT_EQ(0, cdimage_handle_is_open(nullptr));
    EXPECT_EQ(0, cdimage_handle_track_count(nullptr));
    EXPECT_EQ(0, cdimage_handle_track_number(nullptr, 0));
    EXPECT_EQ(0, cdimage_handle_track_is_audio(nullptr, 1));
    EXPECT_EQ(0, cdimage_handle_track_lba(nullptr, 1));
    EXPECT_EQ(0, cdimage_handle_disc_sectors(nullptr));
    EXPECT_EQ(0, cdimage_handle_audio_extent(nullptr, 1, &text, &offset, &frames, &kind));
    EXPECT_EQ(0, cdimage_handle_audio_format(nullptr, 1, &kind, &frames));
    EXPECT_EQ(0, cdimage_handle_track_info(nullptr, 0, &kind, &text, &start, &start, &text));
    char out_path[16] = "untouched";
    EXPECT_EQ(0, cdimage_handle_extract_file(nullptr, "A.TXT", out_path, sizeof out_path));
    EXPECT_EQ(0, cdimage_handle_extract_all(nullptr));
    EXPECT_EQ(nullptr, cdimage_handle_load_file(nullptr, "A.TXT", &frames));
    EXPECT_EQ(0, cdimage_handle_extract_progress(nullptr, &kind, &offset));
    EXPECT_EQ(0, cdimage_handle_entry_count(nullptr));
    EXPECT_EQ(0, cdimage_handle_entry_info(nullptr, 0, &text, &offset, &kind));
    EXPECT_EQ(0, cdimage_handle_entry_time(nullptr, 0, &start));
    EXPECT_EQ(0, cdimage_handle_cue_error(nullptr));
    EXPECT_EQ(nullptr, cdimage_handle_open_reason(nullptr, &line));
    EXPECT_EQ(0, cdimage_handle_failure_count(nullptr));
    EXPECT_EQ(0, cdimage_handle_ledger_count(nullptr));
    EXPECT_EQ(0, cdimage_handle_ledger_line(nullptr, 0, &kind, &text, &text, &text));
    EXPECT_EQ(0, cdimage_handle_record_loss(nullptr, CDIMAGE_LINE_FILE_LOST, "A.TXT", "not written"));
    cdimage_handle_close(nullptr);
    cdimage_handle_discard_partial(nullptr);
    cdimage_handle_free(nullptr);
    EXPECT_STREQ("untouched", text);
    EXPECT_STREQ("untouched", out_path);
    EXPECT_EQ(-1, kind);
    EXPECT_EQ(1u, offset);
    EXPECT_EQ(2u, frames);
    EXPECT_EQ(3, start);
    EXPECT_EQ(4, line);
}

}  // namespace
