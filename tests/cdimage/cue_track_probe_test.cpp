// Track file probing: raw lengths, the RIFF WAVE chunk walk, Ogg Vorbis
// lengths, and what missing or undecodable files do to the open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#define STB_VORBIS_HEADER_ONLY
#include "stb_vorbis.h"

#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

// A cue sheet whose data track lies in disc.bin (10 sectors, written here)
// and whose second file is the one under test, holding an audio track.
std::string cue_with_second_file(const TempDir &dir, const std::string &file_line) {
    write_sectors(dir.at("disc.bin"), 10);
    std::string cue = dir.at("disc.cue");
    write_text(cue, "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n" + file_line +
                        "\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    return cue;
}

Bytes le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

}  // namespace

TEST(TrackProbe, RawFileIsMeasuredByItsLength) {
    TempDir dir;
    write_file(dir.at("odd.raw"), Bytes(1000, 0x5a));
    std::string cue = cue_with_second_file(dir, "FILE odd.raw MOTOROLA");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    const TrackFile &f = g_image.files[1];
    EXPECT_EQ(0, f.data_offset);
    EXPECT_EQ(1000, f.data_size);
    EXPECT_EQ(1, f.is_big_endian);
    EXPECT_EQ(10 * RAW_SECTOR_SIZE, g_image.files[0].data_size);
}

TEST(TrackProbe, WaveChunkWalkFindsTheDataBody) {
    Bytes samples(100, 0x11);
    struct Case {
        const char *what;
        Bytes bytes;
        const char *type;
        int64_t data_offset;
    };
    const Case cases[] = {
        {"fmt, LIST with a pad byte, data",
         riff_wave({{"fmt ", Bytes(16)}, {"LIST", Bytes(25)}, {"data", samples}}), "WAVE", 78},
        {"data first", riff_wave({{"data", samples}}), "WAVE", 20},
        {"chunks behind data count as track data",
         riff_wave({{"fmt ", Bytes(16)}, {"data", Bytes(4)}, {"LIST", Bytes(30)}}), "WAVE", 44},
        {"DATA and Data are other chunks", riff_wave({{"DATA", Bytes(10)}, {"Data", Bytes(3)}, {"data", samples}}),
         "WAVE", 12 + 18 + 12 + 8},
        {"data header is the last 8 bytes", riff_wave({{"fmt ", Bytes(16)}, {"data", {}}}), "WAVE", 44},
        {"type in lower case", riff_wave({{"data", samples}}), "wave", 20},
        {"not RIFF WAVE but AVI", concat({text_bytes("RIFF"), le32(112), text_bytes("AVI "), text_bytes("data"),
                                          le32(100), samples}),
         "WAVE", 0},
        {"riff in lower case", concat({text_bytes("riff"), le32(112), text_bytes("WAVE"), text_bytes("data"),
                                       le32(100), samples}),
         "WAVE", 0},
        {"shorter than 12 bytes", concat({text_bytes("RIFF"), le32(4), text_bytes("WA")}), "WAVE", 0},
        {"exactly the RIFF header", concat({text_bytes("RIFF"), le32(4), text_bytes("WAVE")}), "WAVE", 0},
        {"plain samples", samples, "WAVE", 0},
        {"chunk size leads past the end",
         concat({text_bytes("RIFF"), le32(200), text_bytes("WAVE"), text_bytes("fmt "), le32(1000), Bytes(16),
                 text_bytes("data"), le32(100), samples}),
         "WAVE", 0},
        // 0xFFFFFFFF plus its pad byte wraps to 0 in 32 bits and would land
        // on the "data" header right behind.
        {"chunk size that wraps in 32 bits",
         concat({text_bytes("RIFF"), le32(200), text_bytes("WAVE"), text_bytes("JUNK"), le32(0xFFFFFFFFu),
                 text_bytes("data"), le32(100), samples}),
         "WAVE", 0},
        {"a WAVE file named BINARY is raw", riff_wave({{"fmt ", Bytes(16)}, {"data", samples}}), "BINARY", 0},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_file(dir.at("track.wav"), c.bytes);
        std::string cue = cue_with_second_file(dir, std::string("FILE track.wav ") + c.type);
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << c.what;
        EXPECT_EQ(opened_without_volume(cue, 2), err) << c.what;
        const TrackFile &f = g_image.files[1];
        EXPECT_EQ(c.data_offset, f.data_offset) << c.what;
        EXPECT_EQ(static_cast<int64_t>(c.bytes.size()) - c.data_offset, f.data_size) << c.what;
    }
}

TEST(TrackProbe, MissingBinaryFileIsReportedAndKept) {
    const char *lines[] = {"FILE gone.bin BINARY", "FILE gone.bin binary", "FILE gone.bin",
                           "FILE \"gone.ogg\" BINARY"};
    for (const char *line : lines) {
        TempDir dir;
        std::string cue = cue_with_second_file(dir, line);
        std::string gone = std::string(line).find("ogg") != std::string::npos ? "gone.ogg" : "gone.bin";
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << line;
        EXPECT_EQ("cdimage: " + dir.at(gone) + " is missing: only its audio tracks\n" + opened_without_volume(cue, 2),
                  err)
            << line;
        ASSERT_EQ(2, g_image.file_count) << line;
        EXPECT_EQ(0, g_image.files[1].data_offset) << line;
        EXPECT_EQ(0, g_image.files[1].data_size) << line;
        EXPECT_EQ(dir.at(gone), g_image.files[1].path) << line;
    }
}

TEST(TrackProbe, MissingFileOfAnyOtherTypeFailsTheOpen) {
    const char *types[] = {"WAVE", "MOTOROLA", "AIFF", "wave"};
    for (const char *type : types) {
        TempDir dir;
        write_sectors(dir.at("after.bin"), 10);
        // The FILE line behind the missing one is never read.
        std::string cue = cue_with_second_file(dir, std::string("FILE gone.wav ") + type + "\nFILE after.bin BINARY");
        std::string err;
        EXPECT_EQ(0, open_image(cue, err)) << type;
        EXPECT_EQ("cdimage: " + dir.at("gone.wav") + " is missing\n", err) << type;
        EXPECT_EQ(1, g_image.file_count) << type;
        EXPECT_EQ(0, cdimage_is_open());
    }
}

TEST(TrackProbe, DirectoryNamedAsTrackFileIsMissing) {
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.at("tracks").c_str(), 0755));
    std::string cue = cue_with_second_file(dir, "FILE tracks BINARY");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("tracks") + " is missing: only its audio tracks\n" + opened_without_volume(cue, 2),
              err);
    EXPECT_EQ(0, g_image.files[1].data_size);
    EXPECT_EQ(0, g_image.files[1].data_offset);

    cue = cue_with_second_file(dir, "FILE tracks WAVE");
    EXPECT_EQ(0, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("tracks") + " is missing\n", err);
    EXPECT_EQ(1, g_image.file_count);
}

// A FIFO has no length, and opening one for reading waits for a writer:
// probing it as a file would hang the open.
TEST(TrackProbe, FifoNamedAsTrackFileIsMissingWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(0, mkfifo(dir.at("pipe.bin").c_str(), 0644));
    std::string cue = cue_with_second_file(dir, "FILE pipe.bin BINARY");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("pipe.bin") + " is missing: only its audio tracks\n" +
                  opened_without_volume(cue, 2),
              err);
    EXPECT_EQ(0, g_image.files[1].data_size);
    cdimage_close();
}

TEST(TrackProbe, NameInTheWrongCaseIsFoundWhenOneEntryMatches) {
    struct Case {
        const char *what;
        std::vector<std::string> on_disk;
        const char *file_line;
        const char *path;  // the path kept, relative to the directory
        bool found;
    };
    const Case cases[] = {
        {"upper case on disk", {"GAME.BIN"}, "FILE game.bin BINARY", "GAME.BIN", true},
        {"mixed case in a subdirectory", {"sub/Game.Bin"}, "FILE \"sub\\GAME.bin\" BINARY", "sub/Game.Bin", true},
        {"exact name preferred", {"game.bin", "GAME.BIN"}, "FILE game.bin BINARY", "game.bin", true},
        {"two entries match", {"GAME.BIN", "Game.bin"}, "FILE game.bin BINARY", "game.bin", false},
        {"only the last component is matched", {"SUB/game.bin"}, "FILE sub/game.bin BINARY", "sub/game.bin", false},
        {"other name", {"GAME.BIN"}, "FILE game.bi BINARY", "game.bi", false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        ASSERT_EQ(0, mkdir(dir.at("sub").c_str(), 0755));
        ASSERT_EQ(0, mkdir(dir.at("SUB").c_str(), 0755));
        for (const std::string &name : c.on_disk) write_sectors(dir.at(name), 7);
        std::string cue = cue_with_second_file(dir, c.file_line);
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << c.what;
        ASSERT_EQ(2, g_image.file_count) << c.what;
        const TrackFile &f = g_image.files[1];
        EXPECT_EQ(dir.at(c.path), f.path) << c.what;
        if (c.found) {
            EXPECT_EQ(opened_without_volume(cue, 2), err) << c.what;
            EXPECT_EQ(7 * RAW_SECTOR_SIZE, f.data_size) << c.what;
            const char *path = nullptr;
            uint64_t offset = 1;
            uint32_t frames = 0;
            int big_endian = 1;
            ASSERT_EQ(1, cdimage_audio_extent(2, &path, &offset, &frames, &big_endian)) << c.what;
            EXPECT_EQ(dir.at(c.path), path) << c.what;
        } else {
            EXPECT_EQ("cdimage: " + dir.at(c.path) + " is missing: only its audio tracks\n" +
                          opened_without_volume(cue, 2),
                      err)
                << c.what;
            EXPECT_EQ(0, f.data_size) << c.what;
        }
    }
}

TEST(TrackProbe, WrongCaseWaveFileIsWalked) {
    TempDir dir;
    write_file(dir.at("SIDE.WAV"), riff_wave({{"fmt ", Bytes(16)}, {"data", Bytes(2352 * 3)}}));
    std::string cue = cue_with_second_file(dir, "FILE side.wav WAVE");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ(opened_without_volume(cue, 2), err);
    EXPECT_EQ(dir.at("SIDE.WAV"), g_image.files[1].path);
    EXPECT_EQ(44, g_image.files[1].data_offset);
    EXPECT_EQ(2352 * 3, g_image.files[1].data_size);
}

TEST(TrackProbe, OggVorbisLengthIsDecodedFramesTimesFour) {
    ASSERT_TRUE(have_program("oggenc"));
    TempDir dir;
    const uint32_t frames = 44100 + 1234;
    write_file(dir.at("tone.wav"), wave_file(tone_samples(frames, 440.0, 660.0)));
    RunResult enc = run_program({"oggenc", "-Q", "-o", dir.at("tone.OGG"), dir.at("tone.wav")});
    ASSERT_EQ(0, enc.exit_code) << enc.err;

    int error = 0;
    stb_vorbis *vorbis = stb_vorbis_open_filename(dir.at("tone.OGG").c_str(), &error, nullptr);
    ASSERT_NE(nullptr, vorbis) << error;
    EXPECT_EQ(frames, stb_vorbis_stream_length_in_samples(vorbis));
    stb_vorbis_close(vorbis);

    // Typed WAVE, but the name decides: it is decoded, not walked as RIFF.
    std::string cue = cue_with_second_file(dir, "FILE tone.OGG WAVE");
    int descriptors = open_descriptor_count();
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ(opened_without_volume(cue, 2), err);
    const TrackFile &f = g_image.files[1];
    EXPECT_EQ(1, f.is_ogg);
    EXPECT_EQ(0, f.data_offset);
    EXPECT_EQ(static_cast<int64_t>(frames) * 4, f.data_size);
    cdimage_close();
    EXPECT_EQ(descriptors, open_descriptor_count());

    // Found in the wrong case, the file is decoded under its real name.
    cue = cue_with_second_file(dir, "FILE tone.ogg BINARY");
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ(opened_without_volume(cue, 2), err);
    EXPECT_EQ(dir.at("tone.OGG"), g_image.files[1].path);
    EXPECT_EQ(static_cast<int64_t>(frames) * 4, g_image.files[1].data_size);
}

TEST(TrackProbe, OggFileThatDoesNotDecodeFailsTheOpen) {
    TempDir dir;
    write_text(dir.at("bad.ogg"), "RIFF but not a Vorbis stream at all\n");
    int expected_code = 0;
    EXPECT_EQ(nullptr, stb_vorbis_open_filename(dir.at("bad.ogg").c_str(), &expected_code, nullptr));
    ASSERT_NE(0, expected_code);

    std::string cue = cue_with_second_file(dir, "FILE bad.ogg BINARY\nFILE disc.bin BINARY");
    int descriptors = open_descriptor_count();
    std::string err;
    EXPECT_EQ(0, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("bad.ogg") + " does not decode (" + std::to_string(expected_code) + ")\n", err);
    EXPECT_EQ(1, g_image.file_count);
    EXPECT_EQ(0, cdimage_is_open());
    EXPECT_EQ(descriptors, open_descriptor_count());
}

TEST(TrackProbe, NoTrackFileStaysOpen) {
    TempDir dir;
    write_file(dir.at("side.wav"), riff_wave({{"fmt ", Bytes(16)}, {"data", Bytes(2352 * 2)}}));
    write_file(dir.at("odd.raw"), Bytes(1000));
    std::string kept = cue_with_second_file(dir, "FILE side.wav WAVE\nFILE odd.raw BINARY\nFILE gone.bin BINARY");
    int descriptors = open_descriptor_count();
    std::string err;
    ASSERT_EQ(1, open_image(kept, err));
    cdimage_close();
    EXPECT_EQ(descriptors, open_descriptor_count());

    std::string failing = cue_with_second_file(dir, "FILE side.wav WAVE\nFILE gone.wav WAVE");
    EXPECT_EQ(0, open_image(failing, err));
    EXPECT_EQ(descriptors, open_descriptor_count());
}
