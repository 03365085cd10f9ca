// Joliet names: how an identifier in UCS-2 becomes a name component, the
// supplementary descriptor found in the descriptor set, and volumes that
// genisoimage masters with Joliet names, unpacked by the built tool.
#include "module_view.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// UCS-2 big-endian code units.
Bytes ucs2(std::initializer_list<uint16_t> units) {
    Bytes bytes;
    for (uint16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    }
    return bytes;
}

Bytes ucs2(const std::string &ascii) {
    Bytes bytes;
    for (unsigned char c : ascii) {
        bytes.push_back(0);
        bytes.push_back(c);
    }
    return bytes;
}

struct JolietCase {
    Bytes identifier;
    std::string recorded;
    std::string component;
};

TEST(JolietNames, IdentifiersBecomeSafeUtf8Components) {
    const JolietCase cases[] = {
        {ucs2("Readme for the Installer.txt;1"), "Readme for the Installer.txt", "Readme for the Installer.txt"},
        {ucs2({'T', 'r', 0xE8, 's', ';', '1'}), "Tr\xC3\xA8s", "Tr\xC3\xA8s"},
        {ucs2({0x20AC, '.'}), "\xE2\x82\xAC", "\xE2\x82\xAC"},           // one trailing '.' dropped
        {ucs2("a..;1"), "a.", "a."},                                       // only one
        {ucs2({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // a pair joined
        {ucs2({0xD800, 'x'}), "\xEF\xBF\xBDx", "\xEF\xBF\xBDx"},           // a high surrogate alone
        {ucs2({'x', 0xDC00}), "x\xEF\xBF\xBD", "x\xEF\xBF\xBD"},           // a low surrogate alone
        {ucs2({'x', 0xD800}), "x\xEF\xBF\xBD", "x\xEF\xBF\xBD"},           // a high one at the end
        {concat({ucs2("Od"), Bytes{0}}), "Od\xEF\xBF\xBD", "Od\xEF\xBF\xBD"},  // odd length
        {ucs2({'a', '/', 0, 'b'}), std::string("a/\0b", 4), "a__b"},
        {ucs2(".."), ".", "_"},
        {ucs2("..."), "..", "__"},
        {ucs2(";1"), "", ""},
    };
    for (const JolietCase &c : cases) {
        const std::string recorded = joliet_recorded_form(c.identifier.data(), c.identifier.size());
        EXPECT_EQ(recorded, c.recorded) << c.component;
        char component[MAX_COMPONENT];
        std::size_t length = 0;
        ASSERT_TRUE(build_joliet_component(0, recorded, component, length)) << c.component;
        EXPECT_EQ(std::string(component, length), c.component);
    }
}

TEST(JolietNames, LongestIdentifiersFitTheComponentAndTheNameLimitHolds) {
    // 127 code units of 3 bytes each and a lone last byte: the most UTF-8
    // an identifier can give.
    Bytes widest;
    for (int i = 0; i < 127; ++i)
        append(widest, ucs2({0x4E2D}));
    widest.push_back('x');
    const std::string recorded = joliet_recorded_form(widest.data(), widest.size());
    ASSERT_EQ(recorded.size(), MAX_COMPONENT);
    char component[MAX_COMPONENT];
    std::size_t length = 0;
    EXPECT_TRUE(build_joliet_component(0, recorded, component, length));
    EXPECT_EQ(length, MAX_COMPONENT);
    // Behind a parent of 1023 - 385 characters it just fits; one more does not.
    EXPECT_TRUE(build_joliet_component(MAX_ENTRY_NAME - MAX_COMPONENT - 1, recorded, component, length));
    EXPECT_FALSE(build_joliet_component(MAX_ENTRY_NAME - MAX_COMPONENT, recorded, component, length));
}

// A supplementary descriptor: the primary's layout, type 2, the escape
// sequence at byte 88, its own root.
Bytes supplementary_descriptor(uint32_t root_extent, const char *escape) {
    Bytes sector = primary_descriptor(root_extent, ISO_SECTOR);
    sector[0] = 2;
    std::memcpy(sector.data() + 88, escape, 3);
    return sector;
}

Bytes terminator() {
    Bytes sector(ISO_SECTOR, 0);
    sector[0] = 255;
    std::memcpy(sector.data() + 1, "CD001", 5);
    sector[6] = 1;
    return sector;
}

Bytes directory(uint32_t self, const std::vector<Bytes> &records) {
    Bytes dir = directory_record(Bytes{0}, self, ISO_SECTOR, true);
    append(dir, directory_record(Bytes{1}, self, ISO_SECTOR, true));
    for (const Bytes &record : records)
        append(dir, record);
    return dir;
}

constexpr uint32_t ISO_ROOT = 20, JOLIET_ROOT = 21, FILE_SECTOR = 22;
const Bytes FILE_DATA = text_bytes("data\n");

// Sectors 16 on: the primary descriptor, then `descriptors`; the primary
// root holds A.TXT, the Joliet root holds a file for each identifier, all
// of them the same bytes.
Bytes crafted_volume(const std::vector<Bytes> &descriptors, const std::vector<Bytes> &joliet_identifiers) {
    Bytes volume;
    put_bytes(volume, 16, primary_descriptor(ISO_ROOT, ISO_SECTOR));
    for (std::size_t k = 0; k < descriptors.size(); ++k)
        put_bytes(volume, static_cast<uint32_t>(17 + k), descriptors[k]);
    put_bytes(volume, ISO_ROOT,
              directory(ISO_ROOT, {directory_record("a.txt;1", FILE_SECTOR, static_cast<uint32_t>(FILE_DATA.size()),
                                                    false)}));
    std::vector<Bytes> records;
    for (const Bytes &identifier : joliet_identifiers)
        records.push_back(directory_record(identifier, FILE_SECTOR, static_cast<uint32_t>(FILE_DATA.size()), false));
    put_bytes(volume, JOLIET_ROOT, directory(JOLIET_ROOT, records));
    put_bytes(volume, FILE_SECTOR, FILE_DATA);
    return volume;
}

struct Handle {
    cdimage_handle *h = cdimage_handle_new();
    ~Handle() { cdimage_handle_free(h); }
};

std::vector<std::string> names_of(cdimage_handle *h) {
    std::vector<std::string> names;
    for (int i = 0; i < cdimage_handle_entry_count(h); ++i) {
        const char *name = nullptr;
        if (cdimage_handle_entry_info(h, i, &name, nullptr, nullptr))
            names.push_back(name);
    }
    return names;
}

TEST(JolietNames, OptionTakesKnownValuesOnly) {
    Handle handle;
    EXPECT_EQ(cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET), 1);
    EXPECT_EQ(cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_ISO), 1);
    EXPECT_EQ(cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, 2), 0);
    EXPECT_EQ(cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, -1), 0);
    EXPECT_EQ(cdimage_handle_set_option(nullptr, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET), 0);
}

TEST(JolietNames, HostileIdentifiersAreNamedSafelyAndWrittenInsideTheOutput) {
    TempDir work;
    const std::vector<Bytes> identifiers = {
        concat({ucs2("Od"), Bytes{0}}),
        ucs2({0xD800, 'x'}),
        ucs2({'a', '/', 0, 'b'}),
        ucs2(".."),
        ucs2("Mixed.Case;1"),
    };
    const Bytes volume =
        crafted_volume({supplementary_descriptor(JOLIET_ROOT, "%/E"), terminator()}, identifiers);
    const std::string cue = write_data_image(work.path, volume, SectorMode::MODE1_2048);
    const std::string out = work.at("out");
    Handle handle;
    cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_MESSAGES, 0);

    ASSERT_EQ(cdimage_handle_open(handle.h, cue.c_str(), out.c_str()), 1);
    EXPECT_EQ(names_of(handle.h), (std::vector<std::string>{"A.TXT"}));
    cdimage_handle_close(handle.h);

    cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET);
    ASSERT_EQ(cdimage_handle_open(handle.h, cue.c_str(), out.c_str()), 1);
    const std::vector<std::string> expected = {"Od\xEF\xBF\xBD", "\xEF\xBF\xBDx", "a__b", "_", "Mixed.Case"};
    EXPECT_EQ(names_of(handle.h), expected);
    EXPECT_EQ(cdimage_handle_extract_all(handle.h), 5);
    EXPECT_EQ(cdimage_handle_failure_count(handle.h), 0);
    std::vector<std::string> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(list_tree(out), sorted);
    for (const std::string &name : expected)
        EXPECT_EQ(read_file(out + "/" + name), FILE_DATA) << name;
    // "a/\0b" made nothing beside its own file, and ".." nothing above out/.
    for (const std::string &path : list_tree(work.path))
        EXPECT_TRUE(path == "disc.bin" || path == "disc.cue" || path.rfind("out/", 0) == 0) << path;
}

TEST(JolietNames, DescriptorSetIsReadToItsEndOnly) {
    struct SetCase {
        const char *label;
        std::vector<Bytes> descriptors;
        bool has_joliet;
    };
    Bytes not_a_descriptor(ISO_SECTOR, 0);
    Bytes other_escape = supplementary_descriptor(JOLIET_ROOT, "%/F");
    const SetCase cases[] = {
        {"each escape level", {supplementary_descriptor(JOLIET_ROOT, "%/@"), terminator()}, true},
        {"level 2", {supplementary_descriptor(JOLIET_ROOT, "%/C"), terminator()}, true},
        {"behind another supplementary", {other_escape, supplementary_descriptor(JOLIET_ROOT, "%/E"), terminator()}, true},
        {"not Joliet's escape", {other_escape, terminator()}, false},
        {"behind the terminator", {terminator(), supplementary_descriptor(JOLIET_ROOT, "%/E")}, false},
        {"behind a sector that is no descriptor", {not_a_descriptor, supplementary_descriptor(JOLIET_ROOT, "%/E")}, false},
        {"no supplementary", {terminator()}, false},
    };
    for (const SetCase &c : cases) {
        TempDir work;
        const std::string cue =
            write_data_image(work.path, crafted_volume(c.descriptors, {ucs2("Joliet.txt")}), SectorMode::MODE1_2352);
        Handle handle;
        cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_MESSAGES, 0);
        cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET);
        const int opened = cdimage_handle_open(handle.h, cue.c_str(), work.at("out").c_str());
        EXPECT_EQ(opened, c.has_joliet ? 1 : 0) << c.label;
        if (c.has_joliet) {
            EXPECT_EQ(names_of(handle.h), (std::vector<std::string>{"Joliet.txt"})) << c.label;
        } else {
            const char *reason = cdimage_handle_open_reason(handle.h, nullptr);
            ASSERT_NE(reason, nullptr) << c.label;
            EXPECT_STREQ(reason, "the volume has no Joliet names") << c.label;
            ASSERT_EQ(cdimage_handle_ledger_count(handle.h), 1) << c.label;
            int kind = 0;
            const char *text = nullptr;
            cdimage_handle_ledger_line(handle.h, 0, &kind, nullptr, nullptr, &text);
            EXPECT_EQ(kind, CDIMAGE_LINE_OPEN_REFUSED) << c.label;
            EXPECT_EQ(std::string(text), cue + ": the volume has no Joliet names") << c.label;
        }
    }
}

// ---- volumes mastered by genisoimage --------------------------------------

const std::string LONG_NAME(99, 'L');  // with ".txt", 103 characters

struct SourceFile {
    std::string path;
    Bytes data;
};

std::vector<SourceFile> source_files(bool long_names) {
    std::vector<SourceFile> files = {
        {"Readme for the Installer.txt", text_bytes("read me\n")},
        {"Tr\xC3\xA8s long nom \xC3\xA9\xC3\xA8\xC3\xA0.txt", pattern(3000, 1)},
        {"MixedCase.Dat", pattern(2048, 2)},
        {"lower", pattern(1, 3)},
        {"Sub Dir/Nested File.bin", pattern(5000, 4)},
        {"Sub Dir/Deeper/\xC3\x9C" "ber.txt", pattern(10, 5)},
    };
    if (long_names)
        files.push_back({"Sub Dir/" + LONG_NAME + ".txt", pattern(700, 6)});
    return files;
}

// Masters the source files with genisoimage and the flags; gives the cue
// sheet of a MODE1/2048 track of the result.
std::string master(const TempDir &work, const std::vector<SourceFile> &files, const std::vector<std::string> &flags) {
    for (const SourceFile &file : files) {
        const std::string path = work.at("src/" + file.path);
        const std::string dir = path.substr(0, path.rfind('/'));
        EXPECT_EQ(run_program({"mkdir", "-p", dir}).exit_code, 0);
        write_file(path, file.data);
    }
    std::vector<std::string> command = {"genisoimage", "-quiet"};
    command.insert(command.end(), flags.begin(), flags.end());
    command.insert(command.end(), {"-o", work.at("disc.iso"), work.at("src")});
    const RunResult made = run_program(command);
    EXPECT_EQ(made.exit_code, 0) << made.err;
    write_text(work.at("disc.cue"), "FILE \"disc.iso\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n");
    return work.at("disc.cue");
}

class MasteredJoliet : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!have_program("genisoimage"))
            GTEST_SKIP() << "genisoimage is not installed";
    }
};

TEST_P(MasteredJoliet, UnpacksTheSourceTreeUnderItsJolietNames) {
    const bool long_names = GetParam();
    TempDir work;
    const std::vector<SourceFile> files = source_files(long_names);
    const std::vector<std::string> flags =
        long_names ? std::vector<std::string>{"-J", "-joliet-long"} : std::vector<std::string>{"-J"};
    const std::string cue = master(work, files, flags);

    const RunResult run = run_program({cdunpack_binary(), "-q", "--names=joliet", cue, work.at("out")});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, std::to_string(files.size()) + " files\n");
    EXPECT_EQ(list_tree(work.at("out")), list_tree(work.at("src")));
    for (const SourceFile &file : files)
        EXPECT_EQ(read_file(work.at("out/" + file.path)), file.data) << file.path;

    // The default keeps the ISO 9660 names of the same volume.
    const RunResult iso = run_program({cdunpack_binary(), "-q", cue, work.at("iso")});
    ASSERT_EQ(iso.exit_code, 0) << iso.err;
    EXPECT_EQ(read_file(work.at("iso/README_F.TXT")), files[0].data);
    EXPECT_TRUE(path_exists(work.at("iso/SUB_DIR/NESTED_F.BIN")));

    // The listing shows the names chosen.
    const RunResult listed = run_program({cdunpack_binary(), "--names=joliet", "--list", cue});
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    for (const SourceFile &file : files)
        EXPECT_NE(listed.out.find("  " + file.path + "\n"), std::string::npos) << file.path;
}

INSTANTIATE_TEST_SUITE_P(Joliet, MasteredJoliet, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("joliet_long") : std::string("joliet");
                         });

TEST_F(MasteredJoliet, LookupsTakeTheJolietNamesIgnoringAsciiCase) {
    TempDir work;
    const std::vector<SourceFile> files = source_files(false);
    const std::string cue = master(work, files, {"-J"});
    Handle handle;
    cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_MESSAGES, 0);
    cdimage_handle_set_option(handle.h, CDIMAGE_OPTION_NAMES, CDIMAGE_NAMES_JOLIET);
    ASSERT_EQ(cdimage_handle_open(handle.h, cue.c_str(), work.at("out").c_str()), 1);

    char out_path[4096];
    ASSERT_EQ(cdimage_handle_extract_file(handle.h, "README FOR THE INSTALLER.TXT", out_path, sizeof out_path), 1);
    EXPECT_EQ(std::string(out_path), work.at("out/Readme for the Installer.txt"));
    EXPECT_EQ(read_file(out_path), files[0].data);
    uint32_t length = 0;
    void *loaded = cdimage_handle_load_file(handle.h, "sub dir/nested file.BIN", &length);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(loaded), static_cast<uint8_t *>(loaded) + length), files[4].data);
    std::free(loaded);
    // Only ASCII letters fold: "è" is not "È"; the ISO name is no Joliet name.
    EXPECT_EQ(cdimage_handle_load_file(handle.h, "TR\xC3\x88S LONG NOM \xC3\xA9\xC3\xA8\xC3\xA0.TXT", &length), nullptr);
    void *accented = cdimage_handle_load_file(handle.h, "TR\xC3\xA8S LONG NOM \xC3\xA9\xC3\xA8\xC3\xA0.TXT", &length);
    EXPECT_NE(accented, nullptr);
    std::free(accented);
    EXPECT_EQ(cdimage_handle_load_file(handle.h, "README_F.TXT", &length), nullptr);
}

TEST_F(MasteredJoliet, VolumeWithoutJolietNamesGivesOneLineAndWritesNothing) {
    TempDir work;
    const std::string cue = master(work, source_files(false), {});
    const RunResult run = run_program({cdunpack_binary(), "--names=joliet", cue, work.at("out")});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "cdunpack: " + cue + ": the volume has no Joliet names\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(list_tree(work.at("out")), std::vector<std::string>{});

    const RunResult listed = run_program({cdunpack_binary(), "--list", "--names=joliet", cue});
    EXPECT_EQ(listed.exit_code, 1);
    EXPECT_EQ(listed.err, "cdunpack: " + cue + ": the volume has no Joliet names\n");
    EXPECT_EQ(listed.out, "");
}

}  // namespace
