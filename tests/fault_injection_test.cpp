// Failing disks and vanishing files: writes cut short by the file size
// limit, track files truncated or removed behind an open image, odd things
// named as cue sheets and track files, and the descriptors, heap and reads
// that many opens cost.
#include "audio_export.h"
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

Bytes swapped_words(Bytes bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

// Runs the tool with files limited to `blocks` × 512 bytes (the unit of the
// shell's ulimit -f) and SIGXFSZ ignored, so that a write past the limit
// fails with EFBIG instead of killing the process. An ignored signal stays
// ignored across exec.
RunResult run_with_file_limit(unsigned blocks, const std::string &cue, const std::string &out) {
    return run_program({"/bin/sh", "-c", "ulimit -f " + std::to_string(blocks) + "; trap '' XFSZ; exec \"$0\" \"$@\"",
                        cdunpack_binary(), cue, out});
}

// ---- a full disk -------------------------------------------------------------

// 6 blocks: 3072 bytes.
constexpr unsigned EXTRACTION_LIMIT_BLOCKS = 6;
constexpr size_t EXTRACTION_LIMIT = EXTRACTION_LIMIT_BLOCKS * 512;

TEST(DiskFull, FilesThatDoNotFitAreRemovedAndTheRestComeOut) {
    const Bytes huge = pattern(40000, 1);
    // Less than a stdio buffer: where it goes through the stream, all of it
    // waits in the buffer and the write fails only at the close.
    const Bytes flushed_at_close = pattern(EXTRACTION_LIMIT + 428, 2);
    const Bytes fits = pattern(EXTRACTION_LIMIT, 3);
    const Bytes small = pattern(1000, 4);
    // The failures come first: the files after them must still come out.
    const Bytes volume = build_iso_volume({
        iso_file("HUGE.BIN;1", huge),
        iso_file("FLUSHED.BIN;1", flushed_at_close),
        iso_dir("DIR", {iso_file("FITS.BIN;1", fits), iso_file("HUGE2.BIN;1", huge)}),
        iso_file("SMALL.TXT;1", small),
    });
    // Bare 2048-byte sectors are copied inside the kernel; raw sectors are
    // gathered and written through the stream.
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir tmp;
        const std::string cue = write_data_image(tmp.path, volume, mode);
        const RunResult run = run_with_file_limit(EXTRACTION_LIMIT_BLOCKS, cue, tmp.at("out"));
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.out, "2 files\n");
        EXPECT_EQ(run.err, "cdimage: " + cue + ", 1 tracks, 6 files\n"
                           "cdimage: HUGE.BIN: File too large\n"
                           "cdimage: FLUSHED.BIN: File too large\n"
                           "cdimage: DIR/HUGE2.BIN: File too large\n");
        EXPECT_EQ(list_tree(tmp.at("out")), (std::vector<std::string>{"DIR/", "DIR/FITS.BIN", "SMALL.TXT"}));
        EXPECT_EQ(read_file(tmp.at("out/DIR/FITS.BIN")), fits);
        EXPECT_EQ(read_file(tmp.at("out/SMALL.TXT")), small);
    }
}

// 9 blocks: 4608 bytes, room for a WAVE file of one sector (2396 bytes) but
// not for one of two (4748 bytes).
constexpr unsigned WAVE_LIMIT_BLOCKS = 9;

TEST(DiskFull, WaveFileThatDoesNotFitGetsNoTrackLine) {
    const Bytes samples = pattern(4 * RAW_SECTOR, 7);
    // Samples already little-endian are copied inside the kernel; swapped
    // ones go through the stream, where the second sector waits in its
    // buffer until the close.
    for (const char *type : {"BINARY", "MOTOROLA"}) {
        SCOPED_TRACE(type);
        TempDir tmp;
        write_file(tmp.at("data.bin"), wrap_sectors(build_iso_volume({iso_file("A.TXT;1", Bytes{'a'})}),
                                                    SectorMode::MODE1_2352));
        write_file(tmp.at("audio.bin"), samples);
        write_text(tmp.at("disc.cue"), std::string("FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n") +
                                           "FILE audio.bin " + type + "\n" +
                                           "TRACK 02 AUDIO\nINDEX 01 00:00:00\n"
                                           "TRACK 03 AUDIO\nINDEX 01 00:00:01\n"
                                           "TRACK 04 AUDIO\nINDEX 01 00:00:03\n");
        const RunResult run = run_with_file_limit(WAVE_LIMIT_BLOCKS, tmp.at("disc.cue"), tmp.at("out"));
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_EQ(run.out, "1 files\ntrack 02: 0:00\ntrack 04: 0:00\n");
        EXPECT_EQ(run.err, "cdimage: " + tmp.at("disc.cue") + ", 4 tracks, 1 files\n" + tmp.at("out/audio/track03.wav") +
                               ": File too large\n");
        const Bytes track04 = read_file(tmp.at("out/audio/track04.wav"));
        const Bytes expected = slice(samples, 3 * RAW_SECTOR, RAW_SECTOR);
        EXPECT_TRUE(track04 == wave_file(std::string(type) == "BINARY" ? expected : swapped_words(expected)));
        // A WAVE file cut short would claim more than it holds: it is removed.
        EXPECT_FALSE(path_exists(tmp.at("out/audio/track03.wav")));
    }
}

// ---- track files that change behind an open image --------------------------

const Bytes BIG = pattern(3 * 2048 + 5, 11);
const Bytes OK_TEXT = {'o', 'k'};

// OK.TXT's data comes first; BIG.BIN's four sectors end the volume.
Bytes cut_test_volume() {
    return build_iso_volume({iso_file("OK.TXT;1", OK_TEXT), iso_dir("DIR", {iso_file("BIG.BIN;1", BIG)})});
}

struct CutCase {
    const char *what;
    // Bytes of the stored volume kept, counted from the end of BIG.BIN's
    // first sector; -1 cuts the file to nothing.
    int64_t kept_after_first_big_sector;
    std::vector<std::string> tree;
    int count;
};

TEST(ChangedTrackFile, DataTrackCutAfterTheOpenFailsItsReads) {
    const Bytes volume = cut_test_volume();
    const uint32_t big_extent = static_cast<uint32_t>(volume.size() / ISO_SECTOR) - 4;
    const std::vector<CutCase> cases = {
        {"cut inside BIG.BIN's second sector", 1000, {"DIR/", "OK.TXT"}, 1},
        {"cut to nothing", -1, {"DIR/"}, 0},
    };
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        for (const CutCase &c : cases) {
            SCOPED_TRACE(std::string(mode_word(mode)) + ": " + c.what);
            TempDir tmp;
            const std::string cue = write_data_image(tmp.path, volume, mode);
            ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
            ASSERT_EQ(cdimage_entry_count(), 3);
            const int64_t kept = c.kept_after_first_big_sector < 0
                                     ? 0
                                     : int64_t{big_extent + 1} * stored_sector_size(mode) + c.kept_after_first_big_sector;
            ASSERT_EQ(truncate(tmp.at("disc.bin").c_str(), kept), 0);

            // The track's length was measured before the cut: the reads
            // themselves must notice that the sectors are gone.
            EXPECT_EQ(cdimage_extract_all(), c.count);
            EXPECT_EQ(list_tree(tmp.at("out")), c.tree);
            char path[1024];
            EXPECT_EQ(cdimage_extract_file("DIR/BIG.BIN", path, sizeof path), 0);
            EXPECT_FALSE(path_exists(tmp.at("out/DIR/BIG.BIN")));
            uint32_t length = 99;
            EXPECT_EQ(cdimage_load_file("DIR/BIG.BIN", &length), nullptr);
            EXPECT_EQ(length, 99u);
            cdimage_close();
        }
    }
}

TEST(ChangedTrackFile, DataTrackRemovedAfterTheOpenIsStillReadThroughTheHeldHandle) {
    const Bytes volume = cut_test_volume();
    for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
        SCOPED_TRACE(mode_word(mode));
        TempDir tmp;
        const std::string cue = write_data_image(tmp.path, volume, mode);
        ASSERT_EQ(open_quietly(cue, tmp.at("out")), 1);
        // The open read the volume descriptor through the data track's
        // handle, which is held until the close: the removed file lives on
        // behind it, so the volume that was mounted is the one extracted,
        // even with other bytes now under its name.
        ASSERT_EQ(unlink(tmp.at("disc.bin").c_str()), 0);
        write_file(tmp.at("disc.bin"), Bytes(volume.size(), 0xEE));
        EXPECT_EQ(cdimage_extract_all(), 2);
        EXPECT_EQ(read_file(tmp.at("out/OK.TXT")), OK_TEXT);
        EXPECT_EQ(read_file(tmp.at("out/DIR/BIG.BIN")), BIG);
        uint32_t length = 0;
        void *loaded = cdimage_load_file("DIR/BIG.BIN", &length);
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(Bytes(static_cast<uint8_t *>(loaded), static_cast<uint8_t *>(loaded) + length), BIG);
        std::free(loaded);
        cdimage_close();
    }
}

// An image whose track 02 is the audio file, three sectors long.
struct AudioImage {
    TempDir tmp;
    Bytes samples = pattern(3 * RAW_SECTOR, 21);
    explicit AudioImage(const char *type) {
        write_file(tmp.at("data.bin"), wrap_sectors(build_iso_volume({}), SectorMode::MODE1_2352));
        write_file(tmp.at("audio.bin"), samples);
        write_text(tmp.at("disc.cue"), std::string("FILE data.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n") +
                                           "FILE audio.bin " + type + "\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    }
};

// What becomes of the audio file between the open and the export, and what
// the export then writes.
struct AudioChange {
    const char *what;
    void (*change)(const std::string &path);
    std::string out;
    std::string err;
    int64_t frames;  // frames in track02.wav, the first of the file's; -1: no file
};

// One sector, 250 frames and a stray byte are left of the three sectors.
constexpr int64_t CUT_FRAMES = FRAMES_PER_SECTOR + 250;

const AudioChange AUDIO_CHANGES[] = {
    {"cut: a shorter, consistent WAVE file",
     [](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(CUT_FRAMES * 4 + 1)), 0); },
     "track 02: 0:00\n", "", CUT_FRAMES},
    // The export opens the track file by its path, after the open.
    {"removed: the read fails",
     [](const std::string &path) { ASSERT_EQ(unlink(path.c_str()), 0); }, "", "track 02: read failed\n", -1},
    // A directory put where the track file was opens with fopen "rb" (Linux
    // allows it), and reading it fails with EISDIR: it holds no frames, so
    // the track is written with none, as a track file cut to nothing is.
    // Both roads must agree: the stream (MOTOROLA), and the in-kernel copy
    // (BINARY), which once took the EISDIR for a failed write and left a
    // header claiming the frames that the directory's size made up.
    {"replaced by a directory: no frames",
     [](const std::string &path) {
         ASSERT_EQ(unlink(path.c_str()), 0);
         ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
     },
     "track 02: 0:00\n", "", 0},
};

TEST(ChangedTrackFile, AudioTrackChangedAfterTheOpen) {
    for (const AudioChange &c : AUDIO_CHANGES) {
        for (const char *type : {"BINARY", "MOTOROLA"}) {
            SCOPED_TRACE(std::string(c.what) + ", " + type);
            AudioImage image(type);
            ASSERT_EQ(open_quietly(image.tmp.at("disc.cue"), image.tmp.at("out")), 1);
            c.change(image.tmp.at("audio.bin"));
            const Captured run = export_into(image.tmp.at("out"));
            EXPECT_EQ(run.out, c.out);
            EXPECT_EQ(run.err, c.err);
            if (c.frames < 0) {
                EXPECT_FALSE(path_exists(image.tmp.at("out/audio")));
            } else {
                const uint32_t data_bytes = static_cast<uint32_t>(c.frames * 4);
                const Bytes wave = read_file(image.tmp.at("out/audio/track02.wav"));
                ASSERT_EQ(wave.size(), WAVE_HEADER + data_bytes);
                EXPECT_EQ(le32_at(wave, 4), data_bytes + 36);
                EXPECT_EQ(le32_at(wave, 40), data_bytes);
                const Bytes kept = slice(image.samples, 0, data_bytes);
                EXPECT_TRUE(slice(wave, WAVE_HEADER, data_bytes) ==
                            (std::string(type) == "BINARY" ? kept : swapped_words(kept)));
            }
            cdimage_close();
        }
    }
}

// ---- odd things named as cue sheets and track files -----------------------

const char DATA_TRACK_LINES[] = "TRACK 01 MODE1/2048\nINDEX 01 00:00:00\n";

struct OddCase {
    const char *what;
    // Builds the odd input in the directory; gives the cue sheet's path.
    std::function<std::string(const TempDir &)> make;
    int exit_code;
    std::string out;
    // The lines on standard error; "@" stands for the directory.
    std::string err;
};

void write_small_volume(const std::string &path) {
    write_file(path, build_iso_volume({iso_file("A.TXT;1", Bytes{'a'})}));
}

TEST(OddInput, GivesAClearResultInTheUsualWords) {
    const std::vector<OddCase> cases = {
        {"a cue sheet that is a directory",
         [](const TempDir &dir) {
             mkdir(dir.at("disc.cue").c_str(), 0755);
             return dir.at("disc.cue");
         },
         1, "", "cdunpack: @/disc.cue: Is a directory\n@/disc.cue: cannot open the image\n"},
        {"a cue sheet of 0 bytes",
         [](const TempDir &dir) {
             write_text(dir.at("disc.cue"), "");
             return dir.at("disc.cue");
         },
         1, "", "cdunpack: @/disc.cue: not a cue sheet\n@/disc.cue: cannot open the image\n"},
        {"a data track file that is a directory",
         [](const TempDir &dir) {
             mkdir(dir.at("disc.bin").c_str(), 0755);
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES);
             return dir.at("disc.cue");
         },
         2, "0 files\n",
         "cdimage: @/disc.bin is missing: no data track\n"
         "cdimage: @/disc.cue, 1 tracks, 0 files\n"},
        {"a data track file that is a symbolic link to a directory",
         [](const TempDir &dir) {
             mkdir(dir.at("target").c_str(), 0755);
             symlink("target", dir.at("disc.bin").c_str());
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES);
             return dir.at("disc.cue");
         },
         2, "0 files\n",
         "cdimage: @/disc.bin is missing: no data track\n"
         "cdimage: @/disc.cue, 1 tracks, 0 files\n"},
        {"a WAVE track file that is a directory",
         [](const TempDir &dir) {
             write_small_volume(dir.at("disc.bin"));
             mkdir(dir.at("track02.wav").c_str(), 0755);
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES +
                                                "FILE track02.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
             return dir.at("disc.cue");
         },
         1, "", "cdimage: @/track02.wav is missing\n@/disc.cue: cannot open the image\n"},
        {"an audio track file that is a symbolic link to a directory",
         [](const TempDir &dir) {
             write_small_volume(dir.at("disc.bin"));
             mkdir(dir.at("target").c_str(), 0755);
             symlink(dir.at("target").c_str(), dir.at("audio.bin").c_str());
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES +
                                                "FILE audio.bin BINARY\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
             return dir.at("disc.cue");
         },
         2, "1 files\n",
         "cdimage: @/audio.bin is missing: only its audio tracks\n"
         "cdimage: @/disc.cue, 2 tracks, 1 files\n"
         "track 02: read failed\n"},
        {"a data track file of 0 bytes",
         [](const TempDir &dir) {
             write_file(dir.at("disc.bin"), {});
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES);
             return dir.at("disc.cue");
         },
         2, "0 files\n",
         "cdimage: @/disc.bin holds no sector of track 01\n"
         "cdimage: @/disc.cue, 1 tracks, 0 files\n"},
        {"a WAVE track file of 0 bytes",
         [](const TempDir &dir) {
             write_small_volume(dir.at("disc.bin"));
             write_file(dir.at("track02.wav"), {});
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES +
                                                "FILE track02.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
             return dir.at("disc.cue");
         },
         2, "1 files\n", "cdimage: @/disc.cue, 2 tracks, 1 files\ntrack 02: read failed\n"},
        {"a WAVE track file holding only the headers, its data chunk's size a lie",
         [](const TempDir &dir) {
             write_small_volume(dir.at("disc.bin"));
             Bytes wave = wave_file({});
             wave[40] = 0xFF;
             wave[41] = 0xFF;
             write_file(dir.at("track02.wav"), wave);
             write_text(dir.at("disc.cue"), std::string("FILE disc.bin BINARY\n") + DATA_TRACK_LINES +
                                                "FILE track02.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
             return dir.at("disc.cue");
         },
         2, "1 files\n", "cdimage: @/disc.cue, 2 tracks, 1 files\ntrack 02: read failed\n"},
    };
    for (const OddCase &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const std::string cue = c.make(tmp);
        const RunResult run = run_program({cdunpack_binary(), cue, tmp.at("out")});
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, replace_all(c.err, "@", tmp.path));
        // Nothing is written for a track that has no sectors.
        EXPECT_FALSE(path_exists(tmp.at("out/audio")));
    }
}

// ---- descriptors and heap ----------------------------------------------------

// Bytes the process holds from the heap: under AddressSanitizer its own
// allocator's figure, else glibc's (arena chunks in use and mmapped blocks).
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

TEST(Hygiene, AThousandCyclesLeaveDescriptorsAndHeapWhereTheyBegan) {
    TempDir tmp;
    const Bytes volume = build_iso_volume({iso_file("A.TXT;1", pattern(5000, 1)),
                                           iso_dir("DIR", {iso_file("B.BIN;1", pattern(3000, 2))})});
    write_file(tmp.at("disc.bin"), wrap_sectors(volume, SectorMode::MODE1_2352));
    write_file(tmp.at("audio.bin"), pattern(2 * RAW_SECTOR, 3));
    const std::string data_lines = "FILE disc.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n";
    write_text(tmp.at("good.cue"), data_lines + "FILE audio.bin MOTOROLA\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    write_text(tmp.at("missing_wave.cue"), data_lines + "FILE gone.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n");
    write_text(tmp.at("all_audio.cue"), "FILE audio.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    const std::string out = tmp.at("out");
    const std::vector<std::string> failing = {tmp.at("missing.cue"), tmp.at("missing_wave.cue"),
                                              tmp.at("all_audio.cue")};

    // Every step of one cycle reports its result in `failures`, so that the
    // loop itself allocates nothing that outlives a cycle.
    int failures = 0;
    auto cycle = [&] {
        std::filesystem::remove_all(out);
        failures += open_quietly(tmp.at("good.cue"), out) != 1;
        failures += cdimage_extract_all() != 2;
        uint32_t length = 0;
        void *loaded = cdimage_load_file("DIR/B.BIN", &length);
        failures += loaded == nullptr || length != 3000;
        std::free(loaded);
        failures += export_into(out).out != "track 02: 0:00\n";
        // A failed open ends the open image too.
        for (const std::string &cue : failing)
            failures += open_quietly(cue, out) != 0;
        failures += cdimage_is_open() != 0;
        cdimage_close();
    };
    // The first cycle allocates what stays for the process: stdio's
    // buffers and the capture machinery's.
    cycle();
    const int descriptors = open_descriptor_count();
    const size_t heap = heap_in_use();
    for (int i = 0; i < 1000; ++i)
        cycle();
    const size_t heap_after = heap_in_use();
    EXPECT_EQ(open_descriptor_count(), descriptors);
    // A leak of 8 bytes a cycle would show; a few allocations that gtest or
    // the C library keep once do not.
    EXPECT_LE(heap_after, heap + 4096) << "grew by " << heap_after - heap;
    EXPECT_EQ(failures, 0);
}

// ---- bounded reading of crafted volumes --------------------------------------

constexpr uint32_t ROOT = 18;

// A volume whose root directory is the given records, `root_sectors` long,
// each sector taking records while they fit.
Bytes volume_with_root(const std::vector<Bytes> &records, uint32_t root_sectors) {
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ROOT, root_sectors * ISO_SECTOR));
    uint32_t sector = 0;
    Bytes current;
    for (const Bytes &record : records) {
        if (current.size() + record.size() > ISO_SECTOR) {
            put_bytes(volume, ROOT + sector++, current);
            current.clear();
        }
        current.insert(current.end(), record.begin(), record.end());
    }
    put_bytes(volume, ROOT + sector, current);
    volume.resize(std::max(volume.size(), size_t{ROOT + root_sectors} * ISO_SECTOR));
    return volume;
}

std::string numbered(const char *prefix, int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%03d", prefix, i);
    return name;
}

struct CraftedVolume {
    const char *what;
    Bytes volume;
};

std::vector<CraftedVolume> crafted_volumes() {
    std::vector<CraftedVolume> out;

    // Four root sectors of directories that all are the root again.
    {
        std::vector<Bytes> records;
        for (int i = 0; i < 200; ++i)
            records.push_back(directory_record(numbered("R", i), ROOT, 4 * ISO_SECTOR, true));
        out.push_back({"every directory is the root", volume_with_root(records, 4)});
    }
    // A chain of directories, each holding one back to its parent and one
    // further down.
    {
        Bytes volume;
        put_bytes(volume, 16, primary_descriptor(ROOT, ISO_SECTOR));
        put_bytes(volume, ROOT, directory_record("DOWN", ROOT + 1, ISO_SECTOR, true));
        for (uint32_t level = 1; level <= 12; ++level) {
            Bytes records = directory_record("UP", ROOT + level - 1, ISO_SECTOR, true);
            Bytes down = directory_record("DOWN", ROOT + level + 1, ISO_SECTOR, true);
            records.insert(records.end(), down.begin(), down.end());
            put_bytes(volume, ROOT + level, records);
        }
        out.push_back({"every directory holds its parent", volume});
    }
    // A root that claims 4 GiB - 2048 bytes in a track of a few sectors,
    // holding directories of the same claim inside its own sectors.
    {
        std::vector<Bytes> records;
        for (uint32_t i = 0; i < 40; ++i)
            records.push_back(directory_record(numbered("IN", static_cast<int>(i)), ROOT + i % 3, 0xFFFFF800u, true));
        Bytes volume = volume_with_root(records, 3);
        put_bytes(volume, 16, primary_descriptor(ROOT, 0xFFFFF800u));
        out.push_back({"directories of huge claimed size", volume});
    }
    // Identifiers that try to climb out, as directories that are the root.
    {
        std::vector<Bytes> records;
        for (const char *identifier : {"..", ".", "/", "../..", "...", "/ETC"})
            records.push_back(directory_record(identifier, ROOT, ISO_SECTOR, true));
        records.push_back(directory_record("../../ESCAPE.TXT;1", 30, 1, false));
        out.push_back({"traversal identifiers", volume_with_root(records, 1)});
    }
    // 50 directories of 99 files of one sector each: the table takes 4096
    // entries, and no file's data is read at the open.
    {
        std::vector<IsoNode> root;
        for (int d = 0; d < 50; ++d) {
            std::vector<IsoNode> files;
            for (int f = 0; f < 99; ++f)
                files.push_back(iso_file(numbered("F", f) + ";1", Bytes(ISO_SECTOR, 'f')));
            root.push_back(iso_dir(numbered("D", d), files));
        }
        out.push_back({"5000 entries", build_iso_volume(root)});
    }
    // Records of every length from 34 to 255 bytes, so that records end at
    // every position of a sector; each is a directory that is the root.
    {
        std::vector<Bytes> records;
        for (int length = 34; length <= 255; ++length) {
            const Bytes identifier(static_cast<size_t>(length - 33), 'A' + length % 26);
            Bytes record = directory_record(identifier, ROOT, 16 * ISO_SECTOR, true, static_cast<uint8_t>(length));
            record.resize(static_cast<size_t>(length));
            records.push_back(record);
        }
        out.push_back({"records at every boundary", volume_with_root(records, 16)});
    }
    return out;
}

TEST(BoundedWork, CraftedVolumesReadEachWalkedDirectoryOnce) {
    for (const CraftedVolume &crafted : crafted_volumes()) {
        for (SectorMode mode : {SectorMode::MODE1_2048, SectorMode::MODE1_2352}) {
            SCOPED_TRACE(std::string(crafted.what) + ", " + mode_word(mode));
            TempDir tmp;
            const std::string cue = write_data_image(tmp.path, crafted.volume, mode);
            // The messages are read back from the capture after the count.
            testing::internal::CaptureStderr();
            const uint64_t before = bytes_read_by_process();
            const int opened = cdimage_open(cue.c_str(), tmp.at("out").c_str());
            const uint64_t read = bytes_read_by_process() - before;
            testing::internal::GetCapturedStderr();
            ASSERT_GT(before, 0u) << "needs /proc/self/io";
            ASSERT_EQ(opened, 1);
            ASSERT_GT(cdimage_entry_count(), 0);

            // The descriptor and every directory sector the records point
            // at, each once, however many records point at it; nothing else
            // is read but the cue sheet and the check of the volume's origin
            // (the root's first sector; sectors 17 to 200 once when it does
            // not open with a "." record).
            const uint32_t volume_sectors = static_cast<uint32_t>(crafted.volume.size() / ISO_SECTOR);
            std::set<uint32_t> directory_sectors;
            auto add_directory = [&](uint32_t first, uint32_t size) {
                for (uint32_t s = first; s < volume_sectors && s - first < sectors_holding(size); ++s)
                    directory_sectors.insert(s);
            };
            add_directory(ROOT, le32_at(crafted.volume, 16 * ISO_SECTOR + 166));
            for (int i = 0; i < entry_count(); ++i) {
                const EntryView entry = entry_view(i);
                if (entry.is_dir)
                    add_directory(entry.extents.at(0).sector, entry.extents.at(0).size);
            }
            const size_t root_record = static_cast<size_t>(ROOT) * ISO_SECTOR;
            const bool root_opens_with_self = crafted.volume[root_record + 32] == 1 && crafted.volume[root_record + 33] == 0;
            const uint64_t sectors = 1 + directory_sectors.size() + 1 +
                                     (root_opens_with_self ? 0 : std::min<uint64_t>(184, volume_sectors - 17));
            EXPECT_LE(read, sectors * stored_sector_size(mode) + 4096) << cdimage_entry_count() << " entries";
            cdimage_close();
        }
    }
}

}  // namespace
