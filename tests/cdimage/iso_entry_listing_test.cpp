// Listing the volume's entries in table order: count, name, size and kind.
#include "module_view.h"
#include "fixtures.h"
#include "test_image.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct Listed {
    std::string name;
    uint64_t size;
    int is_dir;
    bool operator==(const Listed &other) const
    {
        return name == other.name && size == other.size && is_dir == other.is_dir;
    }
};

std::ostream &operator<<(std::ostream &out, const Listed &entry)
{
    return out << entry.name << " " << entry.size << (entry.is_dir ? " dir" : " file");
}

std::vector<Listed> listing()
{
    std::vector<Listed> entries;
    for (int i = 0; i < cdimage_entry_count(); ++i) {
        const char *name = nullptr;
        uint64_t size = 0;
        int is_dir = -1;
        EXPECT_EQ(cdimage_entry_info(i, &name, &size, &is_dir), 1) << i;
        entries.push_back({name, size, is_dir});
    }
    return entries;
}

class EntryListing : public testing::Test {
protected:
    void SetUp() override
    {
        Bytes volume = build_iso_volume({
            iso_file("B.TXT;1", Bytes(5000, 'b')),
            iso_dir("DOCS", {iso_file("GUIDE.TXT;1", Bytes(7, 'g')), iso_dir("EMPTY", {})}),
            iso_file("A.TXT;1", {}),
        });
        cue = write_data_image(tmp.path, volume, SectorMode::MODE1_2352, 150);
    }
    void TearDown() override { cdimage_close(); }
    TempDir tmp;
    std::string cue;
};

TEST_F(EntryListing, GivesEveryEntryInTableOrderWithSizeAndKind)
{
    ASSERT_EQ(open_quietly(cue), 1);
    // Records in disc order, a directory's contents right behind it;
    // directories carry the size of their records' extent.
    EXPECT_EQ(listing(), (std::vector<Listed>{{"B.TXT", 5000, 0},
                                              {"DOCS", ISO_SECTOR, 1},
                                              {"DOCS/GUIDE.TXT", 7, 0},
                                              {"DOCS/EMPTY", ISO_SECTOR, 1},
                                              {"A.TXT", 0, 0}}));
    // The listing is the table that the lookups use.
    EXPECT_EQ(cdimage_entry_count(), entry_count());
}

TEST_F(EntryListing, AnyOutParameterMayBeNull)
{
    ASSERT_EQ(open_quietly(cue), 1);
    const char *name = nullptr;
    uint64_t size = 0;
    int is_dir = 0;
    EXPECT_EQ(cdimage_entry_info(1, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(cdimage_entry_info(1, &name, nullptr, nullptr), 1);
    EXPECT_STREQ(name, "DOCS");
    EXPECT_EQ(cdimage_entry_info(0, nullptr, &size, nullptr), 1);
    EXPECT_EQ(size, 5000u);
    EXPECT_EQ(cdimage_entry_info(3, nullptr, nullptr, &is_dir), 1);
    EXPECT_EQ(is_dir, 1);
}

TEST_F(EntryListing, IndexOutsideTheTableWritesNothing)
{
    ASSERT_EQ(open_quietly(cue), 1);
    for (int index : {-1, 5, INT_MAX, INT_MIN}) {
        const char *name = "untouched";
        uint64_t size = 77;
        int is_dir = 3;
        EXPECT_EQ(cdimage_entry_info(index, &name, &size, &is_dir), 0) << index;
        EXPECT_STREQ(name, "untouched") << index;
        EXPECT_EQ(size, 77u) << index;
        EXPECT_EQ(is_dir, 3) << index;
    }
}

TEST_F(EntryListing, NothingIsListedWithoutAnOpenImage)
{
    struct Case {
        const char *what;
        void (*leave_closed)(const std::string &cue);
    };
    const Case cases[] = {
        {"closed after an open",
         [](const std::string &cue) {
             open_quietly(cue);
             cdimage_close();
         }},
        {"failed open after an open",
         [](const std::string &cue) {
             open_quietly(cue);
             open_quietly(cue + ".missing");
         }},
    };
    for (const Case &c : cases) {
        c.leave_closed(cue);
        ASSERT_EQ(cdimage_is_open(), 0) << c.what;
        const char *name = "untouched";
        EXPECT_EQ(cdimage_entry_count(), 0) << c.what;
        EXPECT_EQ(cdimage_entry_info(0, &name, nullptr, nullptr), 0) << c.what;
        EXPECT_STREQ(name, "untouched") << c.what;
    }
}

TEST_F(EntryListing, ImageWithoutAVolumeListsNothing)
{
    write_sectors(tmp.at("blank.bin"), 40);
    write_text(tmp.at("blank.cue"), "FILE blank.bin BINARY\nTRACK 01 MODE1/2352\nINDEX 01 00:00:00\n");
    ASSERT_EQ(open_quietly(tmp.at("blank.cue")), 1);
    EXPECT_EQ(cdimage_entry_count(), 0);
    EXPECT_EQ(cdimage_entry_info(0, nullptr, nullptr, nullptr), 0);
}

}  // namespace
