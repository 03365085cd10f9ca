// The audio export: WAVE files written from the tracks of an open image.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "audio_export.h"
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

namespace {

// Every image needs a data track to open: an empty volume in a file of its own.
const char DATA_TRACK[] =
    "FILE \"data.bin\" BINARY\n"
    "  TRACK 01 MODE1/2352\n"
    "    INDEX 01 00:00:00\n";

void write_data_track(const TempDir &dir) {
    write_file(dir.at("data.bin"), wrap_sectors(build_iso_volume({}), SectorMode::MODE1_2352));
}

Captured open_and_export(const std::string &cue, const std::string &out_dir) {
    EXPECT_EQ(1, open_quietly(cue, out_dir));
    const Captured captured = export_into(out_dir);
    cdimage_close();
    return captured;
}

TEST(AudioExport, BinaryTrackIsTheHeaderThenItsSectorsByteForByte) {
    TempDir dir;
    Bytes bin = wrap_sectors(build_iso_volume({}), SectorMode::MODE1_2352);
    const std::size_t track_start = bin.size();
    const Bytes samples = pattern(5 * RAW_SECTOR, 3);
    bin.insert(bin.end(), samples.begin(), samples.end());
    write_file(dir.at("disc.bin"), bin);
    write_text(dir.at("disc.cue"), "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                                   "  TRACK 02 AUDIO\n    INDEX 01 " +
                                       msf_text(static_cast<uint32_t>(track_start / RAW_SECTOR)) + "\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    EXPECT_EQ("", run.err);
    const Bytes wave = read_file(dir.at("out/audio/track02.wav"));
    // 11760 data bytes: 5 sectors of 588 frames.
    const Bytes header = {'R', 'I', 'F', 'F', 0x14, 0x2e, 0x00, 0x00, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                          0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x44, 0xac, 0x00, 0x00,
                          0x10, 0xb1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 'd', 'a', 't', 'a', 0xf0, 0x2d, 0x00, 0x00};
    ASSERT_EQ(WAVE_HEADER + samples.size(), wave.size());
    EXPECT_EQ(header, slice(wave, 0, WAVE_HEADER));
    EXPECT_TRUE(slice(wave, WAVE_HEADER, samples.size()) == slice(bin, track_start, samples.size()));
}

TEST(AudioExport, MotorolaTrackComesOutLittleEndian) {
    TempDir dir;
    write_data_track(dir);
    Bytes big = pattern(2 * RAW_SECTOR, 9);
    const Bytes first_frame = {0x12, 0x34, 0x56, 0x78};
    std::copy(first_frame.begin(), first_frame.end(), big.begin());
    write_file(dir.at("audio.bin"), big);
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + "FILE \"audio.bin\" MOTOROLA\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    EXPECT_EQ("", run.err);
    const Bytes wave = read_file(dir.at("out/audio/track02.wav"));
    ASSERT_EQ(WAVE_HEADER + big.size(), wave.size());
    EXPECT_EQ((Bytes{0x34, 0x12, 0x78, 0x56}), slice(wave, WAVE_HEADER, 4));
    Bytes swapped = big;
    for (std::size_t i = 0; i < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    EXPECT_TRUE(wave_file(swapped) == wave);
}

TEST(AudioExport, WaveTrackFileGivesTheSamplesBehindItsDataChunk) {
    TempDir dir;
    write_data_track(dir);
    // 3 whole sectors and 100 frames more: the last track of a file ends at
    // its last whole frame. A LIST chunk stands between "fmt " and "data".
    const Bytes samples = tone_samples(3 * FRAMES_PER_SECTOR + 100, 440.0, 880.0);
    const Bytes format = {0x01, 0x00, 0x02, 0x00, 0x44, 0xac, 0x00, 0x00, 0x10, 0xb1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00};
    write_file(dir.at("track02.wav"), riff_wave({{"fmt ", format}, {"LIST", pattern(25, 1)}, {"data", samples}}));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + "FILE \"track02.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(wave_file(samples) == read_file(dir.at("out/audio/track02.wav")));
}

// A WAVE file already there is replaced by a new file, never truncated: a
// hard link planted in its place keeps the bytes of the file it shares.
// Unpacked into the image's own folder, a track file met under a WAVE
// file's name is the image itself: it is named and left alone.
TEST(AudioExport, ExistingFilesAreReplacedNeverWrittenThrough) {
    TempDir dir;
    write_data_track(dir);
    ASSERT_EQ(mkdir(dir.at("audio").c_str(), 0755), 0);
    const Bytes track_file = wave_file(pattern(2 * RAW_SECTOR, 4));
    write_file(dir.at("audio/track02.wav"), track_file);
    const Bytes raw = pattern(RAW_SECTOR, 6);
    write_file(dir.at("raw.bin"), raw);
    write_text(dir.at("victim"), "outside the output folder\n");
    ASSERT_EQ(link(dir.at("victim").c_str(), dir.at("audio/track03.wav").c_str()), 0);
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"audio/track02.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "FILE \"raw.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n");

    ASSERT_EQ(1, open_quietly(dir.at("disc.cue"), dir.path));
    const Captured run = export_into(dir.path, dir.at("disc.cue"));
    cdimage_close();

    EXPECT_EQ("track 03: 0:00\n", run.out);
    EXPECT_EQ(dir.at("audio/track02.wav") + ": would replace the image's own " + dir.at("audio/track02.wav") +
                  ", not written\n",
              run.err);
    EXPECT_EQ(track_file, read_file(dir.at("audio/track02.wav")));
    EXPECT_EQ("outside the output folder\n", read_text(dir.at("victim")));
    EXPECT_TRUE(wave_file(raw) == read_file(dir.at("audio/track03.wav")));
}

TEST(AudioExport, TrackFileEndingInsideTheTrackGivesItsWholeFrames) {
    TempDir dir;
    write_data_track(dir);
    // 250 frames and 2 stray bytes, while track 02 runs to track 03's INDEX 01
    // at 500 minutes: more frames than a WAVE header can count, but the file
    // holds only 250 of them.
    const Bytes bytes = pattern(1002, 5);
    write_file(dir.at("audio.bin"), bytes);
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"audio.bin\" BINARY\n"
                                       "  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 500:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    // Track 03 starts past the end of its file: it has no length.
    EXPECT_EQ("track 03: read failed\n", run.err);
    const Bytes wave = read_file(dir.at("out/audio/track02.wav"));
    ASSERT_EQ(WAVE_HEADER + 1000, wave.size());
    EXPECT_EQ(1036u, le32_at(wave, 4));
    EXPECT_EQ(1000u, le32_at(wave, 40));
    EXPECT_TRUE(slice(bytes, 0, 1000) == slice(wave, WAVE_HEADER, 1000));
    EXPECT_FALSE(path_exists(dir.at("out/audio/track03.wav")));
}

TEST(AudioExport, TrackWithoutSamplesInItsFile) {
    TempDir dir;
    write_data_track(dir);
    write_file(dir.at("a.bin"), pattern(2 * RAW_SECTOR, 1));
    write_file(dir.at("b.bin"), pattern(2 * RAW_SECTOR, 2));
    // Track 02 starts a sector past a.bin's end, but track 03 starts further
    // out, so track 02 has a length and nothing to read. Track 03 is a.bin's
    // last track and lies past its end (a negative length); track 04 starts
    // exactly at b.bin's end (length 0).
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"a.bin\" BINARY\n"
                                       "  TRACK 02 AUDIO\n    INDEX 01 00:00:03\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:00:05\n"
                                       "FILE \"b.bin\" BINARY\n"
                                       "  TRACK 04 AUDIO\n    INDEX 01 00:00:02\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    EXPECT_EQ("track 03: read failed\ntrack 04: read failed\n", run.err);
    EXPECT_TRUE(wave_file({}) == read_file(dir.at("out/audio/track02.wav")));
    EXPECT_EQ((std::vector<std::string>{"track02.wav"}), list_tree(dir.at("out/audio")));
}

// The layout of rippers that write each TRACK line, and the pregap of its
// INDEX 00, ahead of the FILE line that holds its INDEX 01: every file holds
// one track and, at its end, the next track's pregap.
TEST(AudioExport, TracksAheadOfTheirFileLinesComeFromTheirOwnFiles) {
    TempDir dir;
    write_data_track(dir);
    const Bytes sources[] = {pattern(5 * RAW_SECTOR, 1), pattern(4 * RAW_SECTOR, 2), pattern(6 * RAW_SECTOR, 3)};
    const std::size_t pregap_sectors[] = {2, 3, 0};
    const char *names[] = {"01.wav", "02.wav", "03.wav"};
    for (int i = 0; i < 3; ++i) {
        Bytes samples = sources[i];
        const Bytes pregap = pattern(pregap_sectors[i] * RAW_SECTOR, 99);
        samples.insert(samples.end(), pregap.begin(), pregap.end());
        write_file(dir.at(names[i]), wave_file(samples));
    }
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"01.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 00 00:00:05\n"
                                       "FILE \"02.wav\" WAVE\n    INDEX 01 00:00:00\n"
                                       "  TRACK 04 AUDIO\n    INDEX 00 00:00:04\n"
                                       "FILE \"03.wav\" WAVE\n    INDEX 01 00:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\ntrack 03: 0:00\ntrack 04: 0:00\n", run.out);
    EXPECT_EQ("", run.err);
    const char *outputs[] = {"out/audio/track02.wav", "out/audio/track03.wav", "out/audio/track04.wav"};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(wave_file(sources[i]) == read_file(dir.at(outputs[i]))) << outputs[i];
}

struct DurationCase {
    const char *name;
    uint64_t file_bytes;
    const char *next_track;  // INDEX 01 of a second track in the file, or null
    const char *line;
};

// Test names show the case's name, not its bytes.
void PrintTo(const DurationCase &c, std::ostream *os) { *os << c.name; }

class Duration : public testing::TestWithParam<DurationCase> {};

// Frame counts short of a whole sector come from a file that ends inside the
// track; the file is sparse, and its samples are zeros.
TEST_P(Duration, CountsWholeMinutesAndSeconds) {
    const DurationCase &c = GetParam();
    TempDir dir;
    write_data_track(dir);
    write_sparse_file(dir.at("audio.bin"), c.file_bytes);
    std::string cue = std::string(DATA_TRACK) + "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n";
    if (c.next_track)
        cue += std::string("  TRACK 03 AUDIO\n    INDEX 01 ") + c.next_track + "\n";
    write_text(dir.at("disc.cue"), cue);

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ(std::string(c.line) + "\n", run.out);
    struct stat st;
    ASSERT_EQ(0, stat(dir.at("out/audio/track02.wav").c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(WAVE_HEADER + c.file_bytes / 4 * 4), st.st_size);
}

INSTANTIATE_TEST_SUITE_P(Frames, Duration,
                         testing::Values(DurationCase{"OneMinute", 2646000ull * 4, nullptr, "track 02: 1:00"},
                                         DurationCase{"OneFrameShortOfAMinute", 2645999ull * 4, "01:00:00", "track 02: 0:59"},
                                         DurationCase{"OneFrameShortOfASecond", 44099ull * 4, "00:01:00", "track 02: 0:00"},
                                         DurationCase{"OneSecondAndTwoStrayBytes", 44100ull * 4 + 2, "00:02:00",
                                                      "track 02: 0:01"}),
                         [](const testing::TestParamInfo<DurationCase> &info) { return std::string(info.param.name); });

// Tracks whose WAVE header cannot count their frames: 1,073,741,815 frames
// and more make the RIFF size reach 2^32.
TEST(AudioExport, TrackTooLongForTheHeaderGivesNoFile) {
    TempDir dir;
    write_data_track(dir);
    // 1,826,092 sectors: 1,073,742,096 frames.
    write_sparse_file(dir.at("long.bin"), 1826092ull * RAW_SECTOR);
    write_file(dir.at("short.bin"), pattern(RAW_SECTOR, 4));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"long.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "FILE \"short.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: read failed\n", run.err);
    EXPECT_EQ("track 03: 0:00\n", run.out);
    EXPECT_EQ((std::vector<std::string>{"track03.wav"}), list_tree(dir.at("out/audio")));
}

// Both tracks look up the same number, so they make the same queries: the
// first track of the number says whether it is audio, the last audio track
// of the number gives the samples.
struct SameNumberCase {
    const char *name;
    const char *tracks;  // the cue sheet after the data track
    const char *out;
    const char *exported;  // the file whose samples track02.wav holds, or null
};

void PrintTo(const SameNumberCase &c, std::ostream *os) { *os << c.name; }

class SameNumber : public testing::TestWithParam<SameNumberCase> {};

TEST_P(SameNumber, ExportGoesByTrackNumber) {
    const SameNumberCase &c = GetParam();
    TempDir dir;
    write_data_track(dir);
    write_file(dir.at("data2.bin"), pattern(4 * RAW_SECTOR, 7));
    write_file(dir.at("a.bin"), pattern(RAW_SECTOR, 10));
    write_file(dir.at("b.bin"), pattern(2 * RAW_SECTOR, 20));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + c.tracks);

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    if (c.exported) {
        EXPECT_TRUE(wave_file(read_file(dir.at(c.exported))) == read_file(dir.at("out/audio/track02.wav")));
        EXPECT_EQ((std::vector<std::string>{"track02.wav"}), list_tree(dir.at("out/audio")));
    } else {
        EXPECT_FALSE(path_exists(dir.at("out/audio")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tracks, SameNumber,
    testing::Values(
        SameNumberCase{"TwoAudioTracksGiveTheLastOneTwice",
                       "FILE \"a.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                       "FILE \"b.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n",
                       "track 02: 0:00\ntrack 02: 0:00\n", "b.bin"},
        SameNumberCase{"DataTrackOfTheSameNumberIsExportedAsTheAudioOne",
                       "FILE \"a.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                       "FILE \"data2.bin\" BINARY\n  TRACK 02 MODE1/2352\n    INDEX 01 00:00:00\n",
                       "track 02: 0:00\ntrack 02: 0:00\n", "a.bin"},
        SameNumberCase{"AudioTrackNumberedLikeTheDataTrackIsNotExported",
                       "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n", "", nullptr}),
    [](const testing::TestParamInfo<SameNumberCase> &info) { return std::string(info.param.name); });

// ---- decoded track files and WAVE files at other rates -----------------------

int16_t sample_at(const Bytes &samples, std::size_t index) {
    return static_cast<int16_t>(samples[2 * index] | samples[2 * index + 1] << 8);
}

void append_sample(Bytes &out, int64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

int64_t clamp16(int64_t value) { return std::min<int64_t>(32767, std::max<int64_t>(-32768, value)); }

// Every source is 3 seconds at its own rate and half a sector more: track 02
// is its first 75 sectors, track 03 the rest of its whole sectors.
uint32_t source_frames(uint32_t rate) { return 3 * rate + FRAMES_PER_SECTOR / 2; }

// A tone's channels: the first of a mono tone, both of a stereo one.
Bytes tone_channels(uint32_t frames, int channels) {
    const Bytes stereo = tone_samples(frames, 440.0, 660.0);
    if (channels == 2)
        return stereo;
    Bytes mono;
    for (std::size_t i = 0; i < stereo.size(); i += 4)
        mono.insert(mono.end(), stereo.begin() + static_cast<std::ptrdiff_t>(i),
                    stereo.begin() + static_cast<std::ptrdiff_t>(i + 2));
    return mono;
}

Bytes mono_to_stereo(const Bytes &mono) {
    Bytes stereo;
    for (std::size_t i = 0; i + 1 < mono.size(); i += 2)
        stereo.insert(stereo.end(), {mono[i], mono[i + 1], mono[i], mono[i + 1]});
    return stereo;
}

// Encodes the tone with a codec's reference encoder into dir/<name>; the
// reference is what the codec's reference decoder gives back.
Bytes encoded_tone(const TempDir &dir, Codec codec, const std::string &name, int channels) {
    const uint32_t frames = source_frames(44100);
    write_file(dir.at("source.wav"), wave_file(tone_channels(frames, channels), 44100, static_cast<uint16_t>(channels)));
    const RunResult encoded = encode_audio(codec, dir.at("source.wav"), dir.at(name));
    EXPECT_EQ(0, encoded.exit_code) << encoded.err;
    const RunResult decoded = decode_audio(codec, dir.at(name), dir.at("reference.wav"));
    EXPECT_EQ(0, decoded.exit_code) << decoded.err;
    const Bytes reference = wave_samples(read_file(dir.at("reference.wav")));
    return channels == 1 ? mono_to_stereo(reference) : reference;
}

// A 24-bit WAVE whose samples run through the whole range: each comes out
// rounded to the nearest 16-bit value, ties upwards, held at 32767.
Bytes wave_24_bit(const TempDir &dir) {
    Bytes stored;
    Bytes expected;
    for (uint32_t i = 0; i < 2 * source_frames(44100); ++i) {
        const int64_t value = static_cast<int64_t>((uint64_t{i} * 7919 + (i % 3) * 0x7FFF80) % 0x1000000) - 0x800000;
        append_sample(stored, value, 3);
        append_sample(expected, clamp16(static_cast<int64_t>(std::floor((static_cast<double>(value) + 128) / 256))), 2);
    }
    write_file(dir.at("t.wav"), wave_file(stored, 44100, 2, 24));
    return expected;
}

// A float WAVE of a tone that overshoots full scale: past +-1.0 the
// samples are clipped, not wrapped.
Bytes wave_float(const TempDir &dir) {
    Bytes stored;
    Bytes expected;
    for (uint32_t i = 0; i < source_frames(44100); ++i) {
        for (int side = 0; side < 2; ++side) {
            const float value = static_cast<float>(1.25 * std::sin(0.01 * i + side));
            uint32_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            append_sample(stored, bits, 4);
            append_sample(expected, clamp16(std::lround(static_cast<double>(value) * 32768)), 2);
        }
    }
    write_file(dir.at("t.wav"), wave_file(stored, 44100, 2, 32, 3));
    return expected;
}

// A four-channel WAVE: both sides get the mean of the four channels.
Bytes wave_four_channels(const TempDir &dir) {
    Bytes stored;
    Bytes expected;
    for (uint32_t i = 0; i < source_frames(44100); ++i) {
        const int64_t channels[4] = {static_cast<int64_t>(i % 30000), -static_cast<int64_t>(i % 20000),
                                     static_cast<int64_t>(i % 777) * 40, 32767};
        int64_t sum = 0;
        for (int64_t c : channels) {
            append_sample(stored, c, 2);
            sum += c;
        }
        const int64_t mean = std::lround(static_cast<double>(sum) / 4);
        append_sample(expected, mean, 2);
        append_sample(expected, mean, 2);
    }
    write_file(dir.at("t.wav"), wave_file(stored, 44100, 4));
    return expected;
}

struct DecodedCase {
    const char *name;
    const char *file_line;
    // Writes the track file; gives the 16-bit stereo frames that the whole
    // file must come out as.
    std::function<Bytes(const TempDir &)> make;
    uint32_t rate;
    int tolerance;  // per sample; 0 where the result is exact
    const char *out;
};

void PrintTo(const DecodedCase &c, std::ostream *os) { *os << c.name; }

class DecodedTrack : public testing::TestWithParam<DecodedCase> {};

// Two tracks of one file, the second from 00:01:00: each WAVE file holds its
// extent's frames of the decoded file at the file's own rate, and the
// printed durations count at that rate.
TEST_P(DecodedTrack, WritesTheFramesOfItsExtentAtTheSourceRate) {
    const DecodedCase &c = GetParam();
    TempDir dir;
    write_data_track(dir);
    const Bytes reference = c.make(dir);
    ASSERT_FALSE(HasFailure());
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + c.file_line +
                                       "\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:01:00\n");

    ASSERT_EQ(1, open_quietly(dir.at("disc.cue"), dir.at("out")));
    // The decoded length is the reference decoder's, frame for frame.
    EXPECT_EQ(static_cast<int64_t>(reference.size()), file_view(1).data_size);
    const int tracks[] = {2, 3};
    uint64_t offsets[2] = {};
    uint32_t frames[2] = {};
    for (int t = 0; t < 2; ++t) {
        const char *path = nullptr;
        int big_endian = -1;
        ASSERT_EQ(1, cdimage_audio_extent(tracks[t], &path, &offsets[t], &frames[t], &big_endian));
        // The type word's flag, although decoded samples are never swapped.
        EXPECT_EQ(std::string(c.file_line).find("MOTOROLA") != std::string::npos, big_endian == 1);
    }
    const Captured run = export_into(dir.at("out"));
    cdimage_close();

    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    const std::size_t data_offset = file_view(1).data_offset;
    for (int t = 0; t < 2; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "out/audio/track%02d.wav", tracks[t]);
        const Bytes wave = read_file(dir.at(name));
        ASSERT_EQ(WAVE_HEADER + std::size_t{frames[t]} * 4, wave.size()) << name;
        EXPECT_EQ(slice(wave_file(Bytes(std::size_t{frames[t]} * 4), c.rate), 0, WAVE_HEADER),
                  slice(wave, 0, WAVE_HEADER))
            << name;
        const std::size_t first = (offsets[t] - data_offset) / 4;
        ASSERT_LE((first + frames[t]) * 4, reference.size()) << name;
        int worst = 0;
        for (std::size_t i = 0; i < std::size_t{frames[t]} * 2; ++i)
            worst = std::max(worst, std::abs(sample_at(wave, WAVE_HEADER / 2 + i) - sample_at(reference, 2 * first + i)));
        EXPECT_LE(worst, c.tolerance) << name;
    }
}

// Lossy decoders round a little differently from the reference tools; a
// wrong offset, a byte swap or a lost channel is off by thousands.
INSTANTIATE_TEST_SUITE_P(
    Formats, DecodedTrack,
    testing::Values(
        DecodedCase{"OggVorbisTypedWave", "FILE \"t.ogg\" WAVE",
                    [](const TempDir &d) { return encoded_tone(d, Codec::VORBIS, "t.ogg", 2); }, 44100, 4,
                    "track 02: 0:01\ntrack 03: 0:02\n"},
        // Decoded samples are native values: a MOTOROLA type word swaps nothing.
        DecodedCase{"MonoOggVorbisTypedMotorola", "FILE \"t.ogg\" MOTOROLA",
                    [](const TempDir &d) { return encoded_tone(d, Codec::VORBIS, "t.ogg", 1); }, 44100, 4,
                    "track 02: 0:01\ntrack 03: 0:02\n"},
        DecodedCase{"FlacNamedBinaryIsExact", "FILE \"t.flac\" BINARY",
                    [](const TempDir &d) {
                        encoded_tone(d, Codec::FLAC, "t.flac", 2);
                        return tone_channels(source_frames(44100), 2);
                    },
                    44100, 0, "track 02: 0:01\ntrack 03: 0:02\n"},
        DecodedCase{"Mp3TypedMp3", "FILE \"t.mp3\" MP3",
                    [](const TempDir &d) { return encoded_tone(d, Codec::MP3, "t.mp3", 2); }, 44100, 4,
                    "track 02: 0:01\ntrack 03: 0:02\n"},
        DecodedCase{"OpusAt48kHz", "FILE \"t.opus\" WAVE",
                    [](const TempDir &d) { return encoded_tone(d, Codec::OPUS, "t.opus", 2); }, 48000, 4,
                    "track 02: 0:00\ntrack 03: 0:02\n"},
        // Stored 16-bit stereo is copied, not decoded, and keeps its rate.
        DecodedCase{"StoredWaveAt48kHz", "FILE \"t.wav\" WAVE",
                    [](const TempDir &d) {
                        const Bytes samples = tone_channels(source_frames(48000), 2);
                        write_file(d.at("t.wav"), wave_file(samples, 48000));
                        return samples;
                    },
                    48000, 0, "track 02: 0:00\ntrack 03: 0:02\n"},
        DecodedCase{"MonoWave", "FILE \"t.wav\" WAVE",
                    [](const TempDir &d) {
                        const Bytes mono = tone_channels(source_frames(22050), 1);
                        write_file(d.at("t.wav"), wave_file(mono, 22050, 1));
                        return mono_to_stereo(mono);
                    },
                    22050, 0, "track 02: 0:02\ntrack 03: 0:01\n"},
        DecodedCase{"Wave24BitRounded", "FILE \"t.wav\" WAVE", wave_24_bit, 44100, 0,
                    "track 02: 0:01\ntrack 03: 0:02\n"},
        DecodedCase{"FloatWaveClipped", "FILE \"t.wav\" WAVE", wave_float, 44100, 1,
                    "track 02: 0:01\ntrack 03: 0:02\n"},
        DecodedCase{"FourChannelWaveMixedDown", "FILE \"t.wav\" WAVE", wave_four_channels, 44100, 1,
                    "track 02: 0:01\ntrack 03: 0:02\n"}),
    [](const testing::TestParamInfo<DecodedCase> &info) { return std::string(info.param.name); });

// ---- output paths that do not fit in 1023 characters ----------------------

// Creates a directory of exactly `length` characters below base, made of
// components short enough for any file system.
std::string make_long_directory(const std::string &base, std::size_t length) {
    std::string path = base;
    while (path.size() < length) {
        // Each step adds "/" and at least one character, and never leaves a
        // remainder that only a "/" would fill.
        const std::size_t remaining = length - path.size();
        const std::size_t component = remaining <= 201 ? remaining - 1 : (remaining == 202 ? 100 : 200);
        path += "/" + std::string(component, 'd');
        mkdir(path.c_str(), 0755);
    }
    return path;
}

class LongOutputDirectory : public testing::TestWithParam<std::size_t> {};

TEST_P(LongOutputDirectory, NothingIsCreatedAtACutPath) {
    const std::size_t length = GetParam();
    TempDir dir;
    write_data_track(dir);
    write_file(dir.at("audio.bin"), pattern(2 * RAW_SECTOR, 6));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) +
                                       "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:00:01\n");
    // out's parent holds nothing but out, so that a cut path of out's own
    // name ("ddd…d/ddd", its first 1023 characters) would show up beside it.
    const std::string parent = make_long_directory(dir.path, length - 40);
    const std::string out = parent + "/" + std::string(length - parent.size() - 1, 'o');
    ASSERT_EQ(length, out.size());

    const Captured run = open_and_export(dir.at("disc.cue"), out);

    const std::string names[] = {out + "/audio/track02.wav", out + "/audio/track03.wav"};
    if (names[0].size() <= 1023) {
        EXPECT_EQ("track 02: 0:00\ntrack 03: 0:00\n", run.out);
        EXPECT_EQ("", run.err);
        EXPECT_TRUE(path_exists(names[0]));
        EXPECT_TRUE(path_exists(names[1]));
        return;
    }
    std::string lines;
    for (const std::string &name : names) {
        const std::string cut = name.substr(0, 1023);
        lines += cut + ": File name too long\n";
        EXPECT_FALSE(path_exists(cut)) << cut;
    }
    EXPECT_EQ("", run.out);
    EXPECT_EQ(lines, run.err);
    std::vector<std::string> allowed = {out.substr(parent.size() + 1) + "/"};
    if (out.size() + 6 <= 1023)
        allowed.push_back(allowed[0] + "audio/");
    for (const std::string &entry : list_tree(parent))
        EXPECT_NE(allowed.end(), std::find(allowed.begin(), allowed.end(), entry)) << entry;
}

// 1005: the file name is exactly 1023 characters. 1006: the file name is cut.
// 1017: "<out>/audio" is 1023 characters. 1018: it is cut too. 1030: the
// output directory itself is longer than 1023 characters.
INSTANTIATE_TEST_SUITE_P(Lengths, LongOutputDirectory, testing::Values(1005, 1006, 1017, 1018, 1030));

}  // namespace
