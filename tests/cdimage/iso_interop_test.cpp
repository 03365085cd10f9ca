// Volumes mastered by real tools, stored every way a data track can be,
// unpacked by the command-line tool: every file comes out byte for byte.
#include "module_view.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>

namespace {

struct Master {
    const char *label;
    std::vector<std::string> command;  // the source directory and "-o <iso>" follow
};

const Master MASTERS[] = {
    {"genisoimage", {"genisoimage", "-quiet"}},
    {"genisoimage_rock_ridge_joliet", {"genisoimage", "-quiet", "-R", "-J"}},
    {"xorriso_mkisofs", {"xorriso", "-as", "mkisofs", "-quiet", "-R", "-J"}},
};

enum class Container { MODE1_2352, MODE2_2352, MODE2_2336, MODE1_2048, WAVE };

struct InteropCase {
    size_t master;
    Container container;
};

std::string container_label(Container c) {
    switch (c) {
    case Container::MODE1_2352: return "MODE1_2352";
    case Container::MODE2_2352: return "MODE2_2352";
    case Container::MODE2_2336: return "MODE2_2336";
    case Container::MODE1_2048: return "MODE1_2048";
    case Container::WAVE: return "WAVE";
    }
    return "";
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The source tree, by path relative to its root, in lower case.
std::map<std::string, Bytes> source_files() {
    std::map<std::string, Bytes> files = {
        {"readme.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"empty.dat", {}},
        {"one.dat", pattern(1, 1)},
        {"s2047.dat", pattern(2047, 2)},
        {"s2048.dat", pattern(2048, 3)},
        {"s2049.dat", pattern(2049, 4)},
        {"big.dat", pattern(300000, 5)},
        {"noext", pattern(5, 6)},
        {"docs/guide.txt", pattern(700, 7)},
        {"docs/deep/a/b/c/leaf.txt", pattern(4100, 8)},
    };
    // Enough records for the directory to need two sectors.
    for (int i = 0; i < 80; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "docs/many/f%03d.txt", i);
        files[name] = pattern(static_cast<size_t>(i) * 3, static_cast<uint8_t>(i));
    }
    return files;
}

// 2001-02-03 04:05:06 UTC: the source files' time, which the masters record.
constexpr int64_t SOURCE_TIME = 981173106;

void set_mtime(const std::string &path, int64_t seconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

int64_t mtime_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

// Writes the files below root, making their directories; gives the sorted
// listing the output tree must have: upper-case paths, directories with a
// trailing '/'.
std::vector<std::string> write_source_tree(const std::string &root, const std::map<std::string, Bytes> &files) {
    std::vector<std::string> tree;
    mkdir(root.c_str(), 0755);
    for (const auto &file : files) {
        for (size_t slash = file.first.find('/'); slash != std::string::npos; slash = file.first.find('/', slash + 1)) {
            const std::string dir = file.first.substr(0, slash);
            if (mkdir((root + "/" + dir).c_str(), 0755) == 0)
                tree.push_back(upper(dir) + "/");
        }
        write_file(root + "/" + file.first, file.second);
        tree.push_back(upper(file.first));
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

class IsoInterop : public testing::TestWithParam<InteropCase> {};

TEST_P(IsoInterop, EveryFileComesOutUnderItsUpperCaseName) {
    const Master &master = MASTERS[GetParam().master];
    if (!have_program(master.command[0]))
        GTEST_SKIP() << master.command[0] << " not installed";
    TempDir tmp;
    const std::map<std::string, Bytes> files = source_files();
    std::vector<std::string> expected_tree;
    mkdir(tmp.at("src").c_str(), 0755);
    for (const auto &file : files) {
        for (size_t slash = file.first.find('/'); slash != std::string::npos; slash = file.first.find('/', slash + 1)) {
            const std::string dir = file.first.substr(0, slash);
            mkdir(tmp.at("src/" + dir).c_str(), 0755);
            if (std::find(expected_tree.begin(), expected_tree.end(), upper(dir) + "/") == expected_tree.end())
                expected_tree.push_back(upper(dir) + "/");
        }
        write_file(tmp.at("src/" + file.first), file.second);
        set_mtime(tmp.at("src/" + file.first), SOURCE_TIME);
        expected_tree.push_back(upper(file.first));
    }
    std::sort(expected_tree.begin(), expected_tree.end());
    const size_t directories = 6;
    ASSERT_EQ(expected_tree.size(), files.size() + directories);

    std::vector<std::string> command = master.command;
    command.insert(command.end(), {"-o", tmp.at("vol.iso"), tmp.at("src")});
    RunResult mastered = run_program(command);
    ASSERT_EQ(mastered.exit_code, 0) << mastered.err;
    const Bytes volume = read_file(tmp.at("vol.iso"));

    std::string cue;
    switch (GetParam().container) {
    case Container::MODE1_2352: cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2352, 150); break;
    case Container::MODE2_2352: cue = write_data_image(tmp.path, volume, SectorMode::MODE2_2352, 150); break;
    case Container::MODE2_2336: cue = write_data_image(tmp.path, volume, SectorMode::MODE2_2336, 150); break;
    case Container::MODE1_2048: cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2048, 150); break;
    case Container::WAVE: cue = write_wave_data_image(tmp.path, volume); break;
    }

    RunResult run = run_program({cdunpack_binary(), cue, tmp.at("out")});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, std::to_string(files.size()) + " files\n");
    EXPECT_EQ(run.err, "cdimage: " + cue + ", 1 tracks, " + std::to_string(expected_tree.size()) + " files\n");
    ASSERT_EQ(list_tree(tmp.at("out")), expected_tree);
    for (const auto &file : files) {
        EXPECT_EQ(read_file(tmp.at("out/" + upper(file.first))), file.second) << file.first;
        EXPECT_EQ(mtime_of(tmp.at("out/" + upper(file.first))), SOURCE_TIME) << file.first;
    }
}

std::vector<InteropCase> all_cases() {
    std::vector<InteropCase> cases;
    for (size_t m = 0; m < sizeof MASTERS / sizeof MASTERS[0]; ++m)
        for (Container c : {Container::MODE1_2352, Container::MODE2_2352, Container::MODE2_2336,
                            Container::MODE1_2048, Container::WAVE})
            cases.push_back({m, c});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Masters, IsoInterop, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<InteropCase> &info) {
                             return std::string(MASTERS[info.param.master].label) + "_" +
                                    container_label(info.param.container);
                         });

// Trees that real discs have and the volume's first limits did not take: 12
// levels without relocation, a path of over 300 characters, and 5,000 files.
class IsoInteropTrees : public testing::TestWithParam<size_t> {};

const Master TREE_MASTERS[] = {
    {"genisoimage", {"genisoimage", "-quiet", "-D", "-l"}},
    {"xorriso_mkisofs", {"xorriso", "-as", "mkisofs", "-quiet", "-D", "-l"}},
};

TEST_P(IsoInteropTrees, DeepLongAndWideTreesComeOutWhole) {
    const Master &master = TREE_MASTERS[GetParam()];
    if (!have_program(master.command[0]))
        GTEST_SKIP() << master.command[0] << " not installed";
    TempDir tmp;
    std::map<std::string, Bytes> files;
    std::string deep;
    for (int level = 1; level <= 12; ++level)
        deep += "level" + std::to_string(level) + "/";
    files[deep + "leaf.txt"] = pattern(3000, 1);
    std::string long_path;
    for (int component = 0; component < 10; ++component)
        long_path += "component_with_30_characters_" + std::to_string(component) + "/";
    files[long_path + "f.txt"] = pattern(10, 2);
    ASSERT_GE(long_path.size() + 5, 300u);
    for (int d = 0; d < 50; ++d) {
        for (int f = 0; f < 100; ++f) {
            char name[32];
            std::snprintf(name, sizeof name, "wide/d%02d/f%03d.txt", d, f);
            files[name] = pattern(static_cast<size_t>(f % 7), static_cast<uint8_t>(d + f));
        }
    }
    const std::vector<std::string> expected_tree = write_source_tree(tmp.at("src"), files);

    std::vector<std::string> command = master.command;
    command.insert(command.end(), {"-o", tmp.at("vol.iso"), tmp.at("src")});
    RunResult mastered = run_program(command);
    ASSERT_EQ(mastered.exit_code, 0) << mastered.err;
    const std::string cue = write_data_image(tmp.path, read_file(tmp.at("vol.iso")), SectorMode::MODE1_2048);

    RunResult run = run_program({cdunpack_binary(), cue, tmp.at("out")});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, std::to_string(files.size()) + " files\n");
    EXPECT_EQ(run.err, "cdimage: " + cue + ", 1 tracks, " + std::to_string(expected_tree.size()) + " files\n");
    ASSERT_EQ(list_tree(tmp.at("out")), expected_tree);
    for (const auto &file : files)
        EXPECT_EQ(read_file(tmp.at("out/" + upper(file.first))), file.second) << file.first;
}

INSTANTIATE_TEST_SUITE_P(Masters, IsoInteropTrees, testing::Range(size_t{0}, sizeof TREE_MASTERS / sizeof TREE_MASTERS[0]),
                         [](const testing::TestParamInfo<size_t> &info) { return std::string(TREE_MASTERS[info.param].label); });

}  // namespace
