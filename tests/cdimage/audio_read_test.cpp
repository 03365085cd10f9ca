// Audio read through the library: every kind of track file gives the same
// 16-bit little-endian stereo frames that the tool writes into its WAVE
// files, from any frame on, and nothing past the track's end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdimage.h"
#include "fixtures.h"

namespace {

constexpr uint32_t FRAMES_PER_SECTOR = 588;

Bytes swapped_samples(Bytes samples)
{
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2)
        std::swap(samples[i], samples[i + 1]);
    return samples;
}

// Mono 8-bit samples: a WAVE file the library must decode, not copy.
Bytes mono_8_bit(uint32_t frames)
{
    Bytes samples(frames);
    for (uint32_t i = 0; i < frames; ++i)
        samples[i] = static_cast<uint8_t>(i * 7 % 251);
    return samples;
}

// Every frame of a track read through the handle in pieces of `piece`.
Bytes read_all_frames(cdimage_handle *disc, int number, uint32_t piece)
{
    uint32_t frames = 0, rate = 0;
    if (!cdimage_handle_audio_frames(disc, number, &frames, &rate))
        return {};
    Bytes all(static_cast<std::size_t>(frames) * 4);
    uint64_t done = 0;
    while (done < frames) {
        const uint32_t got = cdimage_handle_read_audio(disc, number, done, all.data() + done * 4, piece);
        if (got == 0)
            break;
        done += got;
    }
    all.resize(static_cast<std::size_t>(done) * 4);
    return all;
}

struct AudioDisc {
    TempDir dir;
    Bytes raw = tone_samples(3 * FRAMES_PER_SECTOR + 100, 440.0, 660.0);
    Bytes motorola = tone_samples(2 * FRAMES_PER_SECTOR, 550.0, 330.0);
    Bytes stored_wave = tone_samples(5000, 220.0, 880.0);
    std::vector<int> numbers;

    AudioDisc()
    {
        // The data track, then a raw audio track behind a one-second pregap
        // in the same file: a read must skip the data and the pregap.
        Bytes bin = wrap_sectors(build_iso_volume({}), SectorMode::MODE1_2352);
        const uint32_t data_sectors = static_cast<uint32_t>(bin.size() / 2352);
        bin.resize(bin.size() + 75 * 2352, 0x5A);
        bin.insert(bin.end(), raw.begin(), raw.end());
        write_file(dir.at("disc.bin"), bin);
        write_file(dir.at("be.bin"), swapped_samples(motorola));
        write_file(dir.at("stored.wav"), wave_file(stored_wave));
        write_file(dir.at("mono.wav"), wave_file(mono_8_bit(3000), 22050, 1, 8));
        std::string cue = "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 00 " +
                          msf_text(data_sectors) + "\nINDEX 01 " + msf_text(data_sectors + 75) + "\n" +
                          "FILE be.bin MOTOROLA\nTRACK 03 AUDIO\nINDEX 01 00:00:00\n"
                          "FILE stored.wav WAVE\nTRACK 04 AUDIO\nINDEX 01 00:00:00\n"
                          "FILE mono.wav WAVE\nTRACK 05 AUDIO\nINDEX 01 00:00:00\n";
        numbers = {2, 3, 4, 5};
        const struct {
            Codec codec;
            const char *tool;
            const char *name;
        } compressed[] = {{Codec::FLAC, "flac", "t.flac"}, {Codec::VORBIS, "oggenc", "t.ogg"}};
        write_file(dir.at("tone.wav"), wave_file(tone_samples(44100, 440.0, 660.0)));
        int number = 6;
        for (const auto &c : compressed) {
            if (!have_program(c.tool) || encode_audio(c.codec, dir.at("tone.wav"), dir.at(c.name)).exit_code != 0)
                continue;
            cue += std::string("FILE ") + c.name + " BINARY\nTRACK 0" + std::to_string(number) +
                   " AUDIO\nINDEX 01 00:00:00\n";
            numbers.push_back(number++);
        }
        write_text(dir.at("disc.cue"), cue);
    }
};

TEST(AudioRead, FramesEqualTheWaveFilesTheToolWrites) {
    AudioDisc disc;
    const RunResult run = run_program({cdunpack_binary(), "disc.cue", "out"}, disc.dir.path, 60);
    ASSERT_EQ(0, run.exit_code) << run.err;

    cdimage_handle *image = cdimage_handle_new();
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, cdimage_handle_set_option(image, CDIMAGE_OPTION_MESSAGES, 0));
    ASSERT_EQ(1, cdimage_handle_open(image, disc.dir.at("disc.cue").c_str(), disc.dir.at("unused").c_str()));
    for (int number : disc.numbers) {
        SCOPED_TRACE("track " + std::to_string(number));
        char name[32];
        std::snprintf(name, sizeof name, "out/audio/track%02d.wav", number);
        const Bytes written = wave_samples(read_file(disc.dir.at(name)));
        ASSERT_FALSE(written.empty());
        // Pieces that end inside a decoder's block and a raw file's sector.
        EXPECT_TRUE(written == read_all_frames(image, number, 1000));
        EXPECT_TRUE(written == read_all_frames(image, number, 1u << 20));
    }
    // The raw tracks come out as their files hold them, whatever the tool does.
    EXPECT_TRUE(disc.raw == read_all_frames(image, 2, 777));
    EXPECT_TRUE(disc.motorola == read_all_frames(image, 3, 777));
    EXPECT_TRUE(disc.stored_wave == read_all_frames(image, 4, 777));
    EXPECT_EQ(0, cdimage_handle_ledger_count(image) - 1) << "only the open's summary";
    cdimage_handle_free(image);
}

TEST(AudioRead, AnyFrameOnAndNothingPastTheEnd) {
    AudioDisc disc;
    cdimage_handle *image = cdimage_handle_new();
    ASSERT_NE(nullptr, image);
    cdimage_handle_set_option(image, CDIMAGE_OPTION_MESSAGES, 0);
    ASSERT_EQ(1, cdimage_handle_open(image, disc.dir.at("disc.cue").c_str(), disc.dir.at("out").c_str()));
    const uint32_t total = static_cast<uint32_t>(disc.raw.size() / 4);
    uint32_t frames = 0, rate = 0;
    ASSERT_EQ(1, cdimage_handle_audio_frames(image, 2, &frames, &rate));
    EXPECT_EQ(total, frames);
    EXPECT_EQ(44100u, rate);
    // A raw track, a decoded WAVE, and FLAC and Ogg where their encoders are
    // there: a read from the middle or near the end of a compressed stream
    // must give the frames a read from its start gives there.
    std::vector<int> numbers = {2, 5};
    numbers.insert(numbers.end(), disc.numbers.begin() + 4, disc.numbers.end());
    for (int number : numbers) {
        SCOPED_TRACE("track " + std::to_string(number));
        const Bytes all = read_all_frames(image, number, 4096);
        const uint32_t count = static_cast<uint32_t>(all.size() / 4);
        ASSERT_GT(count, 1000u);
        Bytes piece(400 * 4);
        // Backwards and forwards: each read stands on its own frame.
        for (uint32_t first : {count - 300, 123u, 700u, 0u}) {
            const uint32_t got = cdimage_handle_read_audio(image, number, first, piece.data(), 400);
            EXPECT_EQ(std::min(400u, count - first), got) << first;
            EXPECT_TRUE(slice(all, first * 4, got * 4) == slice(piece, 0, got * 4)) << first;
        }
        EXPECT_EQ(0u, cdimage_handle_read_audio(image, number, count, piece.data(), 400));
        EXPECT_EQ(0u, cdimage_handle_read_audio(image, number, UINT64_MAX, piece.data(), 400));
    }
    // No such audio track: nothing read, nothing recorded.
    Bytes piece(16);
    EXPECT_EQ(0u, cdimage_handle_read_audio(image, 1, 0, piece.data(), 4));
    EXPECT_EQ(0u, cdimage_handle_read_audio(image, 42, 0, piece.data(), 4));
    EXPECT_EQ(0, cdimage_handle_audio_frames(image, 1, &frames, &rate));
    EXPECT_EQ(0, cdimage_handle_failure_count(image));
    cdimage_handle_free(image);
}

}  // namespace
