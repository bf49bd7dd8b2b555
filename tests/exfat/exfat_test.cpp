// The exFAT engine without its scan: table entries and chains (loops and
// chains leaving the table included), the root directory's extents and first
// sector, loading the table and bitmap, and the check volume discovery makes.
#include <gtest/gtest.h>

#include "exfat/allocation_bitmap.h"
#include "exfat/exfat_recover.h"
#include "tests/exfat/exfat_test_images.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using exfat::allocation_table;
using exfat::entry_class;
using test::put;
namespace layout = test::exfat_layout;

// A table of `entries` entries, free except those given.
allocation_table table_of(size_t entries, std::initializer_list<std::pair<uint32_t, uint32_t>> values) {
    std::vector<uint8_t> bytes(entries * 4, 0);
    for (const auto& [index, value] : values) put(bytes, index * 4, value, 4);
    return allocation_table(std::move(bytes));
}

TEST(ExfatTable, ClassifiesEntriesAsStoredWithoutMaskingTheTopBits) {
    using enum entry_class;
    const std::pair<uint32_t, entry_class> cases[] = {
        {0, free},         {1, invalid},         {2, next},       {0x0FFFFFEF, next}, {0x0FFFFFF0, reserved},
        {0x0FFFFFF6, reserved}, {0x0FFFFFF7, bad}, {0x0FFFFFF8, end}, {0xFFFFFFF7, end}, {0x10000005, end}};
    for (const auto& [value, kind] : cases) {
        const auto entry = table_of(4, {{3, value}}).classify(3);
        EXPECT_TRUE(entry.kind == kind && entry.value == value) << std::hex << value;
    }
    // Beyond the table: end of chain, all ones.
    EXPECT_EQ(table_of(4, {}).classify(4).value, 0xFFFFFFFFu);
    EXPECT_EQ(table_of(4, {}).classify(UINT64_MAX).kind, end);
}

TEST(ExfatTable, ChainsBecomeRunsOfConsecutiveClustersAndAlwaysEnd) {
    const allocation_table table = table_of(64, {{5, 6}, {6, 7}, {7, 9}, {9, 0xFFFFFFFF}, {20, 21}, {21, 0x0FFFFFF7},
                                                 {30, 40}, {40, 1}, {50, 51}, {51, 1000},  // leaves the table
                                                 {60, 60}, {61, 62}, {62, 61}});          // loops
    // A free first entry (a deleted file) still gives its cluster; a bad or
    // invalid entry, or one leaving the table, ends the chain after its run.
    const std::pair<uint32_t, run_list> cases[] = {{5, {{5, 3}, {9, 1}}},   {33, {{33, 1}}}, {0, {}}, {20, {{20, 2}}},
                                                   {30, {{30, 1}, {40, 1}}}, {50, {{50, 2}, {1000, 1}}}};
    for (const auto& [first, runs] : cases) EXPECT_EQ(exfat::follow_chain(table, first), runs) << first;
    // Loops end before their first repeated cluster.
    EXPECT_EQ(exfat::follow_chain(table, 60), (run_list{{60, 1}}));
    EXPECT_EQ(exfat::follow_chain(table, 61), (run_list{{61, 2}}));
    EXPECT_EQ(exfat::follow_chain(table_of(64, {{5, 9}, {9, 6}, {6, 7}, {7, 9}}), 5), (run_list{{5, 1}, {9, 1}, {6, 2}}));
}

TEST(ExfatTable, RootExtentsFollowTheRootEntryOrElseTheBitmap) {
    const allocation_table table = table_of(32, {{4, 5}, {5, 0xFFFFFFFF}});
    const ntfs_bitmap bitmap(std::vector<uint8_t>{0x00, 0x08});  // bit 11
    EXPECT_EQ(exfat::root_directory_extents(table, nullptr, 4), (run_list{{4, 2}}));
    EXPECT_EQ(exfat::root_directory_extents(table, &bitmap, 1000), (run_list{{1000, 1}}));  // past the table: end
    // A free root entry is taken, with no clusters, only when its bit is set.
    EXPECT_EQ(exfat::root_directory_extents(table, &bitmap, 11), (run_list{{11, 0}}));
    EXPECT_TRUE(exfat::root_directory_extents(table, &bitmap, 12).empty());
    EXPECT_TRUE(exfat::root_directory_extents(table, nullptr, 11).empty());
}

TEST(ExfatRootSector, FindsTheBitmapEntryAndTellsARootDirectory) {
    std::vector<uint8_t> busy(16, 0x85), busy_then_bitmap = busy;
    busy_then_bitmap[15] = 0x81;
    // Entry types from the sector's start; the bitmap entry's offset; whether
    // the sector opens like a root directory. The first entry is never taken
    // as the end by the bitmap search.
    const std::tuple<std::vector<uint8_t>, std::optional<size_t>, bool> cases[] = {
        {{}, {}, false},     {{0x83}, {}, true},          {{0x82}, {}, false},       {{0x82, 0x81}, 32, true},
        {{0x81}, 0, true},   {{0x00, 0x81}, 32, false},   {{0x85, 0x00, 0x81}, {}, false},
        {busy, {}, false},   {busy_then_bitmap, 480, true}};
    for (const auto& [types, bitmap, root] : cases) {
        std::vector<uint8_t> sector(512, 0);
        for (size_t i = 0; i < types.size(); ++i) sector[32 * i] = types[i];
        EXPECT_EQ(exfat::find_bitmap_entry(byte_view(sector)), bitmap) << testing::PrintToString(types);
        EXPECT_EQ(exfat::looks_like_root_directory(byte_view(sector)), root) << testing::PrintToString(types);
    }
    EXPECT_FALSE(exfat::find_bitmap_entry(byte_view(std::vector<uint8_t>{0x85, 0, 0, 0})));  // a cut sector
}

class ExfatOnImage : public ::testing::Test {
protected:
    std::unique_ptr<exfat_recover> engine_on(const std::vector<uint8_t>& image,
                                             const _boot_sector& boot = test::exfat_boot_sector(),
                                             uint64_t offset = 0) {
        test::write_file(dir / "volume.img", image);
        const test::open_file file(dir / "volume.img");
        return std::make_unique<exfat_recover>(file.fd(), std::make_shared<const _boot_sector>(boot), offset, true);
    }
    bool validates(const std::vector<uint8_t>& image, const _boot_sector& boot = test::exfat_boot_sector(),
                   uint64_t offset = 0) {
        return engine_on(image, boot, offset)->validate();
    }

    test::recording_host host;
    test::scratch_dir dir;
};

TEST_F(ExfatOnImage, PositionsFollowTheBootSectorAndThereAreNoneWithoutOne) {
    auto engine = engine_on({}, test::exfat_boot_sector(), 49315328);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: exfat, sectors: 96319 - 98367, count: 2048\n"));
    EXPECT_EQ(engine->volume_size(), 2048u * 512);
    EXPECT_EQ(engine->cluster_to_offset(5), 49315328u + (3u * 8 + 32) * 512);
    for (uint64_t cluster : {uint64_t(0), uint64_t(1), UINT64_MAX}) {
        EXPECT_EQ(engine->cluster_to_offset(cluster), 0u) << cluster;
    }
    // 4 KiB sectors and 32 KiB clusters: the heap offset counts in sectors.
    auto large = engine_on({}, test::exfat_boot_sector(4, 12, 3));
    EXPECT_EQ(large->cluster_to_offset(3), (8u + 32) * 4096);
    for (uint8_t shift : {31, 0xFF}) {  // shifts no volume has
        auto hostile = engine_on(std::vector<uint8_t>(4096, 0), test::exfat_boot_sector(4, shift, shift));
        EXPECT_EQ(hostile->cluster_size(), 0u);
        EXPECT_EQ(hostile->cluster_to_offset(UINT32_MAX), 0u);
        EXPECT_FALSE(hostile->validate());
    }

    exfat_recover bare(engine->d_scan, nullptr, 49315328, true);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: exfat, sectors: 0 - 0, count: 0\n"));
    EXPECT_EQ(bare.sector_count() + bare.cluster_size() + bare.volume_size() + bare.cluster_to_offset(5), 0u);
    EXPECT_FALSE(bare.validate());
    EXPECT_EQ(bare.load_table(), exfat::table_load::unreadable);
    EXPECT_FALSE(bare.load_bitmap());
}

TEST_F(ExfatOnImage, ValidateReadsTheRootsFirstSectorWhereTheVolumeStarts) {
    const std::vector<uint8_t> image = test::exfat_volume_image();
    EXPECT_TRUE(validates(image));
    // Roots 0 and 1 name no position, 2 is the bitmap's cluster, and the
    // others lie past the device.
    for (uint32_t root : {0u, 1u, 2u, 1000000u, UINT32_MAX}) {
        EXPECT_FALSE(validates(image, test::exfat_boot_sector(root))) << root;
    }
    EXPECT_FALSE(validates(std::vector<uint8_t>(image.begin(), image.begin() + layout::root_pos + 511)));
    // 256-byte sectors of 32: the root position comes out right, but no
    // exFAT volume has such sectors.
    EXPECT_FALSE(validates(image, test::exfat_boot_sector(4, 8, 5)));
    std::vector<uint8_t> disk(3 * 512 + image.size(), 0);  // an odd sector, not a cluster boundary
    std::copy(image.begin(), image.end(), disk.begin() + 3 * 512);
    EXPECT_TRUE(validates(disk, test::exfat_boot_sector(), 3 * 512));
    EXPECT_FALSE(validates(disk, test::exfat_boot_sector(), 0));
    EXPECT_FALSE(exfat_recover(-1, std::make_shared<_boot_sector>(test::exfat_boot_sector()), 0, true).validate());
}

TEST_F(ExfatOnImage, TheTableAndBitmapLoadAsFarAsTheyCanBeRead) {
    auto engine = engine_on(test::exfat_volume_image(1000));
    EXPECT_TRUE(engine->chain_extents(4).empty());  // nothing loaded yet
    ASSERT_EQ(engine->load_table(), exfat::table_load::loaded);
    EXPECT_EQ(engine->table->entry_count(), 1024u);
    ASSERT_TRUE(engine->load_bitmap());
    EXPECT_EQ(engine->volume_bitmap->byte_size(), 1024u);  // DataLength 1000 in whole sectors
    EXPECT_EQ(engine->volume_bitmap->bytes()[1], 0xA1);
    EXPECT_EQ(engine->root_extents(), (run_list{{4, 1}}));

    // A FAT of 2^32 - 1 sectors in the device's last sector: what was read is
    // the table. One starting past the device replaces the table with none.
    _boot_sector boot = test::exfat_boot_sector();
    put(boot.bytes, 0x50, 2047, 4);
    put(boot.bytes, 0x54, 0xFFFFFFFF, 4);
    auto long_fat = engine_on(test::exfat_volume_image(), boot);
    ASSERT_EQ(long_fat->load_table(), exfat::table_load::loaded);
    EXPECT_EQ(long_fat->table->byte_size(), 512u);
    put(boot.bytes, 0x50, 2048, 4);
    auto far = engine_on(test::exfat_volume_image(), boot);
    far->table = engine->table;
    EXPECT_EQ(far->load_table(), exfat::table_load::unreadable);
    EXPECT_FALSE(far->table);

    // {field, value, width} in the bitmap entry: a first cluster past the
    // device or naming no position, a DataLength no volume has or whose
    // rounding overflows, and no bitmap entry at all.
    const std::tuple<size_t, uint64_t, int> damage[] = {
        {20, 100000, 4}, {20, 1, 4}, {24, 1ull << 40, 8}, {24, UINT64_MAX, 8}, {0, 0, 1}};
    for (const auto& [field, value, width] : damage) {
        std::vector<uint8_t> image = test::exfat_volume_image();
        put(image, layout::bitmap_entry + field, value, width);
        auto broken = engine_on(image);
        broken->volume_bitmap = engine->volume_bitmap;
        EXPECT_FALSE(broken->load_bitmap()) << field << " " << value;
        EXPECT_FALSE(broken->volume_bitmap);
    }
}

TEST_F(ExfatOnImage, TheFixtureVolumesValidateUntilDamaged) {
    const auto volume = test::fixture_image("exfat.img"), disk = test::fixture_image("disk.img");
    if (volume.empty() || disk.empty()) GTEST_SKIP() << "fixture images missing";
    std::vector<uint8_t> image = test::read_file(volume);
    _boot_sector boot;
    std::copy_n(image.begin(), 512, boot.bytes.begin());
    const exfat_geometry g = parse_exfat_geometry(boot);
    auto engine = engine_on(image, boot);
    EXPECT_TRUE(engine->validate());
    EXPECT_EQ(std::make_tuple(engine->sector_count(), engine->cluster_size()), std::make_tuple(uint64_t(16384), 4096u));
    ASSERT_EQ(engine->load_table(), exfat::table_load::loaded);
    ASSERT_TRUE(engine->load_bitmap());  // one bit per heap cluster, in whole sectors
    EXPECT_EQ(engine->volume_bitmap->byte_size(), (g.cluster_count + 7) / 8 / 512 * 512 + 512);
    EXPECT_EQ(engine->root_extents().at(0).first, g.root_cluster);

    // A zeroed FAT matters to the scan only; a zeroed root to the check.
    std::fill(image.begin() + g.fat_offset * 512, image.begin() + (g.fat_offset + g.fat_length) * 512, 0);
    EXPECT_TRUE(validates(image, boot));
    std::fill_n(image.begin() + *g.cluster_offset(g.root_cluster, 0), 512, 0);
    EXPECT_FALSE(validates(image, boot));

    test::open_file file(disk);  // its exFAT volume starts at byte 49315328, an odd sector
    auto disk_boot = std::make_shared<_boot_sector>();
    ASSERT_TRUE(read_sector_at(file.fd(), disk_boot->bytes.data(), 49315328));
    EXPECT_TRUE(exfat_recover(file.fd(), disk_boot, 49315328, true).validate());
    EXPECT_FALSE(exfat_recover(file.fd(), disk_boot, 49315328 - 512, true).validate());
}

}  // namespace
}  // namespace ostrel
