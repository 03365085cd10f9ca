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
    const Bytes fmt = wave_format();
    return {
        wave_file(samples),
        riff_wave({{"fmt ", fmt}, {"LIST", Bytes(25, 'l')}, {"data", samples}}),
        riff_wave({{"data", samples}}),
        riff_wave({{"fmt ", fmt}, {"JUNK", Bytes(3, 0)}}),
        text_bytes("RIFF\x10\0\0\0AIFF") + samples,
        samples,
    };
}

// The first byte picks the layout of fuzz_volume (0: MODE1/2048; 1: Mode 2
// tracks in one file, the second from disc address 36; 2: the same in
// MODE2/2336; 3: an audio track, then the data track at disc address 100).
Bytes volume_seed(uint8_t layout, const Bytes &volume)
{
    return Bytes{layout} + volume;
}

// A volume of crafted directories, one sector each from sector 18 on (the
// root), each given as its records.
Bytes crafted_directories(const std::vector<Bytes> &directories)
{
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(18, ISO_SECTOR));
    for (std::size_t i = 0; i < directories.size(); ++i)
        put_bytes(volume, 18 + static_cast<uint32_t>(i), directories[i]);
    return volume;
}

Bytes directory_at(const std::string &identifier, uint32_t sector)
{
    return directory_record(identifier, sector, ISO_SECTOR, true);
}

// UCS-2 big-endian, as Joliet identifiers are recorded.
Bytes ucs2(std::initializer_list<uint16_t> units)
{
    Bytes bytes;
    for (uint16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    }
    return bytes;
}

// A directory's "." and ".." records.
Bytes self_and_parent(uint32_t self)
{
    return directory_record(Bytes{0}, self, ISO_SECTOR, true) + directory_record(Bytes{1}, self, ISO_SECTOR, true);
}

// A volume with Joliet names: the primary descriptor (root at 20), a
// supplementary one with Joliet's escape sequence (root at 21), the
// terminator, a Joliet subdirectory at 22 and a file's data at 23.
Bytes joliet_volume()
{
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(20, ISO_SECTOR));
    Bytes supplementary = primary_descriptor(21, ISO_SECTOR);
    supplementary[0] = 2;
    supplementary[88] = '%';
    supplementary[89] = '/';
    supplementary[90] = 'E';
    put_bytes(volume, 17, supplementary);
    Bytes terminator(ISO_SECTOR, 0);
    terminator[0] = 255;
    for (int i = 0; i < 5; ++i)
        terminator[1 + i] = static_cast<uint8_t>("CD001"[i]);
    put_bytes(volume, 18, terminator);
    put_bytes(volume, 20, self_and_parent(20) + directory_record("A.TXT;1", 23, 5, false));
    put_bytes(volume, 21,
              self_and_parent(21) + directory_record(ucs2({'M', 'i', 'x', 'e', 'd', 0xE9, '.', 't', 'x', 't', ';', '1'}), 23, 5, false) +
                  directory_record(ucs2({0xD83D, 0xDE00, 'S', 'u', 'b'}), 22, ISO_SECTOR, true));
    put_bytes(volume, 22, self_and_parent(22) + directory_record(ucs2({'I', 'n', 'n', 'e', 'r', ';', '1'}), 23, 5, false));
    put_bytes(volume, 23, text_bytes("data\n"));
    return volume;
}

std::vector<Bytes> volume_seeds()
{
    // Files dated in several ways, one with no date.
    IsoNode east = iso_file("EAST.TXT;1", text_bytes("east\n"));
    east.date = {99, 12, 31, 23, 59, 59, 36};
    IsoNode west = iso_file("WEST.TXT;1", text_bytes("west\n"));
    west.date = {100, 2, 29, 0, 0, 0, static_cast<uint8_t>(-20)};
    IsoNode undated = iso_file("UNDATED.TXT;1", text_bytes("none\n"));
    undated.date = {0, 0, 0, 0, 0, 0, 0};
    // Five directories of 200 characters, then names around 1023.
    IsoNode long_names = iso_dir(std::string(200, 'E'), {iso_file("EXACT_NAME_18.CHAR;1", Bytes(3, 'x')),
                                                        iso_file("ONE_TOO_LONG_19.CHR;1", Bytes(3, 'l'))});
    for (char letter : {'D', 'C', 'B', 'A'})
        long_names = iso_dir(std::string(200, letter), {long_names});
    // Directories one inside the other, deeper than the walk follows.
    std::vector<Bytes> deep;
    for (uint32_t level = 0; level < 70; ++level)
        deep.push_back(directory_at("D", 19 + level) + directory_record("F;1", 18, 1, false));
    // A loop to the root and two directories pointing at each other.
    const std::vector<Bytes> loops = {
        directory_at("A", 19) + directory_at("B", 20) + directory_record("R.TXT;1", 21, 5, false),
        directory_at("TO_B", 20) + directory_at("ROOT", 18),
        directory_at("TO_A", 19) + directory_record("F.TXT;1", 21, 5, false),
        text_bytes("data\n"),
    };
    std::vector<Mode2Sector> movie = {form2_sector(1), form2_sector(2)};
    std::vector<Mode2Sector> stream = {form1_sector(3), form2_sector(4, SUBMODE_AUDIO | SUBMODE_REAL_TIME)};
    const std::vector<IsoNode> xa_tree = {iso_file("README.TXT;1", text_bytes("xa\n")),
                                          iso_dir("MPEGAV", {iso_xa_file("AVSEQ01.DAT;1", XA_FORM2, movie)}),
                                          iso_xa_file("MOVIE.STR;1", XA_FORM2 | XA_INTERLEAVED, stream)};
    const std::vector<IsoNode> small_tree = {iso_file("README.TXT;1", text_bytes("hello\n")),
                                             iso_dir("DOCS", {iso_file("A.TXT;1", Bytes(3000, 'a'))})};
    // Files recorded in track 02 of layouts 1 and 2, which begins at disc
    // address 36, behind track 01's 32 sectors and a pregap.
    constexpr uint32_t ROOT = 18;
    Bytes later;
    put_bytes(later, 16, primary_descriptor(ROOT, ISO_SECTOR));
    put_bytes(later, ROOT,
              directory_record(Bytes{0}, ROOT, ISO_SECTOR, true) + directory_record(Bytes{1}, ROOT, ISO_SECTOR, true) +
                  directory_record("LATER.DAT;1", 37, 4096, false) +
                  directory_record(text_bytes("MOVIE.DAT;1"), 38, 4096, false, 0, xa_record(XA_FORM2)));
    for (uint8_t s = 19; s < 41; ++s)
        put_bytes(later, s, Bytes(ISO_SECTOR, s));
    return {
        volume_seed(0, build_iso_volume({iso_file("README.TXT;1", text_bytes("hello\n"))})),
        volume_seed(0, build_iso_volume({iso_file("A.TXT;1", Bytes(2049, 'a')), iso_file("A.TXT;2", Bytes(10, 'b')),
                    iso_dir("DOCS", {iso_file("NOTES.TXT;1", Bytes(0)),
                    iso_dir("SUB", {iso_file("DEEP.BIN;1", Bytes(300, 'd'))})})})),
        volume_seed(0, build_iso_volume({iso_multi_extent_file("M.BIN;1", Bytes(5000, 'm'), ISO_SECTOR), east, west, undated})),
        volume_seed(0, build_iso_volume({long_names})),
        volume_seed(0, crafted_directories(deep)),
        volume_seed(0, crafted_directories(loops)),
        volume_seed(1, build_iso_volume(xa_tree)),
        volume_seed(2, build_iso_volume(xa_tree)),
        volume_seed(1, later),
        volume_seed(2, later),
        volume_seed(3, build_iso_volume(small_tree, 100)),
        volume_seed(3, build_iso_volume(small_tree, 100 + 11400)),
        volume_seed(3, build_iso_volume(xa_tree, 777)),
        volume_seed(0, joliet_volume()),
        volume_seed(1, joliet_volume()),
    };
}

// Compressed seeds go in the third part, written as o.ogg: the name sends
// it to the decoder, which tells the formats apart by their bytes.
std::vector<Bytes> audio_seeds(const std::vector<Bytes> &compressed)
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
        // A mono WAVE is decoded; its TRACK line stands ahead of its FILE line.
        text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                   "  TRACK 02 AUDIO\n    INDEX 00 00:00:01\n"
                   "FILE \"r.wav\" WAVE\n    INDEX 01 00:00:00\n") +
            separator + wave_file(raw, 22050, 1),
    };
    for (const Bytes &file : compressed) {
        if (file.empty())
            continue;
        seeds.push_back(text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                   "FILE \"o.ogg\" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n"
                                   "FILE \"r.bin\" BINARY\n  TRACK 03 AUDIO\n    INDEX 01 00:00:01\n") +
                        separator + raw + separator + file);
        seeds.push_back(text_bytes("FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                   "FILE \"o.ogg\" BINARY\n  TRACK 07 AUDIO\n    INDEX 01 00:00:01\n") +
                        separator + separator + file);
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
    std::vector<Bytes> compressed;
    for (Codec codec : {Codec::VORBIS, Codec::FLAC, Codec::MP3_WITH_ID3, Codec::OPUS}) {
        compressed.push_back(encode_tone(scratch.path, codec, 2 * FRAMES_PER_SECTOR));
        if (compressed.back().empty())
            std::fprintf(stderr, "make_corpus: an encoder is missing, a compressed seed left out\n");
    }
    write_seeds(root + "/fuzz_cue_sheet", cue_seeds());
    write_seeds(root + "/fuzz_wave_walk", wave_seeds());
    write_seeds(root + "/fuzz_volume", volume_seeds());
    write_seeds(root + "/fuzz_audio_export", audio_seeds(compressed));
    return 0;
}
