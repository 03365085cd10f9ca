// Inputs found by fuzzing the module, each kept as the crafted structure that
// caused the fault, built by code.
#include "byte_order.h"
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

// The peak virtual memory of this process, from /proc/self/status, in bytes.
uint64_t peak_virtual_bytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmPeak:") {
            uint64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// A one-track MODE1/2048 image of the volume; gives the cue sheet's path.
std::string write_volume_image(const TempDir &tmp, const Bytes &volume) {
    write_file(tmp.at("v.bin"), volume);
    write_text(tmp.at("v.cue"), "FILE \"v.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n");
    return tmp.at("v.cue");
}

// Volume: system area, primary volume descriptor at sector 16 with the root
// directory at sector 18 (one sector), terminator at 17. The root holds ".",
// ".." and one file record, BIG.BIN;1, that claims 4 GiB - 2048 bytes from
// sector 1000 on, far past the 19 sectors of the track. Loading it used to
// allocate the claimed size before the first sector read failed: gigabytes
// per call for a file that cannot be read, seconds per call under the
// sanitizers. The load must fail without a buffer of that size.
TEST(FuzzRegression, LoadingAFilePastTheTrackEndAllocatesNoBufferOfItsClaimedSize) {
    TempDir tmp;
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(18, ISO_SECTOR));
    Bytes terminator(ISO_SECTOR, 0);
    terminator[0] = 255;
    std::memcpy(&terminator[1], "CD001", 5);
    terminator[6] = 1;
    put_bytes(volume, 17, terminator);
    Bytes root = directory_record(Bytes{0}, 18, ISO_SECTOR, true);
    Bytes parent = directory_record(Bytes{1}, 18, ISO_SECTOR, true);
    Bytes big = directory_record("BIG.BIN;1", 1000, 0xFFFFF800u, false);
    root.insert(root.end(), parent.begin(), parent.end());
    root.insert(root.end(), big.begin(), big.end());
    put_bytes(volume, 18, root);
    put_bytes(volume, 18, Bytes(ISO_SECTOR - root.size(), 0), static_cast<uint32_t>(root.size()));

    ASSERT_EQ(open_quietly(write_volume_image(tmp, volume), tmp.at("out")), 1);
    ASSERT_EQ(cdimage_entry_count(), 1);

    const uint64_t peak_before = peak_virtual_bytes();
    ASSERT_GT(peak_before, 0u);
    uint32_t length = 12345;
    void *data = cdimage_load_file("BIG.BIN", &length);
    EXPECT_EQ(data, nullptr);
    std::free(data);
    EXPECT_EQ(length, 12345u);
    EXPECT_LT(peak_virtual_bytes() - peak_before, uint64_t{256} << 20);
    cdimage_close();
}

// ---- crafted Ogg Vorbis comment headers --------------------------------------

// The CRC of an Ogg page: polynomial 0x04C11DB7, no reflection, initial
// value 0, computed with the page's own CRC field zero.
uint32_t ogg_page_crc(const uint8_t *page, std::size_t size) {
    uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint32_t>(page[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// Where an Ogg Vorbis file's comment header lies: its page (the second) and
// the packet's first byte, behind the page's segment table.
struct CommentHeader {
    std::size_t page;
    std::size_t page_size;
    std::size_t packet;
};

constexpr std::size_t OGG_HEADER_SIZE = 27;
constexpr std::size_t OGG_CRC_OFFSET = 22;
constexpr std::size_t OGG_SEGMENT_COUNT_OFFSET = 26;

std::size_t ogg_page_size(const Bytes &ogg, std::size_t page) {
    const std::size_t segments = ogg[page + OGG_SEGMENT_COUNT_OFFSET];
    std::size_t body = 0;
    for (std::size_t i = 0; i < segments; ++i)
        body += ogg[page + OGG_HEADER_SIZE + i];
    return OGG_HEADER_SIZE + segments + body;
}

CommentHeader find_comment_header(const Bytes &ogg) {
    const std::size_t page = ogg_page_size(ogg, 0);
    const std::size_t packet = page + OGG_HEADER_SIZE + ogg[page + OGG_SEGMENT_COUNT_OFFSET];
    return {page, ogg_page_size(ogg, page), packet};
}

// The comment packet: type 3, "vorbis", the vendor length and vendor
// string, the comment count, then each comment's length and text.
constexpr std::size_t VENDOR_LENGTH_OFFSET = 7;

void patch_and_seal(Bytes &ogg, const CommentHeader &header, std::size_t at, uint32_t value) {
    put_le32(&ogg[at], value);
    put_le32(&ogg[header.page + OGG_CRC_OFFSET], 0);
    put_le32(&ogg[header.page + OGG_CRC_OFFSET], ogg_page_crc(&ogg[header.page], header.page_size));
}

struct CraftedOgg {
    const char *what;
    std::function<void(Bytes &, const CommentHeader &)> patch;
};

// Comment headers that made the former Ogg Vorbis decoder crash (a comment
// count of 0x4A180000, a comment length near 2^32) or read hundreds of
// megabytes byte by byte for a minute (a vendor length in the hundreds of
// millions), with their page's CRC made right so that the page is read.
// Opening an image with such a file must fail with its message, or succeed,
// at once and in little memory.
TEST(FuzzRegression, CraftedOggCommentHeadersFailCleanlyAndQuickly) {
    ASSERT_TRUE(have_program("oggenc") && have_program("ogginfo"));
    TempDir tmp;
    write_file(tmp.at("tone.wav"), wave_file(tone_samples(4 * 588, 440.0, 660.0)));
    const RunResult encoded = encode_audio(Codec::VORBIS, tmp.at("tone.wav"), tmp.at("tone.ogg"));
    ASSERT_EQ(0, encoded.exit_code) << encoded.err;
    const Bytes tone = read_file(tmp.at("tone.ogg"));
    const CommentHeader header = find_comment_header(tone);
    ASSERT_EQ(0, std::memcmp(&tone[header.packet], "\x03vorbis", 7));
    const uint32_t vendor_length = le32_at(tone, header.packet + VENDOR_LENGTH_OFFSET);
    const std::size_t count_at = header.packet + VENDOR_LENGTH_OFFSET + 4 + vendor_length;
    ASSERT_LT(count_at + 8, header.page + header.page_size);

    write_file(tmp.at("r.bin"), Bytes(20 * 2048));
    write_text(tmp.at("x.cue"), "FILE \"r.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                                "FILE \"o.ogg\" BINARY\n  TRACK 07 AUDIO\n    INDEX 01 00:00:01\n");
    // The same run on the untouched file: under the sanitizers, the memory a
    // run needs at all.
    write_file(tmp.at("o.ogg"), tone);
    const RunResult plain = run_program({cdunpack_binary(), tmp.at("x.cue"), tmp.at("out")}, "", 20);
    ASSERT_EQ(0, plain.exit_code) << plain.err;
#if defined(__SANITIZE_ADDRESS__)
    const long allowance_kib = plain.peak_rss_kib + 64 * 1024;
#else
    const long allowance_kib = 64 * 1024;
#endif

    const CraftedOgg cases[] = {
        {"comment count 0x4A180000",
         [&](Bytes &ogg, const CommentHeader &h) { patch_and_seal(ogg, h, count_at, 0x4A180000u); }},
        {"vendor length of 400,000,000",
         [](Bytes &ogg, const CommentHeader &h) {
             patch_and_seal(ogg, h, h.packet + VENDOR_LENGTH_OFFSET, 400000000u);
         }},
        {"first comment length 0xFFFFFFFF",
         [&](Bytes &ogg, const CommentHeader &h) {
             patch_and_seal(ogg, h, count_at, 1);
             patch_and_seal(ogg, h, count_at + 4, 0xFFFFFFFFu);
         }},
    };
    for (const CraftedOgg &c : cases) {
        Bytes ogg = tone;
        c.patch(ogg, header);
        ASSERT_NE(tone, ogg) << c.what;
        write_file(tmp.at("o.ogg"), ogg);
        // ogginfo reads the page (its CRC holds) and refuses the header in it.
        const RunResult info = run_program({"ogginfo", tmp.at("o.ogg")});
        EXPECT_NE(std::string::npos, info.out.find("Could not decode Vorbis header packet 1")) << c.what << info.out;
        // A hang shows as the alarm's kill long before the old decoder's
        // minute was up.
        const RunResult run = run_program({cdunpack_binary(), tmp.at("x.cue"), tmp.at("out")}, "", 20);
        if (run.exit_code == 1) {
            EXPECT_EQ(0u, run.err.find("cdimage: " + tmp.at("o.ogg") + " does not decode (")) << c.what << run.err;
            EXPECT_NE(std::string::npos, run.err.find(tmp.at("x.cue") + ": cannot open the image\n")) << c.what;
        } else {
            // The image opened; the track that cannot be read is named and
            // makes the run a damaged one.
            EXPECT_EQ(2, run.exit_code) << c.what << run.err;
            EXPECT_NE(std::string::npos, run.err.find("track 07: read failed\n")) << c.what << run.err;
        }
        EXPECT_LE(run.peak_rss_kib, allowance_kib) << c.what;
    }
}

}  // namespace

// Volume: the root holds ".", ".." and one file record whose identifier has
// no character at all. Its entry is the only one, so the pool of name
// components stays empty, and building its name copied zero bytes from the
// empty pool's null data (undefined behaviour that the sanitizers stop on).
TEST(FuzzRegression, FileRecordWithoutAnIdentifierIsListedAndExtractedSafely) {
    TempDir tmp;
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(18, ISO_SECTOR));
    Bytes root = concat({directory_record(Bytes{0}, 18, ISO_SECTOR, true),
                         directory_record(Bytes{1}, 18, ISO_SECTOR, true), directory_record(Bytes{}, 19, 5, false)});
    put_bytes(volume, 18, root);
    put_bytes(volume, 19, Bytes{'h', 'e', 'l', 'l', 'o'});

    ASSERT_EQ(open_quietly(write_volume_image(tmp, volume), tmp.at("out")), 1);
    ASSERT_EQ(cdimage_entry_count(), 1);
    const char *name = nullptr;
    ASSERT_EQ(cdimage_entry_info(0, &name, nullptr, nullptr), 1);
    EXPECT_STREQ("", name);
    // No file can be created under an empty name: the entry is a named
    // failure, not a crash.
    EXPECT_EQ(0, cdimage_extract_all());
    EXPECT_EQ(1, cdimage_failure_count());
    cdimage_close();
}
