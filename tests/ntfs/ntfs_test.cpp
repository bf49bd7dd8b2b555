// The NTFS engine without its scan: the update-sequence fixup and the
// attribute walk over damaged MFT records, record positions from the boot
// sector and the MFT runs, and the record-0 check volume discovery makes.
#include <gtest/gtest.h>

#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "ntfs/ntfs_recover.h"
#include "tests/ntfs/ntfs_test_images.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::mft_record;
using test::ntfs_boot_sector;
using test::ntfs_volume_image;
using test::put;

// `size` bytes of 0x11 with the update sequence array at `array` holding
// 0xA1..0xA6 (as far as the record reaches).
std::vector<uint8_t> record_with_array(size_t size, size_t array) {
    std::vector<uint8_t> record(size, 0x11);
    put(record, 4, array, 2);
    for (size_t i = 0; i < 6 && array + i < size; ++i) record[array + i] = uint8_t(0xA1 + i);
    return record;
}

TEST(Fixup, RestoresTheSectorEndsTheRecordReachesWithoutComparingThem) {
    // Record size, and how many of 0x1FE, 0x1FF, 0x3FE, 0x3FF get restored.
    // The sector ends hold 0x11, not the update sequence number.
    const std::pair<size_t, size_t> cases[] = {{511, 1}, {512, 2}, {1022, 2}, {1023, 3}, {1024, 4}, {4096, 4}};
    const size_t ends[] = {0x1FE, 0x1FF, 0x3FE, 0x3FF};
    for (const auto& [size, restored] : cases) {
        std::vector<uint8_t> record = record_with_array(size, 0x30);
        ASSERT_EQ(apply_fixup(record), 0x32u) << size;
        for (size_t i = 0; i < 4 && ends[i] < size; ++i) {
            EXPECT_EQ(int(record[ends[i]]), i < restored ? int(0xA3 + i) : 0x11) << size << " " << i;
        }
        if (size > 0x5FE) { EXPECT_EQ(record[0x5FE], 0x11); }  // only two sectors are repaired
    }
}

TEST(Fixup, RefusesShortRecordsAndArraysPastTheEndWithoutTouchingThem) {
    EXPECT_EQ(apply_fixup(std::span<uint8_t>()), 0u);
    // Record size, array offset, result; an array may end at the last byte.
    const std::tuple<size_t, size_t, uint32_t> cases[] = {
        {510, 0x30, 0}, {1024, 1024 - 5, 0}, {1024, 0xFFFF, 0}, {1024, 1024 - 6, 1024 - 4}};
    for (const auto& [size, array, result] : cases) {
        std::vector<uint8_t> record = record_with_array(size, array);
        const std::vector<uint8_t> before = record;
        EXPECT_EQ(apply_fixup(record), result) << size << " " << array;
        EXPECT_EQ(record == before, result == 0) << size << " " << array;
    }
}

std::vector<uint32_t> walked(const std::vector<uint8_t>& record) {
    std::vector<uint32_t> types;
    attribute_walk walk{byte_view(record)};
    while (const auto attribute = walk.next()) {
        types.push_back(attribute->type);
        if (types.size() > 100) break;  // a walk that would not stop
    }
    return types;
}

TEST(AttributeWalk, VisitsKnownTypesInOrderUpToTheEndMarker) {
    mft_record record;
    for (uint32_t type : {0x10u, 0x30u, 0xB0u, 0x100u, 0xFFFFFFFFu, 0x80u}) record.add(type);
    EXPECT_EQ(walked(record.bytes), (std::vector<uint32_t>{0x10, 0x30, 0xB0, 0x100}));
}

TEST(AttributeWalk, StopsAtUnknownTypesAndAtLengthsOrOffsetsThatLeaveTheRecord) {
    // {field, value, attributes seen}: the second attribute's type; the first
    // one's length (1024 - 0x38 - 3 lands where a type would be read only past
    // the end); the first attribute's offset.
    const std::tuple<size_t, uint32_t, size_t> cases[] = {
        {0x50, 0x0, 1}, {0x50, 0x18, 1}, {0x50, 0x105, 1}, {0x50, 0x110, 1}, {0x3C, 0, 1}, {0x3C, 0xFFFFFFFF, 1},
        {0x3C, 0x80000000, 1}, {0x3C, 1024, 1}, {0x3C, 1024 - 0x38 - 3, 1}, {0x14, 1021, 0}, {0x14, 0xFFFF, 0}};
    for (const auto& [field, value, seen] : cases) {
        mft_record record;
        for (uint32_t type : {0x10u, 0x30u, 0x30u}) record.add(type);
        put(record.bytes, field, value, field == 0x14 ? 2 : 4);
        record.bytes[1021] = 0x30;
        EXPECT_EQ(walked(record.bytes).size(), seen) << field << " " << value;
    }
    EXPECT_TRUE(walked({}).empty());
}

TEST(AttributeWalk, ValuesAndNamesOutsideTheRecordReadAsEmpty) {
    mft_record record;
    const size_t at = record.add_file_name(u"$MFT");
    auto first = [&] { return *attribute_walk(byte_view(record.bytes)).next(); };
    const auto name = parse_file_name(first().resident_value());
    ASSERT_TRUE(name);
    EXPECT_EQ(name->name, u"$MFT");
    EXPECT_EQ(name->parent_record, 5u);  // the sequence number is dropped
    put(record.bytes, at + 0x10, 0x10000, 4);  // value length past the record
    EXPECT_TRUE(first().resident_value().empty());
    put(record.bytes, at + 0x10, 0x4A, 4);
    put(record.bytes, at + 0x14, 0xFFF0, 2);  // value offset past it
    EXPECT_TRUE(first().resident_value().empty());
    put(record.bytes, at + 0x14, 0x18, 2);
    record.bytes[at + 0x18 + 0x40] = 8;  // a name longer than the value
    EXPECT_FALSE(parse_file_name(first().resident_value()));
    record.bytes[at + 8] = 1;  // non-resident
    EXPECT_TRUE(first().resident_value().empty());
    record.bytes[at + 9] = 200;  // the attribute's own name: 200 units at 1000
    put(record.bytes, at + 0x0A, 1000, 2);
    EXPECT_TRUE(first().name().empty());
}

class NtfsOnImage : public ::testing::Test {
protected:
    std::unique_ptr<ntfs_recover> engine_on(const std::vector<uint8_t>& image, const _boot_sector& boot,
                                            uint64_t offset = 0) {
        test::write_file(dir / "volume.img", image);
        const test::open_file file(dir / "volume.img");
        return std::make_unique<ntfs_recover>(file.fd(), std::make_shared<const _boot_sector>(boot), offset, true);
    }
    bool validates(const std::vector<uint8_t>& image, const _boot_sector& boot = ntfs_boot_sector(),
                   uint64_t offset = 0) {
        return engine_on(image, boot, offset)->validate();
    }
    // Whether a volume validates once `width` bytes of its sound record 0 at
    // `at` are set to `value`.
    bool validates_with(size_t at, uint64_t value, int width) {
        std::vector<uint8_t> record = test::mft_self_record();
        put(record, at, value, width);
        return validates(ntfs_volume_image(record));
    }

    test::recording_host host;
    test::scratch_dir dir;
};

TEST_F(NtfsOnImage, PositionsFollowTheBootSectorAndThereAreNoneWithoutOne) {
    _boot_sector boot = ntfs_boot_sector();
    put(boot.bytes, 0x0B, 4096, 2);  // 32 KiB clusters; the log still counts 512-byte sectors
    auto engine = engine_on({}, boot, 1048576);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: ntfs, sectors: 2048 - 4095, count: 2047\n"));
    EXPECT_EQ(engine->cluster_to_offset(3), 3u * 32768 + 1048576);
    EXPECT_EQ(engine->mft_record0_offset(), 4u * 32768 + 1048576);

    ntfs_recover bare(engine->d_scan, nullptr, 1048576, true);
    EXPECT_TRUE(host.logged("[recovery]\tvolume: ntfs, sectors: 2048 - 2048, count: 0\n"));
    EXPECT_EQ(bare.sector_count() + bare.cluster_size() + bare.cluster_to_offset(10), 0u);
    EXPECT_FALSE(bare.mft_record0_offset());
    EXPECT_FALSE(bare.validate());
}

TEST_F(NtfsOnImage, RecordsAreFoundThroughTheMftRuns) {
    auto engine = engine_on(ntfs_volume_image(test::mft_self_record()), ntfs_boot_sector());
    std::vector<uint8_t> record;
    EXPECT_FALSE(engine->read_mft_record(engine->d_scan, 0, record));  // no runs yet
    engine->mft_runs = {{4, 2}, {100, 3}};
    EXPECT_TRUE(engine->read_mft_record(engine->d_scan, 0, record));
    EXPECT_EQ(record, test::mft_self_record());
    // Four 1 KiB records per 4 KiB cluster.
    const std::pair<uint64_t, uint64_t> positions[] = {
        {7, 5 * 4096 + 3 * 1024}, {9, 100 * 4096 + 1024}, {19, 102 * 4096 + 3 * 1024}};
    for (const auto& [number, at] : positions) EXPECT_EQ(engine->mft_record_offset(number), at) << number;
    EXPECT_FALSE(engine->mft_record_offset(20));
    EXPECT_FALSE(engine->mft_record_offset(UINT64_MAX / 2));
    engine->mft_runs = {{UINT64_MAX - 1, 8}};
    EXPECT_FALSE(engine->mft_record_offset(0));  // the position overflows
}

TEST_F(NtfsOnImage, ValidateAcceptsSoundAndTornRecordZerosWhereTheVolumeStarts) {
    EXPECT_TRUE(validates(ntfs_volume_image(test::mft_self_record())));
    EXPECT_TRUE(validates(ntfs_volume_image(test::mft_self_record(u"$mft"))));
    EXPECT_TRUE(validates_with(0x1FE, 0xBEEF, 2));  // sector ends are restored, not compared
    EXPECT_TRUE(validates(ntfs_volume_image(test::mft_self_record(u"$MFT", 4096)), ntfs_boot_sector(4, 0xF4)));
    const std::vector<uint8_t> disk = ntfs_volume_image(test::mft_self_record(), 65536 + 4 * 4096);
    EXPECT_TRUE(validates(disk, ntfs_boot_sector(), 65536));
    EXPECT_FALSE(validates(disk, ntfs_boot_sector(), 0));
    EXPECT_FALSE(ntfs_recover(-1, std::make_shared<const _boot_sector>(ntfs_boot_sector()), 0, true).validate());
}

TEST_F(NtfsOnImage, ValidateRejectsARecordZeroThatIsNotTheMft) {
    // {field, value, width}: the magic, the record number, the base reference,
    // an update sequence array the fixup refuses, a non-resident $FILE_NAME,
    // and first attributes that stop the walk before the $FILE_NAME.
    const std::tuple<size_t, uint64_t, int> damage[] = {
        {0x00, 'B', 1},   {0x2C, 1, 4},     {0x20, 1ull << 48, 8}, {0x04, 1020, 2},
        {0x98 + 8, 1, 1}, {0x38, 0x118, 4}, {0x3C, 0, 4},          {0x3C, 0xFFFFFFF0, 4}};
    for (const auto& [at, value, width] : damage) EXPECT_FALSE(validates_with(at, value, width)) << at;
    EXPECT_TRUE(validates_with(0x38, 0xB0, 4));  // a known type is walked past
    EXPECT_FALSE(validates(ntfs_volume_image(test::mft_self_record(u"$MFTMirr"))));
}

TEST_F(NtfsOnImage, ValidateRejectsRecordsThatCannotBeReadInFull) {
    const std::vector<uint8_t> record = test::mft_self_record();
    EXPECT_FALSE(validates(ntfs_volume_image(record, 4 * 4096, 4 * 4096 + 1023)));
    EXPECT_FALSE(validates(ntfs_volume_image(record, 4 * 4096, 4 * 4096 + 1024), ntfs_boot_sector(4, 0xF4)));
    // Records of 0 bytes, 256 (too small for the fixup), 128 KiB (more than
    // is ever read), 2^32, and a $MFT past the image or beyond 64 bits.
    for (const _boot_sector& boot : {ntfs_boot_sector(4, 0x00), ntfs_boot_sector(4, 0xF8), ntfs_boot_sector(4, 0xEF),
                                     ntfs_boot_sector(4, 0xE0), ntfs_boot_sector(1000), ntfs_boot_sector(1ull << 62),
                                     ntfs_boot_sector(UINT64_MAX)}) {
        EXPECT_FALSE(validates(ntfs_volume_image(record), boot));
    }
}

TEST_F(NtfsOnImage, TheFixtureVolumesValidateUntilDamaged) {
    const auto volume = test::fixture_image("ntfs.img"), disk = test::fixture_image("disk.img");
    if (volume.empty() || disk.empty()) GTEST_SKIP() << "fixture images missing";
    std::vector<uint8_t> image = test::read_file(volume);
    _boot_sector boot;
    std::copy_n(image.begin(), 512, boot.bytes.begin());
    auto engine = engine_on(image, boot);
    EXPECT_TRUE(engine->validate());
    EXPECT_EQ(std::make_tuple(engine->sector_count(), engine->cluster_size(), engine->record_size()),
              std::make_tuple(uint64_t(16383), 4096u, 1024u));
    EXPECT_EQ(engine->mft_record0_offset(), 4u * 4096);
    _boot_sector shifted = boot;
    put(shifted.bytes, 0x30, 5, 8);  // $MFT one cluster on
    EXPECT_FALSE(validates(image, shifted));
    std::fill_n(image.begin() + 4 * 4096, 1024, 0);
    EXPECT_FALSE(validates(image, boot));

    test::open_file file(disk);  // its NTFS volume starts at byte 58720256
    auto disk_boot = std::make_shared<_boot_sector>();
    ASSERT_TRUE(read_sector_at(file.fd(), disk_boot->bytes.data(), 58720256));
    EXPECT_TRUE(ntfs_recover(file.fd(), disk_boot, 58720256, true).validate());
    EXPECT_FALSE(ntfs_recover(file.fd(), disk_boot, 58720256 + 512, true).validate());
}

}  // namespace
}  // namespace ostrel
