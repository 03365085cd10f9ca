// Inputs found by fuzzing the module, each kept as the crafted structure that
// caused the fault, built by code.
#include "cdimage_internal.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

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
    ASSERT_EQ(g_image.entry_count, 1);

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

}  // namespace
