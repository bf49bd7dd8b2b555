// The exFAT engine without its scan: geometry and positions from the boot
// sector, the check volume discovery makes on a candidate volume, and the
// table and bitmap loading the scan starts with.
#include <gtest/gtest.h>

#include <filesystem>

#include "exfat/exfat_recover.h"
#include "tests/exfat/exfat_test_images.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::exfat_layout;
using test::put32;
using test::put64;

std::shared_ptr<const _boot_sector> shared_boot(const _boot_sector& boot) {
    return std::make_shared<const _boot_sector>(boot);
}

class ExfatOnImage : public ::testing::Test {
protected:
    void open(const std::vector<uint8_t>& image) {
        file.reset();
        test::write_file(dir / "volume.img", image);
        file = std::make_unique<test::open_file>(dir / "volume.img");
    }
    std::unique_ptr<exfat_recover> engine_on(const std::vector<uint8_t>& image, const _boot_sector& boot,
                                             uint64_t offset = 0) {
        open(image);
        return std::make_unique<exfat_recover>(file->fd(), shared_boot(boot), offset, true);
    }
    bool validates(const std::vector<uint8_t>& image, const _boot_sector& boot, uint64_t offset = 0) {
        return engine_on(image, boot, offset)->validate();
    }

    test::recording_host host;
    test::scratch_dir dir;
    std::unique_ptr<test::open_file> file;
};

TEST_F(ExfatOnImage, GeometryAndPositionsFollowTheBootSector) {
    _boot_sector boot = test::exfat_boot_sector();
    put32(boot.bytes, 0x58, 0x8000);  // cluster heap offset
    auto engine = engine_on(std::vector<uint8_t>(4096, 0), boot, 1048576);
    EXPECT_EQ(engine->fs_type(), 5);
    EXPECT_EQ(engine->cluster_size(), 4096u);
    EXPECT_EQ(engine->sector_count(), 2048u);
    EXPECT_EQ(engine->volume_size(), 2048u * 512);
    EXPECT_EQ(engine->cluster_to_offset(2), 1048576u + 0x8000u * 512);
    EXPECT_EQ(engine->cluster_to_offset(5), 1048576u + (3u * 8 + 0x8000) * 512);
    EXPECT_EQ(engine->cluster_to_offset(0), 0u);
    EXPECT_EQ(engine->cluster_to_offset(1), 0u);
    EXPECT_EQ(engine->cluster_to_offset(UINT64_MAX), 0u);  // overflows
    int32_t fd = -7;
    uint64_t offset = 1, sectors = 1;
    engine->geometry(fd, offset, sectors);
    EXPECT_EQ(fd, engine->d_scan);
    EXPECT_EQ(offset, 1048576u);
    EXPECT_EQ(sectors, 2048u);

    // 4 KiB sectors, 32 KiB clusters; the heap offset counts in sectors.
    auto large = engine_on(std::vector<uint8_t>(4096, 0), test::exfat_boot_sector(4, 12, 3));
    EXPECT_EQ(large->cluster_size(), 32768u);
    EXPECT_EQ(large->volume_size(), 2048u * 4096);
    EXPECT_EQ(large->cluster_to_offset(3), (8u + 32) * 4096);
    // Shifts no volume has: no cluster size, no positions, no crash.
    auto hostile = engine_on(std::vector<uint8_t>(4096, 0), test::exfat_boot_sector(4, 0xFF, 0xFF));
    EXPECT_EQ(hostile->cluster_size(), 0u);
    EXPECT_EQ(hostile->volume_size(), 0u);
    EXPECT_FALSE(hostile->validate());
    auto wide = engine_on(std::vector<uint8_t>(4096, 0), test::exfat_boot_sector(4, 31, 31));
    EXPECT_EQ(wide->cluster_size(), 0u);
    EXPECT_EQ(wide->cluster_to_offset(UINT32_MAX), 0u);
}

TEST_F(ExfatOnImage, ConstructionLogsTheSectorRangeAndTheScanReportsNothing) {
    auto engine = engine_on(test::exfat_volume_image(), test::exfat_boot_sector(), 49315328);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: exfat, sectors: 96319 - 98367, count: 2048\n"));
    host.clear();
    std::shared_ptr<tagFolderInfo> root;
    EXPECT_FALSE(engine->scan(root, u"\\"));
    EXPECT_FALSE(root);
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.statuses.empty());

    exfat_recover bare(file->fd(), nullptr, 49315328, true);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: exfat, sectors: 0 - 0, count: 0\n"));
    EXPECT_EQ(bare.sector_count(), 0u);
    EXPECT_EQ(bare.cluster_size(), 0u);
    EXPECT_EQ(bare.volume_size(), 0u);
    EXPECT_EQ(bare.cluster_to_offset(5), 0u);
    int32_t fd = -7;
    uint64_t offset = 99, sectors = 99;
    bare.geometry(fd, offset, sectors);
    EXPECT_EQ(fd, -7);
    EXPECT_EQ(offset, 99u);
    EXPECT_EQ(sectors, 99u);
    EXPECT_FALSE(bare.validate());
    EXPECT_EQ(bare.load_table(), exfat::table_load::unreadable);
    EXPECT_FALSE(bare.load_bitmap());
}

TEST_F(ExfatOnImage, ValidateLooksForABitmapOrLabelEntryInTheRoot) {
    const _boot_sector boot = test::exfat_boot_sector();
    std::vector<uint8_t> image = test::exfat_volume_image();
    EXPECT_TRUE(validates(image, boot));

    // Only an up-case table entry, then the end.
    std::vector<uint8_t> upcase_only = image;
    std::fill(upcase_only.begin() + exfat_layout::root_pos, upcase_only.begin() + exfat_layout::root_pos + 96, 0);
    upcase_only[exfat_layout::root_pos] = 0x82;
    EXPECT_FALSE(validates(upcase_only, boot));
    // A zeroed root directory.
    std::vector<uint8_t> zeroed = image;
    std::fill(zeroed.begin() + exfat_layout::root_pos, zeroed.begin() + exfat_layout::root_pos + 512, 0);
    EXPECT_FALSE(validates(zeroed, boot));
    // The boot sector's root cluster names the bitmap's cluster.
    EXPECT_FALSE(validates(image, test::exfat_boot_sector(exfat_layout::bitmap_cluster)));
    // Root clusters 0 and 1 name no position; a root past the device reads short.
    for (uint32_t root : {0u, 1u, 1000000u, UINT32_MAX}) {
        SCOPED_TRACE(root);
        EXPECT_FALSE(validates(image, test::exfat_boot_sector(root)));
    }
    // The root's first sector cut by the end of the device.
    std::vector<uint8_t> cut(image.begin(), image.begin() + exfat_layout::root_pos + 511);
    EXPECT_FALSE(validates(cut, boot));
}

TEST_F(ExfatOnImage, ValidateReadsRelativeToTheVolumeAndNeedsADescriptor) {
    const _boot_sector boot = test::exfat_boot_sector();
    std::vector<uint8_t> disk(3 * 512, 0);  // an odd sector, not a cluster boundary
    const std::vector<uint8_t> volume = test::exfat_volume_image();
    disk.insert(disk.end(), volume.begin(), volume.end());
    EXPECT_TRUE(validates(disk, boot, 3 * 512));
    EXPECT_FALSE(validates(disk, boot, 0));
    EXPECT_FALSE(exfat_recover(-1, shared_boot(boot), 0, true).validate());
}

TEST_F(ExfatOnImage, TheScanStartsFromTheTableAndBitmapItLoads) {
    auto engine = engine_on(test::exfat_volume_image(1000), test::exfat_boot_sector());
    EXPECT_TRUE(engine->chain_extents(4).empty());  // nothing loaded yet
    ASSERT_EQ(engine->load_table(), exfat::table_load::loaded);
    EXPECT_EQ(engine->table->entry_count(), 1024u);
    ASSERT_TRUE(engine->load_bitmap());
    EXPECT_EQ(engine->volume_bitmap->byte_size(), 1024u);
    EXPECT_EQ(engine->root_extents(), (run_list{{4, 1}}));
    EXPECT_EQ(engine->chain_extents(2), (run_list{{2, 1}}));

    // A FAT past the device: unreadable, and the previous table is gone.
    _boot_sector far = test::exfat_boot_sector();
    put32(far.bytes, 0x50, 100000);
    auto lost = engine_on(test::exfat_volume_image(), far);
    lost->table = engine->table;
    EXPECT_EQ(lost->load_table(), exfat::table_load::unreadable);
    EXPECT_FALSE(lost->table);
    // A bitmap that cannot be read replaces the previous one with nothing.
    lost->volume_bitmap = engine->volume_bitmap;
    std::vector<uint8_t> broken = test::exfat_volume_image();
    put32(broken, exfat_layout::root_pos + 32 + 20, 100000);
    auto unreadable = engine_on(broken, test::exfat_boot_sector());
    unreadable->volume_bitmap = engine->volume_bitmap;
    EXPECT_FALSE(unreadable->load_bitmap());
    EXPECT_FALSE(unreadable->volume_bitmap);
}

class ExfatFixture : public ExfatOnImage {
protected:
    void SetUp() override {
        path = test::fixture_image("exfat.img");
        if (path.empty()) GTEST_SKIP() << "exfat.img fixture missing";
        image = test::read_file(path);
        std::memcpy(boot.bytes.data(), image.data(), 512);
    }
    std::filesystem::path path;
    std::vector<uint8_t> image;
    _boot_sector boot;
};

TEST_F(ExfatFixture, AFormattedVolumeValidatesAndLoadsItsTableAndBitmap) {
    file = std::make_unique<test::open_file>(path);
    exfat_recover engine(file->fd(), shared_boot(boot), 0, true);
    EXPECT_TRUE(engine.validate());
    EXPECT_EQ(engine.sector_count(), 16384u);
    EXPECT_EQ(engine.cluster_size(), 4096u);
    EXPECT_EQ(engine.volume_size(), 8u << 20);
    ASSERT_EQ(engine.load_table(), exfat::table_load::loaded);
    EXPECT_EQ(engine.table->byte_size(), uint64_t(engine.boot_geometry().fat_length) * 512);
    ASSERT_TRUE(engine.load_bitmap());
    // One bit per cluster of the heap, in whole sectors.
    EXPECT_EQ(engine.volume_bitmap->byte_size(), (engine.boot_geometry().cluster_count + 7) / 8 / 512 * 512 + 512);
    const run_list root = engine.root_extents();
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root[0].first, engine.boot_geometry().root_cluster);
}

TEST_F(ExfatFixture, DamagedCopiesOfTheVolumeDoNotValidate) {
    const exfat_geometry g = parse_exfat_geometry(boot);
    const size_t root = static_cast<size_t>(*g.cluster_offset(g.root_cluster, 0));
    std::vector<uint8_t> zeroed = image;
    std::fill(zeroed.begin() + root, zeroed.begin() + root + 512, 0);
    EXPECT_FALSE(validates(zeroed, boot));

    // The root cluster field pointing past the volume.
    _boot_sector moved = boot;
    put32(moved.bytes, 0x60, 5000);
    EXPECT_FALSE(validates(image, moved));

    // A damaged FAT does not matter to the check, only to the scan.
    std::vector<uint8_t> bad_fat = image;
    std::fill(bad_fat.begin() + g.fat_offset * 512, bad_fat.begin() + (g.fat_offset + g.fat_length) * 512, 0);
    auto engine = engine_on(bad_fat, boot);
    EXPECT_TRUE(engine->validate());
    ASSERT_EQ(engine->load_table(), exfat::table_load::loaded);
    EXPECT_EQ(engine->table->classify(g.root_cluster).kind, exfat::entry_class::free);
}

TEST(ExfatDisk, TheVolumeInsideTheDiskValidatesAtItsOddSector) {
    const auto path = test::fixture_image("disk.img");
    if (path.empty()) GTEST_SKIP() << "disk.img fixture missing";
    test::recording_host host;
    test::open_file file(path);
    auto boot = std::make_shared<_boot_sector>();
    const uint64_t offset = 49315328;
    ASSERT_TRUE(read_sector_at(file.fd(), boot->bytes.data(), offset));
    EXPECT_TRUE(exfat_recover(file.fd(), boot, offset, true).validate());
    EXPECT_FALSE(exfat_recover(file.fd(), boot, offset - 512, true).validate());
}

}  // namespace
}  // namespace ostrel
