// The NTFS engine without its scan: boot-sector geometry, the queries the
// host and the deep scan use, MFT record positions, and the check volume
// discovery makes on a candidate volume.
#include <gtest/gtest.h>

#include <filesystem>

#include "ntfs/attribute_walk.h"
#include "ntfs/boot_geometry.h"
#include "ntfs/ntfs_recover.h"
#include "tests/ntfs/ntfs_test_images.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::mft_record_builder;
using test::put16;
using test::put32;
using test::put64;

std::shared_ptr<const _boot_sector> shared_boot(const _boot_sector& boot) {
    return std::make_shared<const _boot_sector>(boot);
}

TEST(NtfsGeometry, DecodesClusterAndRecordSizes) {
    EXPECT_EQ(decode_sectors_per_cluster(int8_t(0x80)), 128u);
    EXPECT_EQ(decode_sectors_per_cluster(0x00), 1u);
    EXPECT_EQ(decode_sectors_per_cluster(int8_t(0xF7)), 512u);
    EXPECT_EQ(decode_sectors_per_cluster(int8_t(0xF8)), 256u);
    EXPECT_EQ(decode_sectors_per_cluster(0x08), 8u);
    EXPECT_EQ(decode_sectors_per_cluster(0x7F), 127u);
    // Powers beyond 32 bits describe nothing.
    EXPECT_EQ(decode_sectors_per_cluster(int8_t(0xE0)), 0u);
    EXPECT_EQ(decode_sectors_per_cluster(int8_t(0x81)), 0u);

    EXPECT_EQ(decode_record_size(int8_t(0xF6), 512, 8), 1024u);
    EXPECT_EQ(decode_record_size(int8_t(0xF4), 4096, 1), 4096u);
    EXPECT_EQ(decode_record_size(0x02, 512, 8), 8192u);
    EXPECT_EQ(decode_record_size(0x00, 512, 8), 0u);
    EXPECT_EQ(decode_record_size(int8_t(0x80), 512, 8), 0u);
    EXPECT_EQ(decode_record_size(0x7F, 0xFFFF, 0x10000), 0u);  // does not fit 32 bits

    const ntfs_geometry g = parse_ntfs_geometry(test::ntfs_boot_sector(16383, 4, 0xF6));
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(g.sectors_per_cluster, 8u);
    EXPECT_EQ(g.cluster_size(), 4096u);
    EXPECT_EQ(g.record_size, 1024u);
    EXPECT_EQ(g.index_record_size, 4096u);
    EXPECT_EQ(g.total_clusters(), 2047u);
    EXPECT_EQ(g.mft_cluster, 4u);

    ntfs_geometry huge;
    huge.bytes_per_sector = 0xFFFF;
    huge.sectors_per_cluster = 0x80000000u;
    EXPECT_EQ(huge.cluster_size(), 0u);
}

// A scratch device file holding `image`, and engines over it.
class NtfsOnImage : public ::testing::Test {
protected:
    void open(const std::vector<uint8_t>& image) {
        file.reset();
        test::write_file(dir / "volume.img", image);
        file = std::make_unique<test::open_file>(dir / "volume.img");
    }
    bool validates(const std::vector<uint8_t>& image, const _boot_sector& boot, uint64_t offset = 0) {
        open(image);
        return ntfs_recover(file->fd(), shared_boot(boot), offset, true).validate();
    }
    // A sound volume image whose record 0 has been changed by `change`.
    template <typename Change>
    bool validates_changed(Change change) {
        mft_record_builder record = test::mft_self_record();
        change(record);
        const _boot_sector boot = test::ntfs_boot_sector();
        return validates(test::ntfs_volume_image(boot, record.on_disk()), boot);
    }

    test::recording_host host;
    test::scratch_dir dir;
    std::unique_ptr<test::open_file> file;
};

TEST_F(NtfsOnImage, ConstructionLogsTheSectorRangeInFixedSectors) {
    open(std::vector<uint8_t>(4096, 0));
    _boot_sector boot = test::ntfs_boot_sector(2000000);
    put16(boot.bytes, 0x0B, 4096);  // the first sector is byte offset / 512 whatever the sector size
    { ntfs_recover engine(file->fd(), shared_boot(boot), 1048576, true); }
    EXPECT_TRUE(host.logged("[recovery]\tvolume: ntfs, sectors: 2048 - 2002048, count: 2000000\n"));
    host.clear();
    { ntfs_recover engine(file->fd(), nullptr, 1048576, true); }
    EXPECT_TRUE(host.logged("[recovery]\tvolume: ntfs, sectors: 2048 - 2048, count: 0\n"));
}

TEST_F(NtfsOnImage, QueriesFollowTheBootSectorAndTheScanReportsNothing) {
    open(std::vector<uint8_t>(4096, 0));
    ntfs_recover engine(file->fd(), shared_boot(test::ntfs_boot_sector(16383)), 1048576, true);
    EXPECT_EQ(engine.fs_type(), 4);
    EXPECT_EQ(engine.sector_count(), 16383u);
    EXPECT_EQ(engine.cluster_size(), 4096u);
    EXPECT_EQ(engine.cluster_to_offset(3), 3u * 4096 + 1048576);
    EXPECT_EQ(engine.record_size(), 1024u);
    EXPECT_EQ(engine.index_record_size(), 4096u);
    EXPECT_EQ(engine.mft_record0_offset(), std::optional<uint64_t>(4 * 4096 + 1048576));
    EXPECT_EQ(engine.volume_size(), 0u);  // set by a scan
    int32_t fd = -7;
    uint64_t offset = 1, sectors = 1;
    engine.geometry(fd, offset, sectors);
    EXPECT_EQ(fd, engine.d_scan);
    EXPECT_EQ(offset, 1048576u);
    EXPECT_EQ(sectors, 16383u);

    host.clear();
    std::shared_ptr<tagFolderInfo> root;
    EXPECT_FALSE(engine.scan(root, nullptr));
    EXPECT_FALSE(root);
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.statuses.empty());
}

TEST_F(NtfsOnImage, WithoutABootSectorEverythingIsZeroAndNothingIsWritten) {
    open(std::vector<uint8_t>(4096, 0));
    ntfs_recover engine(file->fd(), nullptr, 512, true);
    EXPECT_EQ(engine.sector_count(), 0u);
    EXPECT_EQ(engine.cluster_size(), 0u);
    EXPECT_EQ(engine.cluster_to_offset(10), 0u);
    EXPECT_FALSE(engine.mft_record0_offset());
    int32_t fd = -7;
    uint64_t offset = 99, sectors = 99;
    engine.geometry(fd, offset, sectors);
    EXPECT_EQ(fd, -7);
    EXPECT_EQ(offset, 99u);
    EXPECT_EQ(sectors, 99u);
    EXPECT_FALSE(engine.validate());
}

TEST_F(NtfsOnImage, RecordPositionsFollowTheMftRuns) {
    open(std::vector<uint8_t>(4096, 0));
    ntfs_recover engine(file->fd(), shared_boot(test::ntfs_boot_sector()), 65536, true);
    EXPECT_FALSE(engine.mft_record_offset(0));  // no runs yet
    engine.mft_runs = {{4, 2}, {100, 3}};
    // Four 1 KiB records per 4 KiB cluster.
    EXPECT_EQ(engine.mft_record_offset(0), std::optional<uint64_t>(4 * 4096 + 65536));
    EXPECT_EQ(engine.mft_record_offset(7), std::optional<uint64_t>(5 * 4096 + 3 * 1024 + 65536));
    EXPECT_EQ(engine.mft_record_offset(9), std::optional<uint64_t>(100 * 4096 + 1024 + 65536));
    EXPECT_EQ(engine.mft_record_offset(19), std::optional<uint64_t>(102 * 4096 + 3 * 1024 + 65536));
    EXPECT_FALSE(engine.mft_record_offset(20));
    EXPECT_FALSE(engine.mft_record_offset(UINT64_MAX / 2));
    engine.mft_runs = {{UINT64_MAX - 1, 8}};
    EXPECT_FALSE(engine.mft_record_offset(0));  // the position overflows
    std::vector<uint8_t> record;
    EXPECT_FALSE(engine.read_mft_record(engine.d_scan, 0, record));
}

TEST_F(NtfsOnImage, ValidateAcceptsASoundRecordZero) {
    EXPECT_TRUE(validates_changed([](mft_record_builder&) {}));
    // The name is compared ignoring case.
    mft_record_builder lower = test::mft_self_record(u"$mft");
    const _boot_sector boot = test::ntfs_boot_sector();
    EXPECT_TRUE(validates(test::ntfs_volume_image(boot, lower.on_disk()), boot));
    // A torn record: the sector ends are restored, not compared.
    std::vector<uint8_t> torn = test::mft_self_record().on_disk();
    put16(torn, 0x1FE, 0xBEEF);
    EXPECT_TRUE(validates(test::ntfs_volume_image(boot, torn), boot));
    // 4 KiB records.
    mft_record_builder large = test::mft_self_record(u"$MFT", 4096);
    const _boot_sector large_boot = test::ntfs_boot_sector(2047, 4, 0xF4);
    EXPECT_TRUE(validates(test::ntfs_volume_image(large_boot, large.on_disk()), large_boot));
}

TEST_F(NtfsOnImage, ValidateRejectsARecordZeroThatIsNotTheMft) {
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { std::memcpy(r.bytes.data(), "BAAD", 4); }));
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { put32(r.bytes, 0x2C, 1); }));
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { put64(r.bytes, 0x20, 0x0001000000000000ull); }));
    // The fixup is refused: an array past the record.
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { put16(r.bytes, 0x04, 1020); }));
    // The mirror's name is not the MFT's.
    mft_record_builder mirror = test::mft_self_record(u"$MFTMirr");
    const _boot_sector boot = test::ntfs_boot_sector();
    EXPECT_FALSE(validates(test::ntfs_volume_image(boot, mirror.on_disk()), boot));
}

TEST_F(NtfsOnImage, ValidateOnlyTakesTheNameFromAResidentFileNameTheWalkReaches) {
    // Where mft_self_record puts its $FILE_NAME: after a 0x60-byte
    // $STANDARD_INFORMATION at 0x38.
    constexpr size_t file_name = 0x98;
    ASSERT_EQ(test::mft_self_record().bytes[file_name], 0x30);
    // Non-resident $FILE_NAME.
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { r.bytes[file_name + 8] = 1; }));
    // Behind an attribute of unknown type, or a zero length.
    auto behind = [](uint32_t type, uint32_t length) {
        return [=](mft_record_builder& r) {
            put32(r.bytes, 0x38, type);
            if (length != 1) put32(r.bytes, 0x3C, length);
        };
    };
    EXPECT_FALSE(validates_changed(behind(0x118, 1)));
    EXPECT_FALSE(validates_changed(behind(0x10, 0)));
    EXPECT_FALSE(validates_changed(behind(0x10, 0xFFFFFFF0)));
    EXPECT_TRUE(validates_changed(behind(0xB0, 1)));  // a known type is walked past
    // A name length reaching past the $FILE_NAME value.
    EXPECT_FALSE(validates_changed([](mft_record_builder& r) { r.bytes[file_name + 0x18 + 0x40] = 255; }));
}

TEST_F(NtfsOnImage, ValidateRejectsRecordsThatCannotBeReadInFull) {
    const std::vector<uint8_t> record = test::mft_self_record().on_disk();
    _boot_sector boot = test::ntfs_boot_sector();
    // The image ends half-way through record 0.
    EXPECT_FALSE(validates(test::ntfs_volume_image(boot, record, 4 * 4096, 4 * 4096 + 512), boot));
    // The boot sector asks for 4 KiB records where only 1 KiB is left.
    const _boot_sector large = test::ntfs_boot_sector(2047, 4, 0xF4);
    EXPECT_FALSE(validates(test::ntfs_volume_image(large, record, 4 * 4096, 4 * 4096 + 1024), large));
    // Record sizes no record can have: 0, 256 (too small for the fixup),
    // 128 KiB (beyond what the engine reads), 2^32.
    for (uint8_t encoded : {uint8_t(0x00), uint8_t(0xF8), uint8_t(0xEF), uint8_t(0xE0)}) {
        SCOPED_TRACE(int(encoded));
        const _boot_sector odd = test::ntfs_boot_sector(2047, 4, encoded);
        EXPECT_FALSE(validates(test::ntfs_volume_image(odd, record), odd));
    }
    // $MFT cluster past the image, or so far that its position overflows.
    for (uint64_t cluster : {uint64_t(1000), uint64_t(1) << 62, UINT64_MAX}) {
        const _boot_sector far = test::ntfs_boot_sector(2047, cluster);
        EXPECT_FALSE(validates(test::ntfs_volume_image(far, record), far));
    }
    // Zero sectors per cluster field decodes to 1: the MFT is then at byte
    // 4 × 512, where there is nothing.
    _boot_sector small_clusters = test::ntfs_boot_sector();
    small_clusters.bytes[0x0D] = 0;
    EXPECT_FALSE(validates(test::ntfs_volume_image(small_clusters, record), small_clusters));
    EXPECT_TRUE(validates(test::ntfs_volume_image(small_clusters, record, 4 * 512), small_clusters));
}

TEST_F(NtfsOnImage, ValidateReadsRelativeToTheVolumeAndNeedsADescriptor) {
    const _boot_sector boot = test::ntfs_boot_sector();
    std::vector<uint8_t> volume = test::ntfs_volume_image(boot, test::mft_self_record().on_disk());
    std::vector<uint8_t> disk(65536, 0);
    disk.insert(disk.end(), volume.begin(), volume.end());
    EXPECT_TRUE(validates(disk, boot, 65536));
    EXPECT_FALSE(validates(disk, boot, 0));
    // A descriptor that could not be duplicated.
    EXPECT_FALSE(ntfs_recover(-1, shared_boot(boot), 0, true).validate());
}

class NtfsFixture : public NtfsOnImage {
protected:
    void SetUp() override {
        path = test::fixture_image("ntfs.img");
        if (path.empty()) GTEST_SKIP() << "ntfs.img fixture missing";
        image = test::read_file(path);
        std::memcpy(boot.bytes.data(), image.data(), 512);
    }
    std::filesystem::path path;
    std::vector<uint8_t> image;
    _boot_sector boot;
};

TEST_F(NtfsFixture, AFormattedVolumeValidatesAndItsGeometryMatches) {
    file = std::make_unique<test::open_file>(path);
    ntfs_recover engine(file->fd(), shared_boot(boot), 0, true);
    EXPECT_TRUE(engine.validate());
    EXPECT_EQ(engine.sector_count(), 16383u);
    EXPECT_EQ(engine.cluster_size(), 4096u);
    EXPECT_EQ(engine.record_size(), 1024u);
    EXPECT_EQ(engine.mft_record0_offset(), std::optional<uint64_t>(4 * 4096));
}

TEST_F(NtfsFixture, DamagedCopiesOfTheVolumeDoNotValidate) {
    const size_t record0 = 4 * 4096;
    std::vector<uint8_t> zeroed = image;
    std::fill(zeroed.begin() + record0, zeroed.begin() + record0 + 1024, 0);
    EXPECT_FALSE(validates(zeroed, boot));

    // $MFT pointed one cluster on, at records 4 to 7.
    _boot_sector shifted = boot;
    put64(shifted.bytes, 0x30, 5);
    EXPECT_FALSE(validates(image, shifted));

    // A damaged sector end of record 0 is still accepted.
    std::vector<uint8_t> torn = image;
    put16(torn, record0 + 0x3FE, 0x4242);
    EXPECT_TRUE(validates(torn, boot));
}

TEST(NtfsDisk, TheVolumeInsideTheDiskValidatesAtItsOffset) {
    const auto path = test::fixture_image("disk.img");
    if (path.empty()) GTEST_SKIP() << "disk.img fixture missing";
    test::recording_host host;
    test::open_file file(path);
    auto boot = std::make_shared<_boot_sector>();
    const uint64_t offset = 58720256;
    ASSERT_TRUE(read_sector_at(file.fd(), boot->bytes.data(), offset));
    EXPECT_TRUE(ntfs_recover(file.fd(), boot, offset, true).validate());
    EXPECT_FALSE(ntfs_recover(file.fd(), boot, offset + 512, true).validate());
}

}  // namespace
}  // namespace ostrel
