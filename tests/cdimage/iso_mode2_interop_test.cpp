// Mode 2 discs made by real tools, unpacked by the command-line tool: Video
// CDs from vcdimager and vcdxbuild (movies in later tracks, a still picture
// in Form 2 sectors of the data track) and an Enhanced CD whose volume,
// mastered by genisoimage for a second session, follows its audio tracks.
#include "module_view.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr size_t CDXA_HEADER = 44;
constexpr size_t SUBMODE_BYTE = 18;
constexpr size_t FORM2_DATA = 24;

void skip_without(const std::vector<std::string> &programs) {
    for (const std::string &program : programs)
        if (!have_program(program))
            GTEST_SKIP() << program << " is not installed (scripts/setup-deps.sh installs it)";
}

// A second of NTSC Video CD MPEG-1 (or one frame of it, a still) whose
// picture and tone differ by `seed`.
void make_mpeg(const std::string &path, int seed, bool still) {
    std::vector<std::string> command = {"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                                        "testsrc=size=352x240:rate=29.97:decimals=" + std::to_string(seed % 3)};
    if (still) {
        command.insert(command.end(), {"-frames:v", "1", "-an"});
    } else {
        command.insert(command.end(),
                       {"-f", "lavfi", "-i", "sine=frequency=" + std::to_string(300 + 100 * seed), "-t", "1"});
    }
    command.insert(command.end(), {"-target", "ntsc-vcd", "-y", path});
    RunResult made = run_program(command);
    ASSERT_EQ(made.exit_code, 0) << made.err;
}

// MPEG data in blocks of 2324 bytes, all-zero blocks (padding) left out.
Bytes without_padding(const Bytes &data) {
    Bytes out;
    for (size_t at = 0; at < data.size(); at += FORM2_DATA_SIZE) {
        const auto begin = data.begin() + static_cast<long>(at);
        const auto end = data.begin() + static_cast<long>(std::min<size_t>(at + FORM2_DATA_SIZE, data.size()));
        if (std::any_of(begin, end, [](uint8_t byte) { return byte != 0; }))
            out.insert(out.end(), begin, end);
    }
    return out;
}

// The CDXA file's sectors, checked for shape, and the data of its Form 2
// sectors, empty ones (padding of tracks and segments) left out.
Bytes cdxa_payloads(const Bytes &file) {
    EXPECT_GE(file.size(), CDXA_HEADER);
    if (file.size() < CDXA_HEADER)
        return {};
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(le32_at(file, 4), file.size() - 8);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "CDXAfmt ");
    EXPECT_EQ(std::string(file.begin() + 20 + 6, file.begin() + 20 + 8), "XA");
    EXPECT_EQ(le32_at(file, 40), file.size() - CDXA_HEADER);
    EXPECT_EQ((file.size() - CDXA_HEADER) % RAW_SECTOR, 0u);
    Bytes payloads;
    for (size_t at = CDXA_HEADER; at + RAW_SECTOR <= file.size(); at += RAW_SECTOR) {
        EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 12),
                  (Bytes{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}));
        if (file[at + SUBMODE_BYTE] & SUBMODE_FORM2)
            payloads.insert(payloads.end(), file.begin() + static_cast<long>(at + FORM2_DATA),
                            file.begin() + static_cast<long>(at + FORM2_DATA + FORM2_DATA_SIZE));
    }
    return without_padding(payloads);
}

std::string ffprobe_format(const std::string &path) {
    RunResult probed = run_program({"ffprobe", "-v", "error", "-show_entries", "format=format_name:stream=codec_name",
                                    "-of", "default=noprint_wrappers=1", path});
    EXPECT_EQ(probed.exit_code, 0) << probed.err;
    return probed.out;
}

TEST(VideoCd, MoviesInLaterTracksComeOutAsTheSequencesRipped) {
    skip_without({"ffmpeg", "ffprobe", "vcdimager", "vcdxrip"});
    TempDir tmp;
    make_mpeg(tmp.at("one.mpg"), 1, false);
    make_mpeg(tmp.at("two.mpg"), 2, false);
    RunResult made = run_program({"vcdimager", "-t", "vcd2", "one.mpg", "two.mpg"}, tmp.path);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    mkdir(tmp.at("rip").c_str(), 0755);
    RunResult ripped = run_program({"vcdxrip", "-q", "-b", "../videocd.bin"}, tmp.at("rip"));
    ASSERT_EQ(ripped.exit_code, 0) << ripped.err;

    RunResult run = run_program({cdunpack_binary(), "videocd.cue", "out"}, tmp.path);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "cdimage: videocd.cue, 3 tracks, 7 files\n");
    EXPECT_EQ(run.out, "4 files\n");
    EXPECT_EQ(list_tree(tmp.at("out")),
              (std::vector<std::string>{"MPEGAV/", "MPEGAV/AVSEQ01.DAT", "MPEGAV/AVSEQ02.DAT", "VCD/",
                                        "VCD/ENTRIES.VCD", "VCD/INFO.VCD"}));
    for (const char *sequence : {"01", "02"}) {
        SCOPED_TRACE(sequence);
        const std::string movie = tmp.at(std::string("out/MPEGAV/AVSEQ") + sequence + ".DAT");
        EXPECT_EQ(cdxa_payloads(read_file(movie)), read_file(tmp.at(std::string("rip/avseq") + sequence + ".mpg")));
        EXPECT_EQ(ffprobe_format(movie), "codec_name=mpeg1video\ncodec_name=mp2\nformat_name=mpeg\n");
    }
    // Form 1 files keep their recorded bytes: INFO.VCD opens with its signature.
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(read_file(tmp.at("out/VCD/INFO.VCD")).data()), 8),
              "VIDEO_CD");
}

TEST(VideoCd, AStillSegmentInTheDataTrackComesOutWhole) {
    skip_without({"ffmpeg", "ffprobe", "vcdxbuild"});
    TempDir tmp;
    make_mpeg(tmp.at("still.mpg"), 1, true);
    make_mpeg(tmp.at("one.mpg"), 2, false);
    write_text(tmp.at("vcd.xml"),
               "<?xml version=\"1.0\"?>\n"
               "<!DOCTYPE videocd PUBLIC \"-//GNU//DTD VideoCD//EN\" "
               "\"http://www.gnu.org/software/vcdimager/videocd.dtd\">\n"
               "<videocd xmlns=\"http://www.gnu.org/software/vcdimager/1.0/\" class=\"vcd\" version=\"2.0\">\n"
               "  <info><album-id/><volume-count>1</volume-count><volume-number>1</volume-number>"
               "<restriction>0</restriction></info>\n"
               "  <pvd><volume-id>STILL</volume-id><system-id>CD-RTOS CD-BRIDGE</system-id></pvd>\n"
               "  <segment-items><segment-item src=\"still.mpg\" id=\"segment-0000\"/></segment-items>\n"
               "  <sequence-items><sequence-item src=\"one.mpg\" id=\"sequence-00\">"
               "<default-entry id=\"entry-000\"/></sequence-item></sequence-items>\n"
               "</videocd>\n");
    RunResult made = run_program({"vcdxbuild", "vcd.xml"}, tmp.path);
    ASSERT_EQ(made.exit_code, 0) << made.err;

    RunResult run = run_program({cdunpack_binary(), "videocd.cue", "out"}, tmp.path);
    EXPECT_EQ(run.exit_code, 0);
    const Bytes still = read_file(tmp.at("out/SEGMENT/ITEM0001.DAT"));
    EXPECT_EQ(cdxa_payloads(still), without_padding(read_file(tmp.at("still.mpg"))));
    EXPECT_EQ(ffprobe_format(tmp.at("out/SEGMENT/ITEM0001.DAT")), "codec_name=mpeg1video\nformat_name=mpeg\n");
    EXPECT_EQ(cdxa_payloads(read_file(tmp.at("out/MPEGAV/AVSEQ01.DAT"))), without_padding(read_file(tmp.at("one.mpg"))));
}

// Audio tracks, then the data track of a second session in the same file:
// the volume is mastered for the disc address the second session's data
// has on a pressed disc, or for the address it has in the image.
TEST(EnhancedCd, TheSecondSessionsVolumeComesOutByteForByte) {
    skip_without({"genisoimage"});
    constexpr uint32_t AUDIO_SECTORS = 2 * 300;
    for (uint32_t next_writable : {AUDIO_SECTORS + 11400, AUDIO_SECTORS}) {
        SCOPED_TRACE(next_writable);
        TempDir tmp;
        mkdir(tmp.at("src").c_str(), 0755);
        mkdir(tmp.at("src/extras").c_str(), 0755);
        Bytes video(300000);
        for (size_t i = 0; i < video.size(); ++i)
            video[i] = static_cast<uint8_t>(i * 29 + i / 4093);
        write_file(tmp.at("src/extras/video.mpg"), video);
        write_text(tmp.at("src/readme.txt"), "bonus material\n");
        RunResult mastered = run_program({"genisoimage", "-quiet", "-C", "0," + std::to_string(next_writable),
                                          "-o", tmp.at("data.iso"), tmp.at("src")});
        ASSERT_EQ(mastered.exit_code, 0) << mastered.err;

        Bytes image = tone_samples(AUDIO_SECTORS * 588, 440.0, 660.0);
        const Bytes data = wrap_sectors(read_file(tmp.at("data.iso")), SectorMode::MODE2_2352);
        image.insert(image.end(), data.begin(), data.end());
        write_file(tmp.at("ecd.bin"), image);
        write_text(tmp.at("ecd.cue"), "FILE \"ecd.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                      "  TRACK 02 AUDIO\n    INDEX 01 " + msf_text(AUDIO_SECTORS / 2) + "\n"
                                      "  TRACK 03 MODE2/2352\n    INDEX 01 " + msf_text(AUDIO_SECTORS) + "\n");

        RunResult run = run_program({cdunpack_binary(), "ecd.cue", "out"}, tmp.path);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "cdimage: ecd.cue, 3 tracks, 3 files\n");
        EXPECT_EQ(run.out, "2 files\ntrack 01: 0:04\ntrack 02: 0:04\n");
        EXPECT_EQ(read_file(tmp.at("out/EXTRAS/VIDEO.MPG")), video);
        EXPECT_EQ(read_file(tmp.at("out/README.TXT")), (Bytes{'b', 'o', 'n', 'u', 's', ' ', 'm', 'a', 't', 'e', 'r',
                                                             'i', 'a', 'l', '\n'}));
    }
}

}  // namespace
