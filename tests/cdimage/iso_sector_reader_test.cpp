// Reading 2048-byte user sectors of the data track: byte positions for every
// way of storing sectors, the bound on the track's length, and the one
// cached read handle.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every byte of user sector s is s + 1, so a sector read from the wrong
// place shows.
Bytes numbered_sectors(uint32_t count) {
    Bytes out(static_cast<size_t>(count) * ISO_SECTOR);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i / ISO_SECTOR + 1);
    return out;
}

Bytes sector_of(const Bytes &user, uint32_t s) {
    return Bytes(user.begin() + s * ISO_SECTOR, user.begin() + (s + 1) * ISO_SECTOR);
}

Bytes read_sector(uint32_t index, int &ok) {
    Bytes buffer(ISO_SECTOR);
    ok = read_data_sector(default_image(), index, buffer.data());
    return buffer;
}

Bytes small_volume() { return build_iso_volume({iso_file("HELLO.TXT;1", Bytes{'h', 'e', 'l', 'l', 'o'})}); }

class SectorReader : public testing::Test {
protected:
    void TearDown() override { cdimage_close(); }
    TempDir tmp;
};

struct ModeCase {
    SectorMode mode;
    uint64_t sector16_position;  // with INDEX 01 at 00:02:00
};

TEST_F(SectorReader, Sector16LiesWhereTheModeStoresItsUserBytes) {
    const Bytes volume = small_volume();
    const uint32_t volume_sectors = static_cast<uint32_t>(volume.size() / ISO_SECTOR);
    for (ModeCase c : {ModeCase{SectorMode::MODE1_2352, 390448}, ModeCase{SectorMode::MODE2_2352, 390456},
                       ModeCase{SectorMode::MODE2_2336, 387784}, ModeCase{SectorMode::MODE1_2048, 339968}}) {
        SCOPED_TRACE(mode_word(c.mode));
        TempDir dir;
        std::string cue = write_data_image(dir.path, volume, c.mode, 150);
        Bytes stored = read_file(dir.at("disc.bin"));
        ASSERT_GT(stored.size(), c.sector16_position + 6);
        EXPECT_EQ(std::string(stored.begin() + static_cast<long>(c.sector16_position) + 1,
                              stored.begin() + static_cast<long>(c.sector16_position) + 6),
                  "CD001");

        Opened opened = open_and_capture(cue, dir.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 1 files\n");
        int ok = 0;
        EXPECT_EQ(read_sector(16, ok), sector_of(volume, 16));
        EXPECT_EQ(ok, 1);
        // The last sector of the track is readable, the one after it is not.
        EXPECT_EQ(read_sector(volume_sectors - 1, ok), sector_of(volume, volume_sectors - 1));
        EXPECT_EQ(ok, 1);
        read_sector(volume_sectors, ok);
        EXPECT_EQ(ok, 0);
        uint32_t length = 0;
        void *data = cdimage_load_file("hello.txt", &length);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string(static_cast<char *>(data), length), "hello");
        std::free(data);
        cdimage_close();
    }
}

TEST_F(SectorReader, WaveTrackFileDataBeginsBehindItsHeader) {
    const Bytes volume = small_volume();
    std::string cue = write_wave_data_image(tmp.path, volume);
    Bytes stored = read_file(tmp.at("disc.wav"));
    ASSERT_GT(stored.size(), 32812u + 6);
    EXPECT_EQ(std::string(stored.begin() + 32813, stored.begin() + 32818), "CD001");

    Opened opened = open_and_capture(cue, tmp.at("out"));
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: " + cue + ", 1 tracks, 1 files\n");
    int ok = 0;
    EXPECT_EQ(read_sector(16, ok), sector_of(volume, 16));
    EXPECT_EQ(ok, 1);
}

TEST_F(SectorReader, BigEndianTrackFileBytesComeBackUnswapped) {
    const Bytes user = numbered_sectors(20);
    Bytes odd_even = user;
    for (size_t i = 0; i < odd_even.size(); i += 2)
        odd_even[i] = 0xA0;  // neighbours differ, so a swap would show
    write_file(tmp.at("disc.bin"), wrap_sectors(odd_even, SectorMode::MODE1_2352));
    write_text(tmp.at("disc.cue"), "FILE disc.bin MOTOROLA\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
    ASSERT_EQ(open_quietly(tmp.at("disc.cue"), tmp.at("out")), 1);
    int ok = 0;
    EXPECT_EQ(read_sector(7, ok), sector_of(odd_even, 7));
    EXPECT_EQ(ok, 1);
}

TEST_F(SectorReader, LengthBoundsReadsEvenWhenTheFileHoldsMore) {
    // The data track ends where track 02 begins, at sector 30 of 40.
    write_file(tmp.at("disc.bin"), numbered_sectors(40));
    write_text(tmp.at("disc.cue"),
               "FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
               "TRACK 02 MODE1/2048\nINDEX 01 00:00:30\n");
    Opened opened = open_and_capture(tmp.at("disc.cue"), tmp.at("out"));
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: " + tmp.at("disc.cue") + " has no ISO 9660 data track\ncdimage: " +
                              tmp.at("disc.cue") + ", 2 tracks, 0 files\n");
    int ok = 0;
    EXPECT_EQ(read_sector(29, ok), sector_of(numbered_sectors(40), 29));
    EXPECT_EQ(ok, 1);
    for (uint32_t index : {30u, 31u, 39u, 40u, 0xFFFFFFFFu}) {
        read_sector(index, ok);
        EXPECT_EQ(ok, 0) << index;
    }
}

TEST_F(SectorReader, TrackWithoutSectorsNeverOpensItsFile) {
    write_file(tmp.at("disc.bin"), numbered_sectors(10));
    // INDEX 01 at the end of the file (length 0) and past it (length -10).
    for (const char *index : {"00:00:10", "00:00:20"}) {
        SCOPED_TRACE(index);
        write_text(tmp.at("disc.cue"),
                   std::string("FILE disc.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 ") + index + "\n");
        const int descriptors = open_descriptor_count();
        Opened opened = open_and_capture(tmp.at("disc.cue"), tmp.at("out"));
        ASSERT_EQ(opened.result, 1);
        EXPECT_EQ(opened.err, "cdimage: " + tmp.at("disc.bin") + " holds no sector of track 01\ncdimage: " +
                                  tmp.at("disc.cue") + ", 1 tracks, 0 files\n");
        EXPECT_EQ(cdimage_failure_count(), 1);
        int ok = 1;
        read_sector(0, ok);
        EXPECT_EQ(ok, 0);
        EXPECT_FALSE(data_file_held());
        EXPECT_EQ(open_descriptor_count(), descriptors);
        cdimage_close();
    }
}

TEST_F(SectorReader, MissingDataFileReadsNothing) {
    write_text(tmp.at("disc.cue"), "FILE gone.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
    Opened opened = open_and_capture(tmp.at("disc.cue"), tmp.at("out"));
    ASSERT_EQ(opened.result, 1);
    EXPECT_EQ(opened.err, "cdimage: " + tmp.at("gone.bin") + " is missing: no data track\ncdimage: " +
                              tmp.at("disc.cue") + ", 1 tracks, 0 files\n");
    EXPECT_EQ(cdimage_failure_count(), 1);
    int ok = 1;
    read_sector(0, ok);
    EXPECT_EQ(ok, 0);
}

TEST_F(SectorReader, FileEndingInsideTheLastUserBytesFailsThatSector) {
    // Track 02 claims to begin at sector 40, so the data track's length runs
    // past the end of the file, which stops 1000 bytes into sector 30's
    // user data.
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352, SectorMode::MODE2_2336}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir dir;
        Bytes stored = wrap_sectors(numbered_sectors(31), mode);
        stored.resize(30 * stored_sector_size(mode) + user_data_offset(mode) + 1000);
        write_file(dir.at("disc.bin"), stored);
        write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 ") + mode_word(mode) +
                                           "\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:00:40\n");
        ASSERT_EQ(open_quietly(dir.at("disc.cue"), dir.at("out")), 1);
        int ok = 0;
        EXPECT_EQ(read_sector(29, ok), sector_of(numbered_sectors(31), 29));
        EXPECT_EQ(ok, 1);
        read_sector(30, ok);
        EXPECT_EQ(ok, 0);
        // A failed read leaves the handle open for the next one.
        EXPECT_TRUE(data_file_held());
        read_sector(3, ok);
        EXPECT_EQ(ok, 1);
        cdimage_close();
    }
}

TEST_F(SectorReader, OneHandleIsHeldUntilTheImageEnds) {
    const Bytes volume = build_iso_volume({iso_file("A.BIN;1", Bytes(5000, 7))});
    std::string cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2352);
    const int before = open_descriptor_count();
    ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
    EXPECT_TRUE(data_file_held());
    EXPECT_EQ(open_descriptor_count(), before + 1);
    int ok = 0;
    for (uint32_t s = 0; s < volume.size() / ISO_SECTOR; ++s) {
        EXPECT_EQ(read_sector(s, ok), sector_of(volume, s));
        EXPECT_EQ(ok, 1);
    }
    EXPECT_EQ(open_descriptor_count(), before + 1);
    // A new open ends the old handle before it takes its own.
    ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
    EXPECT_EQ(open_descriptor_count(), before + 1);
    cdimage_close();
    EXPECT_FALSE(data_file_held());
    EXPECT_EQ(open_descriptor_count(), before);
}

// Runs of sectors are read many at a time; their results must be those of
// one read per sector. Sector s holds s in its first four bytes, so a sector
// taken from the wrong place shows even across runs of 256 sectors.
Bytes sectors_holding_their_numbers(uint32_t count) {
    Bytes out = numbered_sectors(count);
    for (uint32_t s = 0; s < count; ++s)
        for (int b = 0; b < 4; ++b)
            out[static_cast<size_t>(s) * ISO_SECTOR + b] = static_cast<uint8_t>(s >> (8 * b));
    return out;
}

TEST_F(SectorReader, RunsStopAtTheFirstSectorThatCannotBeReadWhole) {
    // 1300 sectors stored. Either the file is cut 1000 bytes into sector
    // 1100's user bytes while track 02 begins at 1250, so the cut stops the
    // reads, or the file is whole and track 02 begins at 1100, so the length
    // bound stops them. A run of 512 sectors is more than one gathering call
    // holds.
    constexpr uint32_t STORED = 1300, STOP = 1100;
    struct Layout {
        const char *what;
        bool cut;
        uint32_t track_end;
    };
    const Bytes user = sectors_holding_their_numbers(STORED);
    for (Layout layout : {Layout{"file cut", true, 1250}, Layout{"track end", false, STOP}}) {
        for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352, SectorMode::MODE2_2336}) {
            SCOPED_TRACE(std::string(layout.what) + ", " + mode_word(mode));
            TempDir dir;
            Bytes stored = wrap_sectors(user, mode);
            if (layout.cut)
                stored.resize(static_cast<size_t>(STOP) * stored_sector_size(mode) + user_data_offset(mode) + 1000);
            write_file(dir.at("disc.bin"), stored);
            write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\nTRACK 01 ") + mode_word(mode) +
                                               "\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 " +
                                               msf_text(layout.track_end) + "\n");
            ASSERT_EQ(open_quietly(dir.at("disc.cue"), dir.at("out")), 1);

            Bytes run(static_cast<size_t>(SECTORS_PER_RUN) * ISO_SECTOR);
            struct RunCase {
                uint32_t first, count, whole;
            };
            for (RunCase c : {RunCase{0, 512, 512}, RunCase{511, 512, 512}, RunCase{700, 512, STOP - 700},
                              RunCase{STOP - 1, 2, 1}, RunCase{STOP, 1, 0}, RunCase{STOP + 5, 5, 0}}) {
                SCOPED_TRACE("first " + std::to_string(c.first) + ", count " + std::to_string(c.count));
                EXPECT_EQ(read_data_sectors(default_image(), c.first, c.count, run.data()), c.whole);
                for (uint32_t k = 0; k < c.whole; ++k)
                    ASSERT_EQ(Bytes(run.begin() + k * ISO_SECTOR, run.begin() + (k + 1) * ISO_SECTOR),
                              sector_of(user, c.first + k))
                        << "sector " << c.first + k;
            }
            cdimage_close();
        }
    }
}

}  // namespace
