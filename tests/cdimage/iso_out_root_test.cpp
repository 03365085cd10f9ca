// Output directories whose path is longer than the module records: nothing
// may be written under the cut path, which names another directory.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// base followed by components of at most 200 characters, `length`
// characters in all.
std::string path_of_length(const std::string &base, size_t length) {
    std::string path = base;
    char letter = 'a';
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        size_t component = room > 250 ? 200 : room;
        path += "/" + std::string(component, letter++);
    }
    EXPECT_EQ(path.size(), length);
    return path;
}

void make_directories(const std::string &path) {
    RunResult made = run_program({"mkdir", "-p", path});
    ASSERT_EQ(made.exit_code, 0) << made.err;
}

class OutRoot : public testing::Test {
protected:
    void SetUp() override {
        cue = write_data_image(tmp.path,
                               build_iso_volume({iso_file("A.TXT;1", Bytes{'a'}),
                                                 iso_dir("DOCS", {iso_file("B.TXT;1", Bytes{'b'})})}),
                               SectorMode::MODE1_2352);
    }
    void TearDown() override { cdimage_close(); }
    void open(const std::string &out) { ASSERT_EQ(open_quietly(cue, out), 1); }
    // Every extraction call refuses, and nothing appears anywhere.
    void expect_nothing_extracted() {
        const std::vector<std::string> before = list_tree(tmp.path);
        char path[8192];
        EXPECT_EQ(cdimage_extract_all(), 0);
        EXPECT_EQ(cdimage_extract_file("A.TXT", path, sizeof path), 0);
        EXPECT_EQ(cdimage_extract_file("docs/b.txt", path, sizeof path), 0);
        EXPECT_EQ(cdimage_extract_file("DOCS", path, sizeof path), 0);
        EXPECT_EQ(list_tree(tmp.path), before);
    }
    TempDir tmp;
    std::string cue;
};

TEST_F(OutRoot, CutPathNamingAnExistingSiblingGetsNothing) {
    const std::string out = path_of_length(tmp.path, 1010) + "/output_directory_given";
    // The first 1023 characters name ".../output_direc", which exists.
    const std::string cut = out.substr(0, 1023);
    ASSERT_EQ(cut.substr(cut.rfind('/')), "/output_direc");
    make_directories(cut);
    make_directories(out);
    open(out);
    expect_nothing_extracted();
    // Loading and the track queries do not depend on the output directory.
    uint32_t length = 0;
    void *data = cdimage_load_file("DOCS/B.TXT", &length);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(static_cast<char *>(data)[0], 'b');
    std::free(data);
    EXPECT_EQ(cdimage_track_count(), 1);
}

TEST_F(OutRoot, PathOf1024CharactersIsCut) {
    open(path_of_length(tmp.path, 1024));
    expect_nothing_extracted();
}

TEST_F(OutRoot, PathOf1023CharactersIsKept) {
    // The output directory exists, as the tool creates it.
    const std::string out = path_of_length(tmp.path, 1023);
    make_directories(out);
    open(out);
    char path[8192];
    ASSERT_EQ(cdimage_extract_file("a.txt", path, sizeof path), 1);
    EXPECT_EQ(std::string(path), out + "/A.TXT");
    EXPECT_EQ(read_file(path), Bytes{'a'});
    EXPECT_EQ(cdimage_extract_all(), 2);
    EXPECT_EQ(read_file(out + "/DOCS/B.TXT"), Bytes{'b'});
}

TEST_F(OutRoot, ExtractAllTakesPathsBeyond1023Characters) {
    cue = write_data_image(
        tmp.path,
        build_iso_volume({iso_file("A.TXT;1", Bytes{'a'}), iso_file("LONG_FILE_NAME_0123456789.TXT;1", Bytes{'l'})}),
        SectorMode::MODE1_2048, 0, "long");
    // 1000 + "/A.TXT" fits in 1024 bytes; the long name's path does not,
    // and still comes out.
    const std::string out = path_of_length(tmp.path, 1000);
    open(out);
    EXPECT_EQ(cdimage_extract_all(), 2);
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"A.TXT", "LONG_FILE_NAME_0123456789.TXT"}));
    EXPECT_EQ(read_file(out + "/LONG_FILE_NAME_0123456789.TXT"), Bytes{'l'});
}

}  // namespace
