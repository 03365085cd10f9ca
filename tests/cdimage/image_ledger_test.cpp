// The ledger: what it counts, what it prints, and that a flood of lines
// from a hostile image is counted in full while its memory stays bounded.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "module_view.h"
#include "printable_text.h"

namespace {

std::unique_ptr<ImageState> quiet_state()
{
    std::unique_ptr<ImageState> image(new ImageState{});
    image->options.messages = false;
    return image;
}

TEST(Ledger, LossesOfTheImageStayWhileFileLossesCountForTheLastCall) {
    std::unique_ptr<ImageState> image = quiet_state();
    record_named(*image, LedgerKind::ENTRY_LOST, "DOCS", "directory cannot be read, 1 sector skipped");
    record_named(*image, LedgerKind::NOTE, "LOOP", "directory already read, not followed");
    record_line(*image, LedgerKind::FILE_LOST, "out", "Permission denied", "cdimage: out: Permission denied", true, 3);
    EXPECT_EQ(4, count_failures(*image));
    begin_call_lines(*image);
    EXPECT_EQ(1, count_failures(*image));
    record_named(*image, LedgerKind::FILE_LOST, "A.TXT", "read failed at sector 30");
    record_line(*image, LedgerKind::TRACK_LOST, "track 02", "read failed", "track 02: read failed");
    EXPECT_EQ(3, count_failures(*image));
    // Every line stays readable, notes among them, in the order recorded.
    ASSERT_EQ(5u, image->ledger.size());
    EXPECT_EQ("cdimage: LOOP: directory already read, not followed", image->ledger[1].text);
    EXPECT_EQ("track 02: read failed", image->ledger[4].text);
}

TEST(Ledger, LinesPrintedOnlyWhenMessagesAreOnAndControlCharactersFiltered) {
    std::unique_ptr<ImageState> image(new ImageState{});
    testing::internal::CaptureStderr();
    record_named(*image, LedgerKind::FILE_LOST, "EVIL\x1b[2J.TXT", "read failed at sector 4");
    record_line(*image, LedgerKind::OPEN_REFUSED, "disc.cue", "no data track", "disc.cue: no data track", false);
    image->options.messages = false;
    record_named(*image, LedgerKind::FILE_LOST, "QUIET.TXT", "read failed at sector 5");
    EXPECT_EQ("cdimage: EVIL?[2J.TXT: read failed at sector 4\n", testing::internal::GetCapturedStderr());
    ASSERT_EQ(3u, image->ledger.size());
    EXPECT_EQ("EVIL\x1b[2J.TXT", image->ledger[0].name);
}

// Text from an image on its way to a terminal: C0 controls, DEL and the
// UTF-8 form of C1 controls (CSI among them) are shown as '?'; other UTF-8,
// accented letters and the first characters past the C1 range, stays.
TEST(Ledger, PrintableTextShowsEveryControlCharacterAsAQuestionMark) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"a\nb\rc\x1b[2J\x7f", "a?b?c?[2J?"},
        {"csi\xc2\x9b" "2J", "csi??2J"},
        {"\xc2\x80\xc2\x9f", "????"},
        {"nbsp\xc2\xa0 \xc3\xa9t\xc3\xa9 \xe2\x82\xac", "nbsp\xc2\xa0 \xc3\xa9t\xc3\xa9 \xe2\x82\xac"},
        {"cut\xc2", "cut\xc2"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.shown, printable_text(c.text)) << c.text;
}

TEST(Ledger, AFloodOfLinesIsCountedWholeButKeptWithinItsLimit) {
    std::unique_ptr<ImageState> image = quiet_state();
    const std::string long_name(1000, 'N');
    constexpr int LINES = 20000;  // about 40 MB of text if all were kept
    for (int i = 0; i < LINES; ++i)
        record_named(*image, LedgerKind::ENTRY_LOST, long_name, "name longer than 1023 characters, skipped");
    EXPECT_EQ(LINES, count_failures(*image));
    EXPECT_LE(image->ledger_bytes, LEDGER_LIMIT);
    ASSERT_LT(image->ledger.size(), static_cast<std::size_t>(LINES));
    EXPECT_EQ(LedgerKind::NOTE, image->ledger.back().kind);
    EXPECT_EQ("cdimage: more lines than the ledger keeps: the rest printed, not kept", image->ledger.back().text);
}

}  // namespace
