// Track file probing: raw lengths, the RIFF WAVE chunk walk, which files go
// to the decoder and their decoded lengths, and what missing or undecodable
// files do to the open.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "module_view.h"
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
    const FileView f = file_view(1);
    EXPECT_EQ(0, f.data_offset);
    EXPECT_EQ(1000, f.data_size);
    EXPECT_EQ(TrackFormat::STORED_BIG_ENDIAN, f.format);
    EXPECT_EQ(10 * RAW_SECTOR_SIZE, file_view(0).data_size);
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
         riff_wave({{"fmt ", wave_format()}, {"LIST", Bytes(25)}, {"data", samples}}), "WAVE", 78},
        {"data first", riff_wave({{"data", samples}}), "WAVE", 20},
        {"chunks behind data count as track data",
         riff_wave({{"fmt ", wave_format()}, {"data", Bytes(4)}, {"LIST", Bytes(30)}}), "WAVE", 44},
        {"DATA and Data are other chunks", riff_wave({{"DATA", Bytes(10)}, {"Data", Bytes(3)}, {"data", samples}}),
         "WAVE", 12 + 18 + 12 + 8},
        {"data header is the last 8 bytes", riff_wave({{"fmt ", wave_format()}, {"data", {}}}), "WAVE", 44},
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
        {"a WAVE file named BINARY is raw", riff_wave({{"fmt ", wave_format()}, {"data", samples}}), "BINARY", 0},
    };
    for (const Case &c : cases) {
        TempDir dir;
        write_file(dir.at("track.wav"), c.bytes);
        std::string cue = cue_with_second_file(dir, std::string("FILE track.wav ") + c.type);
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << c.what;
        EXPECT_EQ(opened_without_volume(cue, 2), err) << c.what;
        const FileView f = file_view(1);
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
        ASSERT_EQ(2, file_count()) << line;
        EXPECT_EQ(0, file_view(1).data_offset) << line;
        EXPECT_EQ(0, file_view(1).data_size) << line;
        EXPECT_EQ(dir.at(gone), file_view(1).path) << line;
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
        EXPECT_EQ(1, file_count()) << type;
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
    EXPECT_EQ(0, file_view(1).data_size);
    EXPECT_EQ(0, file_view(1).data_offset);

    cue = cue_with_second_file(dir, "FILE tracks WAVE");
    EXPECT_EQ(0, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("tracks") + " is missing\n", err);
    EXPECT_EQ(1, file_count());
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
    EXPECT_EQ(0, file_view(1).data_size);
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
        ASSERT_EQ(2, file_count()) << c.what;
        const FileView f = file_view(1);
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
    write_file(dir.at("SIDE.WAV"), riff_wave({{"fmt ", wave_format()}, {"data", Bytes(2352 * 3)}}));
    std::string cue = cue_with_second_file(dir, "FILE side.wav WAVE");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    EXPECT_EQ(opened_without_volume(cue, 2), err);
    EXPECT_EQ(dir.at("SIDE.WAV"), file_view(1).path);
    EXPECT_EQ(44, file_view(1).data_offset);
    EXPECT_EQ(2352 * 3, file_view(1).data_size);
}

// A tone of this many frames at 44100 Hz: 78 whole sectors, and 49,920
// frames once Opus has resampled it to 48000 Hz.
constexpr uint32_t TONE_FRAMES = 78 * 588;

// The tone written as dir/tone.wav and encoded to dir/<name>.
void encode_tone(const TempDir &dir, Codec codec, const std::string &name) {
    write_file(dir.at("tone.wav"), wave_file(tone_samples(TONE_FRAMES, 440.0, 660.0)));
    const RunResult encoded = encode_audio(codec, dir.at("tone.wav"), dir.at(name));
    ASSERT_EQ(0, encoded.exit_code) << encoded.err;
}

// The tone's samples in another WAVE sample format, written as dir/<name>.
void write_tone_wave(const TempDir &dir, const std::string &name, uint32_t rate, uint16_t channels, uint16_t bits,
                     uint16_t tag) {
    const uint32_t bytes_per_sample = bits / 8u;
    write_file(dir.at(name), wave_file(Bytes(std::size_t{TONE_FRAMES} * channels * bytes_per_sample, 0x10), rate,
                                       channels, bits, tag));
}

struct FormatCase {
    const char *what;
    std::function<void(const TempDir &)> make;  // writes the track file
    const char *file_line;
    TrackFormat format;
    uint32_t sample_rate;
    int64_t data_offset;
    int64_t data_size;  // -1: the file's length less data_offset
};

// Compressed files go to the decoder by name, type word or signature, and
// WAVE files of any sample format but 16-bit stereo PCM by their "fmt "
// chunk; every decoded file counts its frames times 4 from offset 0.
TEST(TrackProbe, FormatDecidesBetweenStoredSamplesAndTheDecoder) {
    const int64_t tone_bytes = int64_t{TONE_FRAMES} * 4;
    const FormatCase cases[] = {
        {"Ogg Vorbis named .OGG, typed WAVE", [](const TempDir &d) { encode_tone(d, Codec::VORBIS, "tone.OGG"); },
         "FILE tone.OGG WAVE", TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"FLAC named .flac, typed BINARY", [](const TempDir &d) { encode_tone(d, Codec::FLAC, "tone.flac"); },
         "FILE tone.flac BINARY", TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"FLAC named .bin: its signature says so", [](const TempDir &d) { encode_tone(d, Codec::FLAC, "tone.bin"); },
         "FILE tone.bin BINARY", TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"MP3 by its type word alone", [](const TempDir &d) { encode_tone(d, Codec::MP3, "tone.dat"); },
         "FILE tone.dat MP3", TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"MP3 with an ID3 tag, typed MOTOROLA",
         [](const TempDir &d) { encode_tone(d, Codec::MP3_WITH_ID3, "tone.raw"); }, "FILE tone.raw MOTOROLA",
         TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"Opus at its own rate", [](const TempDir &d) { encode_tone(d, Codec::OPUS, "tone.opus"); },
         "FILE tone.opus WAVE", TrackFormat::DECODED, 48000, 0, 49920 * 4},
        {"16-bit stereo WAVE at 48 kHz keeps its stored samples and its rate",
         [](const TempDir &d) { write_tone_wave(d, "t.wav", 48000, 2, 16, 1); }, "FILE t.wav WAVE",
         TrackFormat::STORED, 48000, 44, -1},
        {"mono WAVE", [](const TempDir &d) { write_tone_wave(d, "t.wav", 44100, 1, 16, 1); }, "FILE t.wav WAVE",
         TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"24-bit WAVE", [](const TempDir &d) { write_tone_wave(d, "t.wav", 22050, 2, 24, 1); }, "FILE t.wav WAVE",
         TrackFormat::DECODED, 22050, 0, tone_bytes},
        {"float WAVE", [](const TempDir &d) { write_tone_wave(d, "t.wav", 44100, 2, 32, 3); }, "FILE t.wav WAVE",
         TrackFormat::DECODED, 44100, 0, tone_bytes},
        {"mono WAVE typed BINARY is raw", [](const TempDir &d) { write_tone_wave(d, "t.wav", 44100, 1, 16, 1); },
         "FILE t.wav BINARY", TrackFormat::STORED, 44100, 0, -1},
        {"raw samples that begin like an MP3 frame stay raw",
         [](const TempDir &d) {
             Bytes sector(2352, 0x20);
             sector[0] = 0xFF;
             sector[1] = 0xFB;
             write_file(d.at("t.bin"), sector);
         },
         "FILE t.bin BINARY", TrackFormat::STORED, 44100, 0, -1},
    };
    for (const FormatCase &c : cases) {
        TempDir dir;
        c.make(dir);
        if (testing::Test::HasFatalFailure())
            return;
        std::string cue = cue_with_second_file(dir, c.file_line);
        int descriptors = open_descriptor_count();
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << c.what << ": " << err;
        EXPECT_EQ(opened_without_volume(cue, 2), err) << c.what;
        const FileView f = file_view(1);
        EXPECT_EQ(c.format, f.format) << c.what;
        EXPECT_EQ(c.sample_rate, f.sample_rate) << c.what;
        EXPECT_EQ(c.data_offset, f.data_offset) << c.what;
        struct stat st;
        ASSERT_EQ(0, stat(f.path.c_str(), &st)) << c.what;
        EXPECT_EQ(c.data_size >= 0 ? c.data_size : st.st_size - c.data_offset, f.data_size) << c.what;

        int samples = -1;
        uint32_t rate = 0;
        ASSERT_EQ(1, cdimage_audio_format(2, &samples, &rate)) << c.what;
        EXPECT_EQ(c.format == TrackFormat::DECODED ? CDIMAGE_SAMPLES_DECODED : CDIMAGE_SAMPLES_STORED, samples)
            << c.what;
        EXPECT_EQ(c.sample_rate, rate) << c.what;
        cdimage_close();
        EXPECT_EQ(descriptors, open_descriptor_count()) << c.what;
    }
}

TEST(TrackProbe, AudioFormatIsWrittenOnlyForAnAudioTrackWithSamples) {
    TempDir dir;
    write_sectors(dir.at("music.raw"), 20);
    std::string cue = cue_with_second_file(dir, "FILE music.raw MOTOROLA");
    ASSERT_EQ(1, open_quietly(cue));
    int samples = -1;
    uint32_t rate = 0;
    ASSERT_EQ(1, cdimage_audio_format(2, &samples, &rate));
    EXPECT_EQ(CDIMAGE_SAMPLES_BIG_ENDIAN, samples);
    EXPECT_EQ(44100u, rate);
    samples = -1;
    rate = 7;
    EXPECT_EQ(0, cdimage_audio_format(1, &samples, &rate));  // the data track
    EXPECT_EQ(0, cdimage_audio_format(3, &samples, &rate));  // no such track
    cdimage_close();
    EXPECT_EQ(0, cdimage_audio_format(2, &samples, &rate));
    EXPECT_EQ(-1, samples);
    EXPECT_EQ(7u, rate);
}

// The message carries libsndfile's own error number.
TEST(TrackProbe, FileThatDoesNotDecodeFailsTheOpen) {
    const char *lines[] = {"FILE bad.ogg BINARY", "FILE bad.wav MP3", "FILE bad.wav WAVE"};
    for (const char *line : lines) {
        TempDir dir;
        write_text(dir.at("bad.ogg"), "OggS but not a Vorbis stream at all\n");
        // A "fmt " chunk of format 0x1234: not PCM, and nothing libsndfile reads.
        write_file(dir.at("bad.wav"), riff_wave({{"fmt ", wave_format(44100, 2, 16, 0x1234)}, {"data", Bytes(64)}}));
        const std::string bad = std::string(line).find("ogg") != std::string::npos ? "bad.ogg" : "bad.wav";
        SF_INFO info{};
        EXPECT_EQ(nullptr, sf_open(dir.at(bad).c_str(), SFM_READ, &info)) << line;
        const int expected_code = sf_error(nullptr);
        ASSERT_NE(0, expected_code) << line;

        std::string cue = cue_with_second_file(dir, std::string(line) + "\nFILE disc.bin BINARY");
        int descriptors = open_descriptor_count();
        std::string err;
        EXPECT_EQ(0, open_image(cue, err)) << line;
        EXPECT_EQ("cdimage: " + dir.at(bad) + " does not decode (" + std::to_string(expected_code) + ")\n", err)
            << line;
        EXPECT_EQ(1, file_count()) << line;
        EXPECT_EQ(0, cdimage_is_open()) << line;
        EXPECT_EQ(descriptors, open_descriptor_count()) << line;
    }
}

TEST(TrackProbe, NoTrackFileStaysOpen) {
    TempDir dir;
    write_file(dir.at("side.wav"), riff_wave({{"fmt ", wave_format()}, {"data", Bytes(2352 * 2)}}));
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

// A name that does not exist as given is looked for by its base name in the
// sheet's directory, then as UTF-8 from ISO 8859-1; the path found is kept.
// A file found nowhere keeps its name, shown without its control bytes.
TEST(TrackProbe, NameFromAnotherMachineIsFoundBesideTheSheet) {
    struct Case {
        const char *what;
        std::string file_line;
        std::string on_disk;
        std::string kept;  // relative to the directory
    };
    const Case cases[] = {
        {"Windows path", "FILE \"C:\\Rips\\Side.bin\" BINARY", "Side.bin", "Side.bin"},
        {"absolute path elsewhere", "FILE /mnt/cdrips/side.bin BINARY", "SIDE.BIN", "SIDE.BIN"},
        {"ISO 8859-1 name", "FILE \"Se\xF1or.bin\" BINARY", "Se\xC3\xB1or.bin", "Se\xC3\xB1or.bin"},
        {"name in a subdirectory that is not there", "FILE \"gone/side.bin\" BINARY", "side.bin", "side.bin"},
        {"the name as given comes first", "FILE \"sub\\side.bin\" BINARY", "sub/side.bin", "sub/side.bin"},
    };
    for (const Case &c : cases) {
        TempDir dir;
        ASSERT_EQ(0, mkdir(dir.at("sub").c_str(), 0755));
        write_sectors(dir.at(c.on_disk), 7);
        if (c.on_disk == "sub/side.bin") write_sectors(dir.at("side.bin"), 3);
        std::string cue = cue_with_second_file(dir, c.file_line);
        std::string err;
        ASSERT_EQ(1, open_image(cue, err)) << c.what;
        EXPECT_EQ(opened_without_volume(cue, 2), err) << c.what;
        EXPECT_EQ(dir.at(c.kept), file_view(1).path) << c.what;
        EXPECT_EQ(7 * RAW_SECTOR_SIZE, file_view(1).data_size) << c.what;
    }

    TempDir dir;
    std::string cue = cue_with_second_file(dir, "FILE \"C:\\x\\gone\x1b[2J.wav\" WAVE");
    std::string err;
    EXPECT_EQ(0, open_image(cue, err));
    EXPECT_EQ("cdimage: " + dir.at("C:/x/gone?[2J.wav") + " is missing\n", err);
}

// An Ogg stream cut short has no last page to state its length, which
// libsndfile gives as unknown: the frames that decode are counted, and the
// tracks behind it keep their places.
TEST(TrackProbe, CutOggStreamIsMeasuredByTheFramesThatDecode) {
    if (!have_program("oggenc")) GTEST_SKIP() << "oggenc not installed";
    TempDir dir;
    write_file(dir.at("tone.wav"), wave_file(tone_samples(10 * 44100, 440.0, 660.0)));
    const RunResult encoded = encode_audio(Codec::VORBIS, dir.at("tone.wav"), dir.at("cut.ogg"));
    ASSERT_EQ(0, encoded.exit_code) << encoded.err;
    const Bytes whole = read_file(dir.at("cut.ogg"));
    write_file(dir.at("cut.ogg"), slice(whole, 0, whole.size() / 2));
    write_sectors(dir.at("next.bin"), 75);
    std::string cue = cue_with_second_file(dir, "FILE cut.ogg BINARY");
    write_text(cue, read_text(cue) + "FILE next.bin BINARY\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n");
    std::string err;
    ASSERT_EQ(1, open_image(cue, err));
    const int64_t frames = file_view(1).data_size / 4;
    EXPECT_GT(frames, 2 * 44100);
    EXPECT_LT(frames, 8 * 44100);
    EXPECT_EQ(10 + frames / 588, cdimage_track_lba(3));
    const char *path = nullptr;
    uint64_t offset = 1;
    uint32_t extent_frames = 0;
    int big_endian = -1;
    ASSERT_EQ(1, cdimage_audio_extent(2, &path, &offset, &extent_frames, &big_endian));
    EXPECT_EQ(frames, extent_frames);
    EXPECT_EQ(0u, offset);
    cdimage_close();
}
