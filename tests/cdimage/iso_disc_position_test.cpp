// Volume sectors outside the data track: extents past its end read from the
// track at the disc position they name (in the same file or another, of
// any sector size), and volumes whose extents count from the start of the
// disc or of a later session.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr uint32_t ROOT = 20;

// Sectors whose data bytes tell the sector and the byte's place.
std::vector<Mode2Sector> numbered_sectors(size_t count, uint8_t seed, bool form2) {
    std::vector<Mode2Sector> out;
    for (size_t s = 0; s < count; ++s) {
        Mode2Sector sector = form2 ? form2_sector(0) : form1_sector(0);
        for (size_t i = 0; i < sector.data.size(); ++i)
            sector.data[i] = static_cast<uint8_t>(seed + s * 13 + i * 7 + i / 251);
        out.push_back(sector);
    }
    return out;
}

Bytes user_bytes(const std::vector<Mode2Sector> &sectors, size_t first, size_t count) {
    Bytes out;
    for (size_t s = first; s < first + count; ++s)
        out.insert(out.end(), sectors[s].data.begin(), sectors[s].data.begin() + ISO_SECTOR);
    return out;
}

Bytes cdxa(const Bytes &xa, uint32_t sectors, const Bytes &raw) {
    Bytes header = concat({text_bytes("RIFF"), Bytes(4, 0), text_bytes("CDXAfmt "), Bytes{16, 0, 0, 0}, xa, Bytes(2, 0),
                           text_bytes("data"), Bytes(4, 0)});
    const uint32_t data = sectors * RAW_SECTOR;
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<uint8_t>((data + 36) >> (8 * i));
        header[40 + i] = static_cast<uint8_t>(data >> (8 * i));
    }
    return concat({header, raw});
}

Bytes raw_run(const std::vector<Mode2Sector> &sectors, size_t first, size_t count, uint32_t address) {
    Bytes out;
    for (size_t s = first; s < first + count; ++s)
        out = concat({out, raw_mode2_sector(sectors[s], address + static_cast<uint32_t>(s - first))});
    return out;
}

struct FileCase {
    const char *name;
    uint32_t extent;
    uint32_t sectors;
    bool xa_form2;
    bool extracted;
    Bytes contents;
    const char *message = "";  // what the extraction names on standard error
};

class LaterTracks : public testing::Test {
protected:
    void TearDown() override { cdimage_close(); }
    TempDir tmp;
};

TEST_F(LaterTracks, ExtentsPastTheDataTrackAreReadAtTheirDiscPosition) {
    // disc.bin: track 01 (MODE2/2352, disc 0-29), the pregap of track 02
    // (30-39), track 02 (MODE2/2352, 40-59: Form 1 then Form 2 sectors),
    // track 03 (audio, 60-69). two.bin: track 04 (MODE2/2336, 70-79).
    // three.iso: track 05 (MODE1/2048, 80-84).
    std::vector<Mode2Sector> track2 = numbered_sectors(5, 1, false);
    for (const Mode2Sector &sector : numbered_sectors(15, 2, true))
        track2.push_back(sector);
    const std::vector<Mode2Sector> track4 = numbered_sectors(10, 3, true);
    const std::vector<Mode2Sector> track5 = numbered_sectors(5, 4, false);
    const Bytes xa = xa_record(XA_FORM2 | 0x0555, 1);

    const std::vector<FileCase> cases = {
        {"LATER.DAT", 40, 3, false, true, user_bytes(track2, 0, 3)},
        {"MOVIE.DAT", 45, 3, true, true, cdxa(xa, 3, raw_run(track2, 5, 3, 45))},
        {"SPAN.DAT", 55, 10, false, false, {}, "cdimage: SPAN.DAT: read failed at sector 60\n"},  // into the audio track
        {"PREGAP.DAT", 33, 1, false, false, {}, "cdimage: PREGAP.DAT: read failed at sector 33\n"},  // in no track
        {"AUDIO.DAT", 62, 1, false, false, {}, "cdimage: AUDIO.DAT: read failed at sector 62\n"},
        {"OTHER.DAT", 71, 2, false, true, user_bytes(track4, 1, 2)},
        {"OTHER.STR", 72, 2, true, true, cdxa(xa, 2, raw_run(track4, 2, 2, 72))},
        {"ISO.DAT", 81, 1, false, true, user_bytes(track5, 1, 1)},
        {"ISO.STR", 82, 2, true, true, user_bytes(track5, 2, 2), "cdimage: ISO.STR: Form 2 data not in the image\n"},
        {"BEYOND.DAT", 85, 1, false, false, {}, "cdimage: BEYOND.DAT: read failed at sector 85\n"},
    };

    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT, ISO_SECTOR));
    Bytes root = concat({directory_record(Bytes{0}, ROOT, ISO_SECTOR, true),
                         directory_record(Bytes{1}, ROOT, ISO_SECTOR, true)});
    for (const FileCase &c : cases)
        root = concat({root, directory_record(text_bytes(std::string(c.name) + ";1"), c.extent, c.sectors * ISO_SECTOR,
                                              false, 0, c.xa_form2 ? xa : Bytes{})});
    put_bytes(volume, ROOT, root);
    put_bytes(volume, 29, Bytes{0});

    std::vector<Mode2Sector> disc(40, form1_sector(0));
    for (size_t s = 0; s < 30; ++s)
        disc[s].data.assign(volume.begin() + static_cast<long>(s * ISO_SECTOR),
                            volume.begin() + static_cast<long>((s + 1) * ISO_SECTOR));
    disc.insert(disc.end(), track2.begin(), track2.end());
    write_file(tmp.at("disc.bin"),
               concat({wrap_mode2_sectors(disc, SectorMode::MODE2_2352), Bytes(10 * RAW_SECTOR, 0)}));
    write_file(tmp.at("two.bin"), wrap_mode2_sectors(track4, SectorMode::MODE2_2336, 70));
    write_file(tmp.at("three.iso"), user_bytes(track5, 0, 5));
    const std::string cue = tmp.at("disc.cue");
    write_text(cue, "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n"
                    "  TRACK 02 MODE2/2352\n    INDEX 00 00:00:30\n    INDEX 01 00:00:40\n"
                    "  TRACK 03 AUDIO\n    INDEX 01 00:00:60\n"
                    "FILE \"two.bin\" BINARY\n  TRACK 04 MODE2/2336\n    INDEX 01 00:00:00\n"
                    "FILE \"three.iso\" BINARY\n  TRACK 05 MODE1/2048\n    INDEX 01 00:00:00\n");
    ASSERT_EQ(open_and_capture(cue, tmp.at("out")).result, 1);
    ASSERT_EQ(cdimage_entry_count(), static_cast<int>(cases.size()));

    for (const FileCase &c : cases) {
        SCOPED_TRACE(c.name);
        char out_path[PATH_TEXT_SIZE];
        testing::internal::CaptureStderr();
        EXPECT_EQ(cdimage_extract_file(c.name, out_path, sizeof out_path), c.extracted ? 1 : 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, c.message);
        const std::string path = tmp.at(std::string("out/") + c.name);
        ASSERT_EQ(path_exists(path), c.extracted);
        uint32_t length = 0;
        std::unique_ptr<unsigned char, FreeDeleter> loaded(
            static_cast<unsigned char *>(cdimage_load_file(c.name, &length)));
        ASSERT_EQ(loaded != nullptr, c.extracted);
        if (c.extracted) {
            EXPECT_EQ(read_file(path), c.contents);
            EXPECT_EQ(Bytes(loaded.get(), loaded.get() + length), c.contents);
        }
    }
}

// Two audio tracks of 100 sectors in audio.bin, then a MODE2/2352 data track
// in data.bin at disc address 200, whose volume records `origin` as its
// first sector.
struct OriginCase {
    const char *what;
    uint32_t origin;
    bool root_opens_with_self;
    int64_t displacement;  // found
    bool files_come_out;
};

TEST_F(LaterTracks, VolumesAddressedFromTheDiscOrASessionStartAreFound) {
    const std::vector<IsoNode> tree = {
        iso_file("README.TXT;1", text_bytes("an enhanced cd\n")),
        iso_dir("DOCS", {iso_file("LONG.BIN;1", Bytes(5000, 'L')), iso_dir("DEEP", {iso_file("A.TXT;1", text_bytes("a"))})}),
    };
    const OriginCase cases[] = {
        {"extents from the data track", 0, true, 0, true},
        {"extents from the start of the disc", 200, true, 200, true},
        {"extents from a second session", 200 + 11400, true, 200 + 11400, true},
        {"extents from elsewhere", 977, true, 977, true},
        {"no '.' record in the root, extents from the data track", 0, false, 0, true},
        {"no '.' record in the root, extents from elsewhere", 977, false, 0, false},
    };
    for (const OriginCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::vector<Mode2Sector> volume = build_mode2_volume(tree, c.origin);
        if (!c.root_opens_with_self) {
            // The "." record stops being a directory's: no reading finds the root.
            const Bytes &pvd = volume[16].data;
            const uint32_t root = static_cast<uint32_t>(pvd[158] | pvd[159] << 8 | pvd[160] << 16) - c.origin;
            volume[root].data[25] = 0;
        }
        write_sectors(dir.at("audio.bin"), 200);
        write_file(dir.at("data.bin"), wrap_mode2_sectors(volume, SectorMode::MODE2_2352, 200));
        const std::string cue = dir.at("ecd.cue");
        write_text(cue, "FILE \"audio.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                        "  TRACK 02 AUDIO\n    INDEX 01 00:01:25\n"
                        "FILE \"data.bin\" BINARY\n  TRACK 03 MODE2/2352\n    INDEX 01 00:00:00\n");
        ASSERT_EQ(open_and_capture(cue, dir.at("out")).result, 1);
        EXPECT_EQ(volume_displacement(), c.displacement);
        EXPECT_EQ(cdimage_extract_all(), c.files_come_out ? 3 : 0);
        EXPECT_EQ(list_tree(dir.at("out")),
                  c.files_come_out
                      ? (std::vector<std::string>{"DOCS/", "DOCS/DEEP/", "DOCS/DEEP/A.TXT", "DOCS/LONG.BIN", "README.TXT"})
                      : std::vector<std::string>{});
        if (c.files_come_out) {
            EXPECT_EQ(read_file(dir.at("out/DOCS/LONG.BIN")), Bytes(5000, 'L'));
            EXPECT_EQ(read_file(dir.at("out/README.TXT")), text_bytes("an enhanced cd\n"));
        }
        cdimage_close();
    }
}

}  // namespace
