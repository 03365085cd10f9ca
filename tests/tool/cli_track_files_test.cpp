// Track files as the command line meets them: missing or empty data-track
// files, tracks of mixed sector sizes in one file, tracks too long for a
// WAVE file, compressed files cut short, and names from other machines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "test_image.h"

namespace {

const char *const AUDIO_FILE_LINES = "FILE side.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n";

// Frames of a canonical WAVE file whose two size fields agree with its
// length; -1 when they do not.
int64_t consistent_wave_frames(const Bytes &wave) {
    if (wave.size() < WAVE_HEADER || le32_at(wave, 4) != wave.size() - 8 || le32_at(wave, 40) != wave.size() - 44)
        return -1;
    return static_cast<int64_t>((wave.size() - WAVE_HEADER) / 4);
}

// The first `bytes` of a file, written in its place.
void cut_file(const std::string &path, std::size_t bytes) {
    write_file(path, slice(read_file(path), 0, bytes));
}

}  // namespace

// A data track whose file is missing, or holds none of its sectors, is a
// loss: named once, exit 2, while the audio of the other files comes out.
TEST(CliTrackFiles, LostDataTrackExitsTwoAndTheOtherFilesAudioComesOut) {
    struct Case {
        const char *what;
        bool write_disc;  // an empty disc.bin, or none
        const char *message;
    };
    const Case cases[] = {
        {"missing", false, "cdimage: ./disc.bin is missing: no data track\n"},
        {"empty", true, "cdimage: ./disc.bin holds no sector of track 01\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        if (c.write_disc) write_file(work.at("disc.bin"), {});
        write_sectors(work.at("side.bin"), 75);
        write_text(work.at("disc.cue"),
                   std::string("FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n") + AUDIO_FILE_LINES);
        const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
        EXPECT_EQ(2, run.exit_code);
        EXPECT_EQ(std::string(c.message) + "cdimage: disc.cue, 2 tracks, 0 files\n", run.err);
        EXPECT_EQ("0 files\ntrack 02: 0:01\n", run.out);
        EXPECT_EQ(WAVE_HEADER + 75 * RAW_SECTOR, file_size(work.at("out/audio/track02.wav")));

        const RunResult list = run_program({cdunpack_binary(), "--list", "disc.cue"}, work.path);
        EXPECT_EQ(2, list.exit_code);
    }
}

// 7,304,367 sectors are 4,294,967,796 frames: cut to 32 bits, 500.
TEST(CliTrackFiles, AudioTrackPastTheWaveLimitIsAReadFailure) {
    TempDir work;
    write_data_image(work.path, build_iso_volume({}), SectorMode::MODE1_2352);
    write_sectors(work.at("side.bin"), 7304367);
    write_text(work.at("disc.cue"),
               std::string("FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n") + AUDIO_FILE_LINES);
    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(2, run.exit_code);
    EXPECT_EQ("cdimage: disc.cue, 2 tracks, 0 files\ntrack 02: read failed\n", run.err);
    EXPECT_EQ("0 files\n", run.out);
    EXPECT_FALSE(path_exists(work.at("out/audio/track02.wav")));
}

// One .bin holding a MODE1/2048 data track and then an AUDIO track of
// 2352-byte sectors, as a CHD extracted to one file is laid out: the audio
// begins where the data track's 2048-byte sectors end.
TEST(CliTrackFiles, DataAndAudioTracksOfMixedSectorSizesInOneFile) {
    TempDir work;
    const Bytes readme = pattern(3000, 7);
    const Bytes volume = build_iso_volume({iso_file("README.TXT;1", readme)});
    const Bytes audio = pattern(100 * RAW_SECTOR, 9);
    write_file(work.at("game.bin"), concat({volume, audio}));
    write_text(work.at("game.cue"), "FILE \"game.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                    "  TRACK 02 AUDIO\n    INDEX 01 " +
                                        msf_text(static_cast<uint32_t>(volume.size() / ISO_SECTOR)) + "\n");
    const RunResult run = run_program({cdunpack_binary(), "game.cue", "out"}, work.path);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("1 files\ntrack 02: 0:01\n", run.out);
    EXPECT_TRUE(readme == read_file(work.at("out/README.TXT")));
    EXPECT_TRUE(wave_file(audio) == read_file(work.at("out/audio/track02.wav")));
}

// A compressed file cut short gives the frames that decode: a decoder that
// stops before the length its file states names the loss (exit 2), one
// whose length was unknown (an Ogg stream without its last page) counts
// what decodes. The WAVE file's header always matches what it holds.
TEST(CliTrackFiles, CutCompressedFileGivesWhatDecodes) {
    struct Case {
        const char *what;
        Codec codec;
        const char *tool;
        const char *name;
        int exit_code;
        const char *err;  // after the open's line
    };
    const Case cases[] = {
        {"Ogg Vorbis", Codec::VORBIS, "oggenc", "t.ogg", 0, ""},
        {"Opus", Codec::OPUS, "opusenc", "t.opus", 0, ""},
        {"FLAC", Codec::FLAC, "flac", "t.flac", 2, "track 02: does not decode past 0:0"},
        {"MP3", Codec::MP3, "lame", "t.mp3", 2, "track 02: does not decode past 0:0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (!have_program(c.tool)) {
            std::printf("%s not installed: %s skipped\n", c.tool, c.what);
            continue;
        }
        TempDir work;
        write_data_image(work.path, build_iso_volume({}), SectorMode::MODE1_2352);
        write_file(work.at("tone.wav"), wave_file(tone_samples(10 * 44100, 440.0, 660.0)));
        const RunResult encoded = encode_audio(c.codec, work.at("tone.wav"), work.at(c.name));
        ASSERT_EQ(0, encoded.exit_code) << encoded.err;
        cut_file(work.at(c.name), static_cast<std::size_t>(file_size(work.at(c.name)) / 2));
        write_text(work.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n") +
                                            "FILE " + c.name + " BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
        const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path, 60);
        EXPECT_EQ(c.exit_code, run.exit_code) << run.err;
        // (libsndfile's MP3 decoder adds a warning of its own about the cut.)
        EXPECT_NE(std::string::npos, run.err.find("cdimage: disc.cue, 2 tracks, 0 files\n")) << run.err;
        EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
        if (!path_exists(work.at("out/audio/track02.wav"))) {
            ADD_FAILURE() << "no WAVE file";
            continue;
        }
        const int64_t frames = consistent_wave_frames(read_file(work.at("out/audio/track02.wav")));
        // Some seconds of the ten decode: Opus at 48000 Hz.
        EXPECT_GT(frames, 2 * 44100);
        EXPECT_LT(frames, 8 * 48000);
        const std::string duration = "track 02: 0:0" + std::to_string(frames / (c.codec == Codec::OPUS ? 48000 : 44100));
        EXPECT_EQ("0 files\n" + duration + "\n", run.out);
    }
}

// The last track of a file ends at the file's last whole frame: 384,000
// frames of a 48 kHz FLAC are 653 sectors and 36 frames.
TEST(CliTrackFiles, DecodedFileEndsAtItsLastFrame) {
    if (!have_program("flac")) GTEST_SKIP() << "flac not installed";
    TempDir work;
    write_data_image(work.path, build_iso_volume({}), SectorMode::MODE1_2352);
    const Bytes samples = tone_samples(384000, 440.0, 660.0);
    write_file(work.at("tone.wav"), wave_file(samples, 48000));
    const RunResult encoded = encode_audio(Codec::FLAC, work.at("tone.wav"), work.at("t.flac"));
    ASSERT_EQ(0, encoded.exit_code) << encoded.err;
    write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                    "FILE t.flac FLAC\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("0 files\ntrack 02: 0:08\n", run.out);
    EXPECT_TRUE(wave_file(samples, 48000) == read_file(work.at("out/audio/track02.wav")));
}

// Sheets made elsewhere name files by paths that do not exist here: the
// file is found by its base name in the sheet's directory, and by its ISO
// 8859-1 bytes as UTF-8; the listing shows the path found.
TEST(CliTrackFiles, FileNamedByAnotherMachinesPathIsFoundBesideTheSheet) {
    struct Case {
        const char *what;
        std::string file_name;  // as the sheet gives it
        std::string on_disk;
    };
    const Case cases[] = {
        {"Windows path", "C:\\Rips\\Game.bin", "Game.bin"},
        {"absolute path of another machine", "/home/someone/rips/game.bin", "GAME.BIN"},
        {"ISO 8859-1 name on a UTF-8 disk", "Caf\xE9.bin", "Caf\xC3\xA9.bin"},
        {"both", "D:\\M\xFCsik\\Caf\xE9.bin", "caf\xC3\xA9.bin"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir work;
        write_data_image(work.path, build_iso_volume({}), SectorMode::MODE1_2352);
        write_sectors(work.at(c.on_disk), 75);
        write_text(work.at("disc.cue"), "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n"
                                        "FILE \"" + c.file_name + "\" BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
        const RunResult list = run_program({cdunpack_binary(), "--list", "disc.cue"}, work.path);
        EXPECT_EQ(0, list.exit_code) << list.err;
        EXPECT_NE(std::string::npos, list.out.find("75  00:01:00  ./" + c.on_disk + "\n")) << list.out;
        const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, work.path);
        EXPECT_EQ(0, run.exit_code) << run.err;
        EXPECT_EQ("0 files\ntrack 02: 0:01\n", run.out);
    }
}
