// The fixture writers checked against independent ISO 9660 readers.
#include "module_view.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Enough records that the directory needs three sectors.
std::vector<IsoNode> many_files() {
    std::vector<IsoNode> out;
    for (int i = 0; i < 120; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "FILE%04d.DAT;1", i);
        out.push_back(iso_file(name, pattern(static_cast<size_t>(i), static_cast<uint8_t>(i))));
    }
    return out;
}

TEST(IsoWriter, ReadersListAndExtractTheVolume) {
    if (!have_program("isoinfo"))
        GTEST_SKIP() << "isoinfo not installed";
    TempDir tmp;
    const Bytes big = pattern(5000, 3);
    Bytes volume = build_iso_volume({
        iso_file("README.TXT;1", Bytes{'h', 'i', '\n'}),
        iso_dir("DOCS", {iso_file("BIG.BIN;1", big), iso_dir("DEEP", {iso_file("EMPTY.;1", {})})}),
        iso_dir("MANY", many_files()),
    });
    ASSERT_EQ(volume.size() % ISO_SECTOR, 0u);
    // Volume space size, both byte orders.
    const uint8_t *pvd = volume.data() + 16 * ISO_SECTOR;
    uint32_t le = pvd[80] | pvd[81] << 8 | pvd[82] << 16 | static_cast<uint32_t>(pvd[83]) << 24;
    uint32_t be = pvd[87] | pvd[86] << 8 | pvd[85] << 16 | static_cast<uint32_t>(pvd[84]) << 24;
    EXPECT_EQ(le, volume.size() / ISO_SECTOR);
    EXPECT_EQ(be, le);
    write_file(tmp.at("vol.iso"), volume);

    RunResult list = run_program({"isoinfo", "-i", tmp.at("vol.iso"), "-l"});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    for (const char *name : {"README.TXT;1", "BIG.BIN;1", "EMPTY.;1", "FILE0000.DAT;1", "FILE0119.DAT;1",
                             "Directory listing of /DOCS/DEEP/", "Directory listing of /MANY/"})
        EXPECT_NE(list.out.find(name), std::string::npos) << name << "\n" << list.out;

    RunResult big_out = run_program({"isoinfo", "-i", tmp.at("vol.iso"), "-x", "/DOCS/BIG.BIN;1"});
    ASSERT_EQ(big_out.exit_code, 0) << big_out.err;
    EXPECT_EQ(Bytes(big_out.out.begin(), big_out.out.end()), big);
    RunResult last = run_program({"isoinfo", "-i", tmp.at("vol.iso"), "-x", "/MANY/FILE0119.DAT;1"});
    EXPECT_EQ(Bytes(last.out.begin(), last.out.end()), pattern(119, 119));
}

TEST(IsoWriter, XorrisoFindsEveryNode) {
    if (!have_program("xorriso"))
        GTEST_SKIP() << "xorriso not installed";
    TempDir tmp;
    write_file(tmp.at("vol.iso"), build_iso_volume({iso_dir("A", {iso_dir("B", {iso_file("C.TXT;1", Bytes{1})})}),
                                                    iso_dir("MANY", many_files())}));
    RunResult find = run_program({"xorriso", "-indev", tmp.at("vol.iso"), "-find", "/", "-exec", "lsdl"});
    ASSERT_EQ(find.exit_code, 0) << find.err;
    EXPECT_EQ(find.err.find("SORRY"), std::string::npos) << find.err;
    EXPECT_EQ(find.err.find("FAILURE"), std::string::npos) << find.err;
    // 3 directories, 1 file, 120 files and the root.
    EXPECT_EQ(std::count(find.out.begin(), find.out.end(), '\n'), 125) << find.out;
}

TEST(SectorWriter, UserBytesLandAtTheModeOffset) {
    const Bytes user = pattern(3 * ISO_SECTOR - 100, 9);
    for (SectorMode mode : {SectorMode::MODE1_2352, SectorMode::MODE2_2352, SectorMode::MODE2_2336,
                            SectorMode::MODE1_2048}) {
        SCOPED_TRACE(mode_word(mode));
        const uint32_t stored = stored_sector_size(mode);
        const uint32_t offset = user_data_offset(mode);
        Bytes wrapped = wrap_sectors(user, mode);
        ASSERT_EQ(wrapped.size(), 3u * stored);
        for (uint32_t s = 0; s < 3; ++s)
            for (uint32_t k : {0u, 1u, 1000u, ISO_SECTOR - 101})
                EXPECT_EQ(wrapped[s * stored + offset + k], user[s * ISO_SECTOR + k]) << s << " " << k;
        // The padding of the last sector is zero.
        EXPECT_EQ(wrapped[2 * stored + offset + ISO_SECTOR - 1], 0);
    }
    Bytes raw = wrap_sectors(user, SectorMode::MODE1_2352);
    const Bytes sync = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_TRUE(std::equal(sync.begin(), sync.end(), raw.begin() + 2352));
    // Second sector: 00:02:01, mode 1.
    EXPECT_EQ(raw[2352 + 12], 0x00);
    EXPECT_EQ(raw[2352 + 13], 0x02);
    EXPECT_EQ(raw[2352 + 14], 0x01);
    EXPECT_EQ(raw[2352 + 15], 1);
    EXPECT_EQ(wrap_sectors(user, SectorMode::MODE2_2352)[15], 2);
}

TEST(WaveWriter, CanonicalHeader) {
    Bytes samples = tone_samples(10, 440, 880);
    ASSERT_EQ(samples.size(), 40u);
    Bytes wave = wave_file(samples);
    ASSERT_EQ(wave.size(), 44u + 40u);
    EXPECT_EQ(std::string(wave.begin(), wave.begin() + 4), "RIFF");
    EXPECT_EQ(wave[4], 36 + 40);
    EXPECT_EQ(std::string(wave.begin() + 8, wave.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(std::string(wave.begin() + 36, wave.begin() + 40), "data");
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), wave.begin() + 44));
    // An odd chunk gets its pad byte, not counted in its size.
    Bytes odd = riff_wave({{"LIST", Bytes{1, 2, 3}}});
    EXPECT_EQ(odd.size(), 12u + 8u + 4u);
    EXPECT_EQ(odd[16], 3);
}

TEST(Files, RunProgramSeparatesStreamsAndExitCode) {
    RunResult r = run_program({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    TempDir tmp;
    write_sparse_file(tmp.at("sparse"), 1 << 20, 4096, Bytes{5, 6});
    Bytes sparse = read_file(tmp.at("sparse"));
    ASSERT_EQ(sparse.size(), 1u << 20);
    EXPECT_EQ(sparse[4096], 5);
    EXPECT_EQ(sparse[4097], 6);
    EXPECT_EQ(sparse[0], 0);
}

}  // namespace
