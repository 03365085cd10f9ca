// CD-ROM XA volumes: the XA record of a directory record, Form 2 and
// interleaved files written as RIFF CDXA of whole raw sectors on MODE2/2352
// and MODE2/2336 tracks, and the same files on a track that keeps only 2048
// bytes of each sector.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

namespace {

struct RecordCase {
    const char *what;
    Bytes record;
    bool found;
};

Bytes record_with(const std::string &identifier, const Bytes &system_use, uint8_t length = 0) {
    Bytes record = directory_record(Bytes(identifier.begin(), identifier.end()), 30, 4096, false, 0, system_use);
    if (length != 0) {
        record.resize(length);
        record[0] = length;
    }
    return record;
}

TEST(XaRecord, IsFoundBehindTheIdentifierWithinTheRecord) {
    Bytes no_signature = xa_record(XA_FORM2);
    no_signature[7] = 'B';
    const RecordCase cases[] = {
        {"odd identifier, no padding byte", record_with("MOVIE.DAT;1", xa_record(XA_FORM2 | 0x0555, 7)), true},
        {"even identifier, padding byte", record_with("MOVIE.DA;1", xa_record(XA_FORM2 | 0x0555, 7)), true},
        {"no signature", record_with("MOVIE.DAT;1", no_signature), false},
        {"no system use area", record_with("MOVIE.DAT;1", {}), false},
        // 33 + 11 + 13: the record ends one byte before the XA record does.
        {"cut by the record's end", record_with("MOVIE.DAT;1", xa_record(XA_FORM2), 57), false},
    };
    for (const RecordCase &c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char xa[XA_RECORD_SIZE] = {};
        ASSERT_EQ(find_xa_record(c.record.data(), c.record.size(), xa), c.found);
        if (c.found) {
            EXPECT_EQ(xa_attributes(xa), XA_FORM2 | 0x0555);
            EXPECT_EQ(Bytes(xa, xa + XA_RECORD_SIZE), xa_record(XA_FORM2 | 0x0555, 7));
        }
    }
    // An identifier length that runs past the record leaves no system use area.
    Bytes overlong = record_with("MOVIE.DAT;1", xa_record(XA_FORM2));
    overlong[32] = 200;
    unsigned char xa[XA_RECORD_SIZE] = {};
    EXPECT_FALSE(find_xa_record(overlong.data(), overlong.size(), xa));
}

TEST(CdxaHeader, CountsWholeRawSectorsOfTheRecordedSizeAndHoldsTheXaRecord) {
    struct SizeCase {
        uint32_t recorded;
        uint32_t data;
    };
    for (SizeCase c : {SizeCase{0, 0}, SizeCase{1, 2352}, SizeCase{2048, 2352}, SizeCase{3 * 2048 + 1, 4 * 2352},
                       // 2^21 sectors of 2352 bytes do not fit: the sizes say what 32 bits hold.
                       SizeCase{0xFFFFFFFFu, 0xFFFFFFFFu - 36}}) {
        SCOPED_TRACE(c.recorded);
        const Bytes record = xa_record(XA_FORM2 | XA_INTERLEAVED, 3);
        unsigned char xa[XA_RECORD_SIZE];
        std::memcpy(xa, record.data(), XA_RECORD_SIZE);
        unsigned char header[CDXA_HEADER_SIZE];
        write_cdxa_header(xa, uint64_t{sectors_holding(c.recorded)} * RAW_SECTOR_SIZE, header);
        const Bytes bytes(header, header + sizeof header);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
        EXPECT_EQ(le32_at(bytes, 4), c.data + 36);
        EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "CDXAfmt ");
        EXPECT_EQ(le32_at(bytes, 16), 16u);
        EXPECT_EQ(Bytes(bytes.begin() + 20, bytes.begin() + 34), record);
        EXPECT_EQ(Bytes(bytes.begin() + 34, bytes.begin() + 36), Bytes(2, 0));
        EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
        EXPECT_EQ(le32_at(bytes, 40), c.data);
    }
}

TEST(RawSectorHeader, IsRebuiltFromTheDiscAddress) {
    // The header holds disc address + 150 (the lead-in pregap) as BCD
    // minute, second and frame, then mode 2; worked out by hand.
    struct HeaderCase {
        int64_t address;
        Bytes header;
    };
    const std::vector<HeaderCase> cases = {
        {0, {0x00, 0x02, 0x00, 0x02}},        // 00:02:00
        {16, {0x00, 0x02, 0x16, 0x02}},       // 00:02:16
        {74, {0x00, 0x02, 0x74, 0x02}},       // 00:02:74
        {4349, {0x00, 0x59, 0x74, 0x02}},     // 4499 frames: 00:59:74
        {4350, {0x01, 0x00, 0x00, 0x02}},     // 4500 frames: one minute
        {44850, {0x10, 0x00, 0x00, 0x02}},    // 45000 frames: ten minutes
        {123456, {0x27, 0x28, 0x06, 0x02}},   // 123606 = 27 * 4500 + 28 * 75 + 6
        {449849, {0x99, 0x59, 0x74, 0x02}},   // the last address of 100 minutes
    };
    const Bytes sync = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.address);
        Bytes rebuilt(RAW_SECTOR, 0xEE);
        rebuild_sector_header(rebuilt.data(), c.address);
        EXPECT_EQ(Bytes(rebuilt.begin(), rebuilt.begin() + 12), sync);
        EXPECT_EQ(Bytes(rebuilt.begin() + 12, rebuilt.begin() + 16), c.header);
        // The rest of the sector is left as it was.
        EXPECT_EQ(rebuilt[16], 0xEE);
    }
}

// Every byte of a sector's data tells the sector and the byte's place.
Mode2Sector numbered(Mode2Sector sector, uint8_t seed) {
    for (size_t i = 0; i < sector.data.size(); ++i)
        sector.data[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return sector;
}

std::vector<IsoNode> xa_tree() {
    std::vector<Mode2Sector> movie;
    std::vector<Mode2Sector> stream;
    for (uint8_t s = 0; s < 5; ++s) {
        movie.push_back(numbered(form2_sector(0), static_cast<uint8_t>(10 + s)));
        // A streamed file: data sectors in Form 1 between Form 2 audio sectors.
        stream.push_back(s % 2 == 0 ? numbered(form1_sector(0), static_cast<uint8_t>(40 + s))
                                    : numbered(form2_sector(0, SUBMODE_AUDIO | SUBMODE_REAL_TIME),
                                               static_cast<uint8_t>(40 + s)));
    }
    std::vector<Mode2Sector> form1 = {numbered(form1_sector(0), 70), numbered(form1_sector(0), 71)};
    // The movie is recorded in three extents (2, 2 and 1 sectors), one after another.
    IsoNode avseq = iso_xa_file("AVSEQ01.DAT;1", XA_FORM2 | 0x0555, movie, 1);
    avseq.extent_bytes = 2 * ISO_SECTOR;
    IsoNode unsigned_file = iso_xa_file("NOSIG.DAT;1", XA_FORM2, {numbered(form2_sector(0), 90)});
    unsigned_file.system_use[6] = 'x';
    return {iso_file("README.TXT;1", Bytes{'h', 'i', '\n'}),
            iso_dir("MPEGAV", {avseq}),
            iso_xa_file("MOVIE.STR;1", XA_FORM1 | XA_FORM2 | XA_INTERLEAVED, stream, 2),
            iso_xa_file("TABLE.DAT;1", XA_FORM1, form1, 3), unsigned_file};
}

// The CDXA file that an XA file of these sectors comes out as, its volume
// sector `extent` lying at disc address `index1` + `extent`.
Bytes expected_cdxa(const IsoNode &file, uint32_t extent, uint32_t index1) {
    unsigned char xa[XA_RECORD_SIZE];
    std::memcpy(xa, file.system_use.data(), XA_RECORD_SIZE);
    unsigned char header[CDXA_HEADER_SIZE];
    write_cdxa_header(xa, file.mode2_sectors.size() * RAW_SECTOR, header);
    Bytes out(header, header + sizeof header);
    for (size_t s = 0; s < file.mode2_sectors.size(); ++s) {
        Bytes raw = raw_mode2_sector(file.mode2_sectors[s], index1 + extent + static_cast<uint32_t>(s));
        out.insert(out.end(), raw.begin(), raw.end());
    }
    return out;
}

// The 2048-byte user sectors of a file, as a plain reading takes them.
Bytes first_2048_of_each(const IsoNode &file) {
    Bytes out;
    for (const Mode2Sector &sector : file.mode2_sectors)
        out.insert(out.end(), sector.data.begin(), sector.data.begin() + ISO_SECTOR);
    return out;
}

class XaVolume : public testing::Test {
protected:
    void TearDown() override { cdimage_close(); }

    // Writes the tree as a Mode 2 track of this mode, behind `index1` sectors
    // of pregap in its file, and opens it.
    void open_mode2(SectorMode mode, uint32_t index1, const std::string &out = "out") {
        std::vector<Mode2Sector> sectors(index1, form1_sector(0));
        const std::vector<Mode2Sector> volume = build_mode2_volume(xa_tree());
        sectors.insert(sectors.end(), volume.begin(), volume.end());
        write_file(tmp.at("xa.bin"), wrap_mode2_sectors(sectors, mode));
        cue = tmp.at("xa.cue");
        write_text(cue, std::string("FILE \"xa.bin\" BINARY\n  TRACK 01 ") + mode_word(mode) + "\n    INDEX 01 " +
                            msf_text(index1) + "\n");
        ASSERT_EQ(open_and_capture(cue, tmp.at(out)).result, 1);
    }

    uint32_t extent_of(const char *name) {
        const FsEntry *entry = find_entry(default_image(), name, false);
        return entry == nullptr ? 0 : entry_extents(default_image(), *entry)->sector;
    }

    TempDir tmp;
    std::string cue;
};

TEST_F(XaVolume, Form2AndInterleavedFilesComeOutAsCdxaOfWholeRawSectors) {
    const std::vector<IsoNode> tree = xa_tree();
    const IsoNode &movie = tree[1].children[0];
    const IsoNode &stream = tree[2];
    for (SectorMode mode : {SectorMode::MODE2_2352, SectorMode::MODE2_2336}) {
        for (uint32_t index1 : {0u, 150u}) {
            SCOPED_TRACE(std::string(mode_word(mode)) + " at " + std::to_string(index1));
            const std::string out = "out" + std::to_string(stored_sector_size(mode)) + "_" + std::to_string(index1);
            open_mode2(mode, index1, out);
            testing::internal::CaptureStderr();
            EXPECT_EQ(cdimage_extract_all(), 5);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

            const Bytes movie_cdxa = expected_cdxa(movie, extent_of("MPEGAV/AVSEQ01.DAT"), index1);
            const Bytes stream_cdxa = expected_cdxa(stream, extent_of("MOVIE.STR"), index1);
            EXPECT_EQ(read_file(tmp.at(out + "/MPEGAV/AVSEQ01.DAT")), movie_cdxa);
            EXPECT_EQ(read_file(tmp.at(out + "/MOVIE.STR")), stream_cdxa);
            // Form 1 files and files without an XA record: their recorded bytes.
            EXPECT_EQ(read_file(tmp.at(out + "/TABLE.DAT")), first_2048_of_each(tree[3]));
            EXPECT_EQ(read_file(tmp.at(out + "/NOSIG.DAT")), first_2048_of_each(tree[4]));
            EXPECT_EQ(read_file(tmp.at(out + "/README.TXT")), (Bytes{'h', 'i', '\n'}));

            // Loading gives what the extraction wrote.
            uint32_t length = 0;
            std::unique_ptr<unsigned char, FreeDeleter> loaded(
                static_cast<unsigned char *>(cdimage_load_file("movie.str", &length)));
            ASSERT_NE(loaded, nullptr);
            EXPECT_EQ(Bytes(loaded.get(), loaded.get() + length), stream_cdxa);
            cdimage_close();
        }
    }
}

TEST_F(XaVolume, RerunTakesTheCdxaSizeAsExtracted) {
    open_mode2(SectorMode::MODE2_2352, 0);
    const std::string path = tmp.at("out/MPEGAV/AVSEQ01.DAT");
    const Bytes cdxa = expected_cdxa(xa_tree()[1].children[0], extent_of("MPEGAV/AVSEQ01.DAT"), 0);
    mkdir(tmp.at("out").c_str(), 0755);
    ASSERT_EQ(mkdir(tmp.at("out/MPEGAV").c_str(), 0755), 0);
    char out_path[PATH_TEXT_SIZE];

    // A file of the recorded size (5 sectors of 2048) is not the CDXA file.
    write_file(path, Bytes(5 * ISO_SECTOR, 'x'));
    ASSERT_EQ(cdimage_extract_file("MPEGAV/AVSEQ01.DAT", out_path, sizeof out_path), 1);
    EXPECT_EQ(read_file(path), cdxa);

    // One of the CDXA file's size and the recorded time counts as extracted
    // and is left alone.
    const Bytes same_size(cdxa.size(), 'y');
    write_file(path, same_size);
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(FIXTURE_TIME), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(cdimage_extract_file("MPEGAV/AVSEQ01.DAT", out_path, sizeof out_path), 1);
    EXPECT_EQ(read_file(path), same_size);
}

TEST_F(XaVolume, Form2FilesOnA2048ByteTrackComeOutAsRecordedAndAreNamed) {
    const std::vector<IsoNode> tree = xa_tree();
    write_file(tmp.at("xa.iso"), build_iso_volume(tree));
    cue = tmp.at("xa.cue");
    write_text(cue, "FILE \"xa.iso\" BINARY\n  TRACK 01 MODE2/2048\n    INDEX 01 00:00:00\n");
    ASSERT_EQ(open_and_capture(cue, tmp.at("out")).result, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cdimage_extract_all(), 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cdimage: MPEGAV/AVSEQ01.DAT: Form 2 data not in the image\n"
              "cdimage: MOVIE.STR: Form 2 data not in the image\n");
    EXPECT_EQ(read_file(tmp.at("out/MPEGAV/AVSEQ01.DAT")), first_2048_of_each(tree[1].children[0]));
    EXPECT_EQ(read_file(tmp.at("out/MOVIE.STR")), first_2048_of_each(tree[2]));
    uint32_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> loaded(
        static_cast<unsigned char *>(cdimage_load_file("MOVIE.STR", &length)));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(Bytes(loaded.get(), loaded.get() + length), first_2048_of_each(tree[2]));
}

}  // namespace
