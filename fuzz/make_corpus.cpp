// Writes small well-formed seed inputs for each fuzz target, built by the test
// fixtures: make_corpus <dir> fills <dir>/fuzz_cue_sheet, <dir>/fuzz_wave_walk,
// <dir>/fuzz_volume and <dir>/fuzz_audio_export.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

void write_seeds(const std::string &dir, const std::vector<Bytes> &seeds)
{
    mkdir(dir.c_str(), 0755);
    for (std::size_t i = 0; i < seeds.size(); ++i)
        write_file(dir + "/seed" + std::to_string(i), seeds[i]);
}

Bytes operator+(Bytes left, const Bytes &right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// The names match the files fuzz_cue_sheet lays out beside the sheet.
std::vector<Bytes> cue_seeds()
{
    return {
        text_bytes("FILE \"a.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"),
        text_bytes("FILE \"a.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                   "FILE \"d.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 00 00:00:00\n    INDEX 01 00:00:01\n"
                   "FILE \"b.wav\" WAVE\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n"
                   "FILE \"c.ogg\" OGG\n  TRACK 04 AUDIO\n    INDEX 01 00:00:00\n"),
        text_bytes("REM a comment\r\nfile d.bin motorola\r\n  track 1 audio\r\n    index 1 00:00:00\r\n"
                   "  Track 2 Audio\r\n    Index 0 00:00:01\r\n    Index 1 00:00:02\r\n"),
        text_bytes("FILE \"missing.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
                   "FILE sub\\c.OGG WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                   "FILE \"b.wav\"WAVE\n  TRACK 03 MODE2/2336\n    INDEX 01 -1:00:00\n"),
        text_bytes("FILE a.bin\n  TRACK\n    INDEX 01 00:99:99\n  TRACK 05 MODE1/2352\n    INDEX 01 10:00:00\n"),
    };
}

std::vector<Bytes> wave_seeds()
{
    const Bytes samples = tone_samples(2 * FRAMES_PER_SECTOR, 440.0, 550.0);
    Bytes fmt(16, 0);
    return {
        wave_file(samples),
        riff_wave({{"fmt ", fmt}, {"LIST", Bytes(25, 'l')}, {"data", samples}}),
        riff_wave({{"data", samples}}),
        riff_wave({{"fmt ", fmt}, {"JUNK", Bytes(3, 0)}}),
        text_bytes("RIFF\x10\0\0\0AIFF") + samples,
        samples,
    };
}

std::vector<Bytes> volume_seeds()
{
    return {
        build_iso_volume({iso_file("README.TXT;1", text_bytes("hello\n"))}),
        build_iso_volume({iso_file("A.TXT;1", Bytes(2049, 'a')), iso_file("A.TXT;2", Bytes(10, 'b')),
                          iso_dir("DOCS", {iso_file("NOTES.TXT;1", Bytes(0)),
                                           iso_dir("SUB", {iso_file("DEEP.BIN;1", Bytes(300, 'd'))})})}),
        build_iso_volume({iso_dir("A", {iso_dir("B", {iso_dir("C", {iso_dir("D", {iso_dir("E", {iso_dir(
                              "F", {iso_dir("G", {iso_dir("H", {iso_dir("I", {iso_dir("J", {iso_file(
                                                   "X.;1", Bytes(5, 'x'))})})})})})})})})})}),
                          iso_file("EMPTY.;1", Bytes())}),
    };
}

std::vector<Bytes> audio_seeds(const Bytes &ogg)
{
    const Bytes separator(PART_SEPARATOR.begin(), PART_SEPARATOR.end());
    const Bytes raw = tone_samples(3 * FRAMES_PER_SECTOR, 330.0, 440.0);
    // The export needs the open to succeed, and an open needs a data track.
    std::vector<Bytes> seeds = {
        text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
                   "  TRACK 02 AUDIO\n    INDEX 01 00:00:01\n"
                   "  TRACK 03 AUDIO\n    INDEX 00 00:00:02\n    INDEX 01 00:00:03\n"
                   "  TRACK 03 AUDIO\n    INDEX 01 00:00:04\n") +
            separator + raw + raw,
        text_bytes("FILE \"r.bin\" MOTOROLA\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                   "  TRACK 02 AUDIO\n    INDEX 01 00:00:01\n") +
            separator + raw,
        text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
                   "FILE \"r.wav\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n") +
            separator + wave_file(raw),
    };
    if (!ogg.empty()) {
        seeds.push_back(text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                   "FILE \"o.ogg\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                   "FILE \"r.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:01\n") +
                        separator + raw + separator + ogg);
        seeds.push_back(text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                   "FILE \"o.ogg\" BINARY\n  TRACK 07 AUDIO\n    INDEX 01 00:00:01\n") +
                        separator + separator + ogg);
    }
    return seeds;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus <dir>\n");
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    TempDir scratch;
    const Bytes ogg = encode_ogg_tone(scratch.path, 2 * FRAMES_PER_SECTOR);
    if (ogg.empty())
        std::fprintf(stderr, "make_corpus: oggenc not available, no Ogg seeds\n");
    write_seeds(root + "/fuzz_cue_sheet", cue_seeds());
    write_seeds(root + "/fuzz_wave_walk", wave_seeds());
    write_seeds(root + "/fuzz_volume", volume_seeds());
    write_seeds(root + "/fuzz_audio_export", audio_seeds(ogg));
    return 0;
}
