// A handle whose messages are off prints nothing, while its ledger holds
// exactly the lines that the tool prints for the same damaged image.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "fixtures.h"
#include "handle_unpack.h"

namespace {

constexpr uint32_t ROOT_SECTOR = 18;
constexpr uint32_t GOOD_SECTOR = 30;
constexpr uint32_t BIG_SECTOR = 40;
constexpr uint32_t BIG_SECTORS = 10;
constexpr uint32_t AUDIO_FRAMES = 3 * 588;

// A disc with a volume that loops (a directory record naming the root) and
// whose data file is cut inside its last file, a raw audio track, and an
// audio track whose file is missing.
std::string write_damaged_disc(const TempDir &dir)
{
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT_SECTOR, ISO_SECTOR));
    put_bytes(volume, ROOT_SECTOR,
              concat({directory_record(Bytes{0}, ROOT_SECTOR, ISO_SECTOR, true),
                      directory_record(Bytes{1}, ROOT_SECTOR, ISO_SECTOR, true),
                      directory_record("BIG.BIN;1", BIG_SECTOR, BIG_SECTORS * ISO_SECTOR, false),
                      directory_record("GOOD.TXT;1", GOOD_SECTOR, 5, false),
                      directory_record("LOOP", ROOT_SECTOR, ISO_SECTOR, true)}));
    put_bytes(volume, GOOD_SECTOR, text_bytes("good\n"));
    put_bytes(volume, BIG_SECTOR + BIG_SECTORS - 1, Bytes(ISO_SECTOR, 'b'));
    // Cut: the data file ends three sectors into BIG.BIN.
    write_file(dir.at("data.bin"), slice(volume, 0, (BIG_SECTOR + 3) * ISO_SECTOR));
    write_file(dir.at("audio.bin"), tone_samples(AUDIO_FRAMES, 440.0, 660.0));
    write_text(dir.at("disc.cue"), "FILE data.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                                   "FILE audio.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n"
                                   "FILE gone.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n");
    return dir.at("disc.cue");
}

TEST(CliLedger, AHandleWithMessagesOffHoldsTheLinesTheToolPrints) {
    TempDir dir;
    const std::string cue = write_damaged_disc(dir);
    const RunResult run = run_program({cdunpack_binary(), cue, dir.at("tool-out")});
    EXPECT_EQ(2, run.exit_code);
    // The three kinds of damage are there to be matched.
    for (const char *line : {"cdimage: LOOP: directory already read, not followed\n",
                             "cdimage: BIG.BIN: read failed at sector 43\n", "track 03: read failed\n"})
        EXPECT_NE(std::string::npos, run.err.find(line)) << line << " in\n" << run.err;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const Unpacked quiet = unpack_with_handle(cue, dir.at("handle-out"));
    const std::string printed_out = testing::internal::GetCapturedStdout();
    const std::string printed_err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("", printed_out);
    EXPECT_EQ("", printed_err);
    ASSERT_TRUE(quiet.opened);
    EXPECT_EQ(run.err, quiet.ledger);
    EXPECT_EQ(2, quiet.failures);  // BIG.BIN and track 03 (its missing file is a note)
    EXPECT_EQ(list_tree(dir.at("tool-out")), list_tree(dir.at("handle-out")));

    // With messages on, the same handle prints what it records.
    testing::internal::CaptureStderr();
    const Unpacked loud = unpack_with_handle(cue, dir.at("loud-out"), true);
    EXPECT_EQ(run.err, testing::internal::GetCapturedStderr());
    EXPECT_EQ(run.err, loud.ledger);
}

}  // namespace
