// make_sample_disc <dir>: writes a small CD image into <dir> for a first run
// of cdunpack. sample.cue names
//   sample.bin   a MODE1/2352 data track holding an ISO 9660 volume, then two
//                audio tracks of tones, the second behind a 2-second pregap;
//   track04.wav  a RIFF WAVE file holding a third audio track;
//   track05.ogg  an Ogg Vorbis file holding a fourth one, and
//   track06.flac a FLAC file holding a fifth, each made only when its
//                encoder (oggenc, flac) is on PATH.
// Everything is generated here, so nothing needs downloading.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "disc_time.h"
#include "fixtures.h"

namespace {

constexpr uint32_t FRAMES_PER_SECOND = 44100;
constexpr uint32_t PREGAP_SECTORS = 2 * SECTORS_PER_SECOND;

const char README_TEXT[] =
    "This is the sample disc of cdunpack.\r\n"
    "\r\n"
    "Its first track is a data track holding an ISO 9660 volume: this file,\r\n"
    "DOCS/GUIDE.TXT and DOCS/NOTES/TODO.TXT. The tracks after it are audio\r\n"
    "tracks of generated tones; cdunpack writes them as audio/trackNN.wav.\r\n";

const char GUIDE_TEXT[] =
    "GUIDE\r\n"
    "\r\n"
    "cdunpack <image.cue> <out> copies every file of the volume into <out>,\r\n"
    "keeping its directories, and writes every audio track as\r\n"
    "<out>/audio/trackNN.wav (PCM, 2 channels, 16-bit, 44100 Hz).\r\n"
    "\r\n"
    "Track 02 is a 440 Hz tone, track 03 (after two seconds of pregap\r\n"
    "silence) 660 Hz, track 04 comes from a WAVE file, track 05 from an Ogg\r\n"
    "Vorbis file and track 06 from a FLAC file (when oggenc and flac were\r\n"
    "there to make them).\r\n";

const char TODO_TEXT[] =
    "TODO\r\n"
    "\r\n"
    "- Try cdunpack on a disc of your own.\r\n"
    "- This file lies two directories deep: DOCS/NOTES/TODO.TXT.\r\n";

// Creates every directory along path, like mkdir -p; errors show later, when
// the files are written.
void make_directories(const std::string &path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

// A tone of whole audio sectors.
Bytes tone_seconds(uint32_t seconds, double left_hz, double right_hz) {
    return tone_samples(seconds * FRAMES_PER_SECOND, left_hz, right_hz);
}

int make_sample_disc(const std::string &dir) {
    make_directories(dir);

    const Bytes volume = build_iso_volume({
        iso_file("README.TXT;1", text_bytes(README_TEXT)),
        iso_dir("DOCS", {
            iso_file("GUIDE.TXT;1", text_bytes(GUIDE_TEXT)),
            iso_dir("NOTES", {iso_file("TODO.TXT;1", text_bytes(TODO_TEXT))}),
        }),
    });
    Bytes bin = wrap_sectors(volume, SectorMode::MODE1_2352);
    const uint32_t track02_start = static_cast<uint32_t>(bin.size() / 2352);

    const Bytes track02 = tone_seconds(4, 440.0, 440.0);
    append(bin, track02);
    const uint32_t track03_pregap = track02_start + static_cast<uint32_t>(track02.size() / 2352);
    append(bin, Bytes(PREGAP_SECTORS * FRAMES_PER_SECTOR * 4, 0));
    append(bin, tone_seconds(3, 660.0, 660.0));
    write_file(dir + "/sample.bin", bin);

    write_file(dir + "/track04.wav", wave_file(tone_seconds(3, 523.25, 659.25)));

    std::string cue =
        "REM cdunpack sample disc, made by make_sample_disc\n"
        "FILE \"sample.bin\" BINARY\n"
        "  TRACK 01 MODE1/2352\n"
        "    INDEX 01 00:00:00\n"
        "  TRACK 02 AUDIO\n"
        "    INDEX 01 " + msf_text(track02_start) + "\n"
        "  TRACK 03 AUDIO\n"
        "    INDEX 00 " + msf_text(track03_pregap) + "\n"
        "    INDEX 01 " + msf_text(track03_pregap + PREGAP_SECTORS) + "\n"
        "FILE \"track04.wav\" WAVE\n"
        "  TRACK 04 AUDIO\n"
        "    INDEX 01 00:00:00\n";
    int tracks = 4;

    struct Compressed {
        Codec codec;
        const char *encoder;
        const char *name;
        double left_hz, right_hz;
    };
    const Compressed compressed[] = {{Codec::VORBIS, "oggenc", "track05.ogg", 392.0, 587.33},
                                     {Codec::FLAC, "flac", "track06.flac", 349.23, 523.25}};
    std::string missing;
    for (const Compressed &track : compressed) {
        const std::string path = dir + "/" + track.name;
        std::remove(path.c_str());
        if (!have_program(track.encoder)) {
            missing += std::string(missing.empty() ? "" : ", ") + track.encoder;
            continue;
        }
        const std::string source = dir + "/source.wav";
        write_file(source, wave_file(tone_seconds(3, track.left_hz, track.right_hz)));
        const RunResult encoded = encode_audio(track.codec, source, path);
        std::remove(source.c_str());
        if (encoded.exit_code != 0) {
            std::fprintf(stderr, "make_sample_disc: %s failed: %s", track.encoder, encoded.err.c_str());
            return 1;
        }
        ++tracks;
        cue += std::string("FILE \"") + track.name + "\" WAVE\n  TRACK 0" + std::to_string(tracks) +
               " AUDIO\n    INDEX 01 00:00:00\n";
    }
    write_text(dir + "/sample.cue", cue);

    std::printf("make_sample_disc: %s/sample.cue, %d tracks%s%s%s\n", dir.c_str(), tracks,
                missing.empty() ? "" : " (not on PATH: ", missing.c_str(), missing.empty() ? "" : ")");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 1;
    }
    try {
        return make_sample_disc(argv[1]);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "make_sample_disc: %s\n", failure.what());
        return 1;
    }
}
