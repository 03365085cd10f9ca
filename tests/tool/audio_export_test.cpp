// The audio export: WAVE files written from the tracks of an open image.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "audio_export.h"
#include "cdimage_internal.h"
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
    // 3 whole sectors and 100 frames more: the partial sector is no part of
    // the track. A LIST chunk stands between "fmt " and "data".
    const Bytes samples = tone_samples(3 * FRAMES_PER_SECTOR + 100, 440.0, 880.0);
    const Bytes format = {0x01, 0x00, 0x02, 0x00, 0x44, 0xac, 0x00, 0x00, 0x10, 0xb1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00};
    write_file(dir.at("track02.wav"), riff_wave({{"fmt ", format}, {"LIST", pattern(25, 1)}, {"data", samples}}));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + "FILE \"track02.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");

    const Captured run = open_and_export(dir.at("disc.cue"), dir.at("out"));

    EXPECT_EQ("track 02: 0:00\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(wave_file(slice(samples, 0, 3 * RAW_SECTOR)) == read_file(dir.at("out/audio/track02.wav")));
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

// ---- Ogg Vorbis track files ------------------------------------------------

// The samples of a RIFF WAVE file's "data" chunk.
Bytes wave_samples(const Bytes &wave) {
    std::size_t at = 12;
    while (at + 8 <= wave.size()) {
        const uint32_t size = le32_at(wave, at + 4);
        if (std::memcmp(&wave[at], "data", 4) == 0)
            return slice(wave, at + 8, std::min<std::size_t>(size, wave.size() - at - 8));
        at += 8 + size + (size & 1);
    }
    return {};
}

int16_t sample_at(const Bytes &samples, std::size_t index) {
    return static_cast<int16_t>(samples[2 * index] | samples[2 * index + 1] << 8);
}

// Two float decoders round a little differently; a wrong offset, a byte swap
// or a lost channel is off by thousands.
constexpr int DECODER_TOLERANCE = 4;

struct OggCase {
    const char *name;
    const char *type;  // the FILE line's type word
    int channels;
};

void PrintTo(const OggCase &c, std::ostream *os) { *os << c.name; }

class OggTrack : public testing::TestWithParam<OggCase> {};

// The reference is what oggdec decodes from the same file; a mono stream
// comes out with its one channel on both sides.
TEST_P(OggTrack, WritesTheDecodedSamplesOfTheExtent) {
    const OggCase &c = GetParam();
    if (!have_program("oggenc") || !have_program("oggdec"))
        GTEST_SKIP() << "needs oggenc and oggdec";
    TempDir dir;
    write_data_track(dir);
    // 150 sectors and half a sector of decoded audio: the half sector is no
    // part of track 03.
    const Bytes stereo = tone_samples(150 * FRAMES_PER_SECTOR + FRAMES_PER_SECTOR / 2, 440.0, 660.0);
    Bytes source;
    for (std::size_t i = 0; i < stereo.size(); i += c.channels == 1 ? 4 : 2) {
        source.push_back(stereo[i]);
        source.push_back(stereo[i + 1]);
    }
    write_file(dir.at("source.wav"), wave_file(source, 44100, static_cast<uint16_t>(c.channels)));
    ASSERT_EQ(0, run_program({"oggenc", "-Q", "-o", dir.at("tone.ogg"), dir.at("source.wav")}).exit_code);
    ASSERT_EQ(0, run_program({"oggdec", "-Q", "-o", dir.at("ref.wav"), dir.at("tone.ogg")}).exit_code);
    const Bytes reference = wave_samples(read_file(dir.at("ref.wav")));
    write_text(dir.at("disc.cue"), std::string(DATA_TRACK) + "FILE \"tone.ogg\" " + c.type +
                                       "\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                       "  TRACK 03 AUDIO\n    INDEX 01 00:01:00\n");

    ASSERT_EQ(1, open_quietly(dir.at("disc.cue"), dir.at("out")));
    const int tracks[] = {2, 3};
    uint64_t offsets[2] = {};
    uint32_t frames[2] = {};
    for (int t = 0; t < 2; ++t) {
        const char *path = nullptr;
        int big_endian = -1;
        ASSERT_EQ(1, cdimage_audio_extent(tracks[t], &path, &offsets[t], &frames[t], &big_endian));
    }
    const Captured run = export_into(dir.at("out"));
    cdimage_close();

    EXPECT_EQ("track 02: 0:01\ntrack 03: 0:01\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(75u * RAW_SECTOR, offsets[1]);
    for (int t = 0; t < 2; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "out/audio/track%02d.wav", tracks[t]);
        const Bytes wave = read_file(dir.at(name));
        ASSERT_EQ(WAVE_HEADER + std::size_t{frames[t]} * 4, wave.size()) << name;
        EXPECT_EQ(slice(wave_file(Bytes(std::size_t{frames[t]} * 4)), 0, WAVE_HEADER), slice(wave, 0, WAVE_HEADER));
        const std::size_t first = offsets[t] / 4;
        ASSERT_LE((first + frames[t]) * c.channels * 2, reference.size()) << name;
        int worst = 0;
        for (std::size_t i = 0; i < frames[t]; ++i) {
            for (int side = 0; side < 2; ++side) {
                const int got = sample_at(wave, WAVE_HEADER / 2 + 2 * i + side);
                const int want = sample_at(reference, (first + i) * c.channels + (c.channels == 1 ? 0 : side));
                worst = std::max(worst, std::abs(got - want));
            }
        }
        EXPECT_LE(worst, DECODER_TOLERANCE) << name;
    }
}

// Decoded samples are native 16-bit values: a MOTOROLA type word swaps
// nothing.
INSTANTIATE_TEST_SUITE_P(Streams, OggTrack,
                         testing::Values(OggCase{"Stereo", "WAVE", 2}, OggCase{"StereoTypedMotorola", "MOTOROLA", 2},
                                         OggCase{"Mono", "BINARY", 1}),
                         [](const testing::TestParamInfo<OggCase> &info) { return std::string(info.param.name); });

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
