// The exFAT allocation table: entry classes, chains into extents (loops
// included), the root directory's extents, and loading the table and the
// allocation bitmap from a device.
#include <gtest/gtest.h>

#include "exfat/allocation_bitmap.h"
#include "exfat/allocation_table.h"
#include "ntfs/ntfs_bitmap.h"
#include "tests/exfat/exfat_test_images.h"
#include "tests/support/files.h"

namespace ostrel {
namespace {

using exfat::allocation_table;
using exfat::entry_class;
using test::exfat_layout;
using test::put32;
using test::put64;

// A table of `entries` entries, all free except those given.
allocation_table table_of(size_t entries, std::initializer_list<std::pair<uint32_t, uint32_t>> values) {
    std::vector<uint8_t> bytes(entries * 4, 0);
    for (const auto& [index, value] : values) put32(bytes, index * 4, value);
    return allocation_table(std::move(bytes));
}

constexpr uint32_t end_of_chain = 0xFFFFFFFF;

TEST(ExfatTable, ClassifiesEntriesAsStoredWithoutMaskingTheTopBits) {
    const allocation_table table = table_of(16, {{1, 1},
                                                 {2, 2},
                                                 {3, 0x0FFFFFEF},
                                                 {4, 0x0FFFFFF0},
                                                 {5, 0x0FFFFFF6},
                                                 {6, 0x0FFFFFF7},
                                                 {7, 0x0FFFFFF8},
                                                 {8, 0xFFFFFFFF},
                                                 {9, 0xFFFFFFF7},
                                                 {10, 0x10000005}});
    EXPECT_EQ(table.classify(0).kind, entry_class::free);
    EXPECT_EQ(table.classify(1).kind, entry_class::invalid);
    EXPECT_EQ(table.classify(2).kind, entry_class::next);
    EXPECT_EQ(table.classify(3).kind, entry_class::next);
    EXPECT_EQ(table.classify(3).value, 0x0FFFFFEFu);
    EXPECT_EQ(table.classify(4).kind, entry_class::reserved);
    EXPECT_EQ(table.classify(5).kind, entry_class::reserved);
    EXPECT_EQ(table.classify(6).kind, entry_class::bad);
    EXPECT_EQ(table.classify(7).kind, entry_class::end);
    EXPECT_EQ(table.classify(8).kind, entry_class::end);
    EXPECT_EQ(table.classify(9).kind, entry_class::end);   // the top bits count
    EXPECT_EQ(table.classify(10).kind, entry_class::end);  // likewise
    // Beyond the table: end of chain, value all ones.
    EXPECT_EQ(table.classify(16).kind, entry_class::end);
    EXPECT_EQ(table.classify(16).value, end_of_chain);
    EXPECT_EQ(table.classify(UINT64_MAX).kind, entry_class::end);
    EXPECT_EQ(allocation_table().classify(0).kind, entry_class::end);
}

TEST(ExfatTable, ChainsBecomeRunsOfConsecutiveClusters) {
    const allocation_table table =
        table_of(64, {{10, 11}, {11, 12}, {12, end_of_chain}, {5, 6}, {6, 7}, {7, 9}, {9, end_of_chain},
                      {20, 21}, {21, 0x0FFFFFF7}, {30, 40}, {40, 1}, {50, 51}, {51, 1000}});
    EXPECT_EQ(exfat::follow_chain(table, 10), (run_list{{10, 3}}));
    EXPECT_EQ(exfat::follow_chain(table, 5), (run_list{{5, 3}, {9, 1}}));
    // A deleted file whose entries are free still gives its first cluster.
    EXPECT_EQ(exfat::follow_chain(table, 33), (run_list{{33, 1}}));
    EXPECT_TRUE(exfat::follow_chain(table, 0).empty());
    // Bad and invalid entries end the chain after their run is kept.
    EXPECT_EQ(exfat::follow_chain(table, 20), (run_list{{20, 2}}));
    EXPECT_EQ(exfat::follow_chain(table, 30), (run_list{{30, 1}, {40, 1}}));
    // A chain leaving the table ends there.
    EXPECT_EQ(exfat::follow_chain(table, 50), (run_list{{50, 2}, {1000, 1}}));
}

TEST(ExfatTable, LoopingChainsEnd) {
    const allocation_table self_loop = table_of(8, {{3, 3}});
    EXPECT_FALSE(exfat::follow_chain(self_loop, 3).empty());
    const allocation_table cycle = table_of(1024, {{5, 6}, {6, 5}});
    const run_list runs = exfat::follow_chain(cycle, 5);
    EXPECT_GE(runs.size(), 2u);
    EXPECT_LE(runs.size(), 1025u);
    EXPECT_EQ(runs[0], (data_run{5, 2}));
}

TEST(ExfatTable, RootExtentsDependOnTheRootEntryAndTheBitmap) {
    const allocation_table table = table_of(32, {{4, 5}, {5, end_of_chain}, {7, end_of_chain}, {8, 0x0FFFFFF7}});
    EXPECT_EQ(exfat::root_directory_extents(table, nullptr, 4), (run_list{{4, 2}}));
    EXPECT_EQ(exfat::root_directory_extents(table, nullptr, 7), (run_list{{7, 1}}));
    EXPECT_EQ(exfat::root_directory_extents(table, nullptr, 8), (run_list{{8, 1}}));
    // A free root entry: taken, with no clusters, only when the bitmap bit
    // numbered by the cluster itself is set.
    std::vector<uint8_t> bits(4, 0);
    bits[1] = 0x08;  // bit 11
    const ntfs_bitmap bitmap(bits);
    EXPECT_EQ(exfat::root_directory_extents(table, &bitmap, 11), (run_list{{11, 0}}));
    EXPECT_TRUE(exfat::root_directory_extents(table, &bitmap, 12).empty());
    EXPECT_TRUE(exfat::root_directory_extents(table, nullptr, 11).empty());
    // Past the table reads as end of chain.
    EXPECT_EQ(exfat::root_directory_extents(table, &bitmap, 1000), (run_list{{1000, 1}}));
}

TEST(ExfatRootSector, BitmapEntryAndRootDirectoryLook) {
    std::vector<uint8_t> sector(512, 0);
    const byte_view view(sector.data(), sector.size());
    EXPECT_FALSE(exfat::looks_like_root_directory(view));
    EXPECT_FALSE(exfat::find_bitmap_entry(view));
    sector[0] = 0x83;
    EXPECT_TRUE(exfat::looks_like_root_directory(view));
    sector[0] = 0x82;  // an up-case table and then the end
    EXPECT_FALSE(exfat::looks_like_root_directory(view));
    sector[32] = 0x81;
    EXPECT_TRUE(exfat::looks_like_root_directory(view));
    EXPECT_EQ(exfat::find_bitmap_entry(view), std::optional<size_t>(32));
    // Entries in use to the sector's end, none of them a bitmap or label.
    std::fill(sector.begin(), sector.end(), 0x85);
    EXPECT_FALSE(exfat::looks_like_root_directory(view));
    EXPECT_FALSE(exfat::find_bitmap_entry(view));
    sector[480] = 0x81;  // the last entry
    EXPECT_EQ(exfat::find_bitmap_entry(view), std::optional<size_t>(480));
    // The first entry is not taken as the end; a later end entry stops the look.
    std::fill(sector.begin(), sector.end(), 0);
    sector[32] = 0x81;
    EXPECT_EQ(exfat::find_bitmap_entry(view), std::optional<size_t>(32));
    sector[32] = 0x00;
    sector[64] = 0x81;
    EXPECT_FALSE(exfat::find_bitmap_entry(view));
    EXPECT_FALSE(exfat::find_bitmap_entry(byte_view(sector.data(), 31)));
}

class ExfatLoading : public ::testing::Test {
protected:
    void open(const std::vector<uint8_t>& image) {
        file.reset();
        test::write_file(dir / "volume.img", image);
        file = std::make_unique<test::open_file>(dir / "volume.img");
    }
    test::scratch_dir dir;
    std::unique_ptr<test::open_file> file;
};

TEST_F(ExfatLoading, TheTableEndsWhereTheReadEnded) {
    std::vector<uint8_t> image = test::exfat_volume_image();
    open(image);
    std::shared_ptr<allocation_table> table;
    EXPECT_EQ(exfat::load_allocation_table(file->fd(), exfat_layout::fat_pos, 4096, table), exfat::table_load::loaded);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->entry_count(), 1024u);
    EXPECT_EQ(table->classify(4).kind, entry_class::end);
    EXPECT_EQ(table->classify(5).kind, entry_class::free);

    // A table running past the device: what was read is the table.
    const uint64_t near_end = image.size() - 512;
    EXPECT_EQ(exfat::load_allocation_table(file->fd(), near_end, uint64_t(1) << 40, table), exfat::table_load::loaded);
    EXPECT_EQ(table->byte_size(), 512u);
    // Nothing readable: no table.
    EXPECT_EQ(exfat::load_allocation_table(file->fd(), image.size(), 4096, table), exfat::table_load::unreadable);
    EXPECT_FALSE(table);
    EXPECT_EQ(exfat::load_allocation_table(-1, 0, 4096, table), exfat::table_load::unreadable);
}

TEST_F(ExfatLoading, TheBitmapIsReadInWholeSectors) {
    const exfat_geometry geometry = parse_exfat_geometry(test::exfat_boot_sector());
    // DataLength 1000 is read as 1024 bytes.
    std::vector<uint8_t> image = test::exfat_volume_image(1000);
    open(image);
    auto bitmap = exfat::load_allocation_bitmap(file->fd(), geometry, 0);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->byte_size(), 1024u);
    EXPECT_EQ(bitmap->bytes()[1], 0xA1);

    // The bitmap's cluster past the device: the read falls short.
    put32(image, exfat_layout::root_pos + 32 + 20, 100000);
    open(image);
    EXPECT_FALSE(exfat::load_allocation_bitmap(file->fd(), geometry, 0));
    // Cluster 1 names no position.
    put32(image, exfat_layout::root_pos + 32 + 20, 1);
    open(image);
    EXPECT_FALSE(exfat::load_allocation_bitmap(file->fd(), geometry, 0));
    // A length no volume needs, and one whose rounding would overflow.
    for (uint64_t length : {uint64_t(1) << 40, UINT64_MAX}) {
        put32(image, exfat_layout::root_pos + 32 + 20, 2);
        put64(image, exfat_layout::root_pos + 32 + 24, length);
        open(image);
        EXPECT_FALSE(exfat::load_allocation_bitmap(file->fd(), geometry, 0));
    }
    // No bitmap entry before the end of the root's entries.
    image = test::exfat_volume_image();
    image[exfat_layout::root_pos + 32] = 0x00;
    open(image);
    EXPECT_FALSE(exfat::load_allocation_bitmap(file->fd(), geometry, 0));
}

}  // namespace
}  // namespace ostrel
