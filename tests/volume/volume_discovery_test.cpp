// Finding volumes by their boot sectors: walking a partitioned disk volume by
// volume, the forward search, raw ranges, and the open operations.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/recording_host.h"
#include "volume/volume_discovery.h"

namespace ostrel {
namespace {

using test::counting_stop_token;
using test::recording_host;

struct found_volume {
    int32_t type;
    uint64_t offset;
    uint64_t length;  // sectors x 512, as the engine counts them
    bool operator==(const found_volume&) const = default;
};

void PrintTo(const found_volume& v, std::ostream* out) { *out << v.type << " at " << v.offset << ", " << v.length; }

// Walks a device file volume by volume, as a host walks a disk.
class DiscoveryWalk : public ::testing::Test {
protected:
    std::vector<found_volume> walk(const std::filesystem::path& path, uint64_t end) {
        test::open_file scan(path), recovery(path), preview(path);
        std::vector<found_volume> volumes;
        uint64_t position = 0;
        for (int guard = 0; guard < 64 && position < end; ++guard) {
            recover_session* s = host.ops.open_descriptors(scan.fd(), recovery.fd(), preview.fd(), &position, end, &token);
            if (!s) break;
            EXPECT_NE(s->engine, nullptr);
            if (s->engine) {
                int32_t fd = 0;
                uint64_t offset = 0, sectors = 0;
                s->engine->geometry(fd, offset, sectors);
                volumes.push_back({s->engine->fs_type(), offset, s->engine->sector_count() * 512});
                EXPECT_GT(s->engine->d_recovery, 0);
                EXPECT_NE(s->engine->d_recovery, recovery.fd());  // the engine keeps its own duplicate
            }
            host.ops.close_session(s);
        }
        return volumes;
    }

    recording_host host;
    counting_stop_token token;
    test::scratch_dir dir;
};

TEST_F(DiscoveryWalk, APartitionedDiskYieldsItsVolumesAtTheirOffsetsThenTheRawTail) {
    const auto disk = test::fixture_image("disk.img");
    if (disk.empty()) GTEST_SKIP() << "fixture missing";
    const auto layout = test::read_tsv("disk.layout.tsv");
    const uint64_t end = std::filesystem::file_size(disk);
    const std::vector<found_volume> volumes = walk(disk, end);

    const std::map<std::string, int32_t> types = {{"fat16", 2}, {"fat32", 3}, {"ntfs", 4}, {"exfat", 5}};
    std::vector<found_volume> expected;
    for (const auto& row : layout) {
        if (!types.count(row.at("type"))) continue;
        expected.push_back({types.at(row.at("type")), std::stoull(row.at("start_byte")),
                            std::stoull(row.at("fs_total_sectors")) * 512});
    }
    ASSERT_EQ(expected.size(), 4u);
    // After the NTFS volume and its backup boot sector: the unpartitioned tail.
    const uint64_t tail = expected[3].offset + 8388608;
    expected.push_back({6, tail, end - tail});
    EXPECT_EQ(volumes, expected);
    // Sector 0 holds the partition table: the search was announced.
    const std::vector<int32_t> events = host.event_codes();
    EXPECT_GE(std::count(events.begin(), events.end(), OSTREL_EVENT_SEARCHING_VOLUME), 1);
    EXPECT_TRUE(host.logged("find dbr secotr:2048, filesystem:2\n"));
    EXPECT_TRUE(host.logged("[fat16]\tsectors per cluster:1\n"));
}

// A FAT16 boot sector that passes the signature tests but whose root
// directory holds nothing: validate() refuses it.
std::vector<uint8_t> hollow_fat16_boot_sector() {
    std::vector<uint8_t> boot(512, 0);
    test::put(boot, 11, 512, 2);  // bytes per sector
    boot[13] = 4, boot[14] = 4, boot[16] = 2, boot[22] = 8;
    test::put(boot, 17, 512, 2);   // root entries
    test::put(boot, 19, 4096, 2);  // sectors
    std::memcpy(&boot[54], "FAT16   ", 8);
    test::put(boot, 510, 0xAA55, 2);
    return boot;
}

TEST_F(DiscoveryWalk, ACandidateThatFailsValidationIsSkippedEvenAtTheEndOfAChunk) {
    const auto fat16 = test::fixture_image("fat16.img");
    if (fat16.empty()) GTEST_SKIP() << "fixture missing";
    // The search reads from byte 512 in 16 MiB chunks, so the chunk's last
    // sector starts at 16 MiB. The real volume follows at 17 MiB.
    constexpr uint64_t chunk_end_sector = 16ull << 20, volume_at = 17ull << 20;
    const auto path = dir / "disk.img";
    {
        std::vector<uint8_t> zero(volume_at, 0);
        const auto hollow = hollow_fat16_boot_sector();
        std::copy(hollow.begin(), hollow.end(), zero.begin() + chunk_end_sector);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(zero.data()), static_cast<std::streamsize>(zero.size()));
        std::ifstream in(fat16, std::ios::binary);
        out << in.rdbuf();
    }
    const uint64_t end = std::filesystem::file_size(path);
    const std::vector<found_volume> volumes = walk(path, end);
    ASSERT_GE(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].type, 2);
    EXPECT_EQ(volumes[0].offset, volume_at);
    EXPECT_TRUE(host.logged("find dbr secotr:32768, filesystem:2\n"));
    EXPECT_TRUE(host.logged("check volume valide is false. find next...\n"));
}

TEST_F(DiscoveryWalk, AVolumeCutShortIsTakenWhileItsTablesAndRootAreInside) {
    const auto ntfs = test::fixture_image("ntfs_files.img");
    const auto fat = test::fixture_image("fat32_cut.img");
    const auto exfat = test::fixture_image("exfat_files.img");
    if (ntfs.empty() || fat.empty() || exfat.empty()) GTEST_SKIP() << "fixture missing";
    // $MFT starts at 16 KiB; the FAT32 tables and root end at 552 KiB; the
    // exFAT root starts at 2060 KiB.
    for (const auto& [source, keep, type] : {std::tuple{ntfs, 4u << 20, 4}, std::tuple{ntfs, 16u << 10, 6},
                                             std::tuple{fat, 600u << 10, 3}, std::tuple{fat, 500u << 10, 6},
                                             std::tuple{exfat, 4u << 20, 5}, std::tuple{exfat, 2u << 20, 6}}) {
        SCOPED_TRACE(keep);
        std::vector<uint8_t> bytes = test::read_file(source);
        bytes.resize(keep);
        test::write_file(dir / "cut.img", bytes);
        const std::vector<found_volume> volumes = walk(dir / "cut.img", keep);
        ASSERT_EQ(volumes.size(), 1u);
        EXPECT_EQ(volumes[0].type, type);
    }
    // Cut short, a boot sector must have sizes real volumes have: clusters
    // of 2^14 sectors would size buffers by a length the source never held.
    std::vector<uint8_t> bytes = test::read_file(fat);
    bytes.resize(600u << 10);
    bytes[13] = 0xF2;
    test::write_file(dir / "cut.img", bytes);
    const std::vector<found_volume> volumes = walk(dir / "cut.img", bytes.size());
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].type, 6);
}

TEST_F(DiscoveryWalk, OneSectorWithoutABootSectorIsARawSessionOfOneSector) {
    test::write_file(dir / "one", std::vector<uint8_t>(512, 0x41));
    const std::vector<found_volume> volumes = walk(dir / "one", 512);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].type, 6);
    EXPECT_EQ(volumes[0].length, 512u);
    EXPECT_TRUE(host.logged("可能是未格式化分区\n"));
    EXPECT_TRUE(host.logged("volume: raw, sectors: 0 - 1, count: 1\n"));
}

TEST_F(DiscoveryWalk, WithoutAnEndOnlyTheFirstSectorCountsAndIsTrusted) {
    test::write_file(dir / "blank", std::vector<uint8_t>(4096, 0));
    test::open_file f(dir / "blank");
    uint64_t position = 0;
    EXPECT_EQ(host.ops.open_descriptors(f.fd(), f.fd(), f.fd(), &position, 0, &token), nullptr);
    EXPECT_TRUE(host.logged("volume maybe damaged.\n"));
    // A boot sector claiming more than the device holds is still accepted.
    auto boot = hollow_fat16_boot_sector();
    test::put(boot, 32, 1 << 24, 4);  // 16M sectors
    boot.resize(4096, 0);
    test::write_file(dir / "big", boot);
    test::open_file g(dir / "big");
    position = 0;
    recover_session* s = host.ops.open_descriptors(g.fd(), g.fd(), g.fd(), &position, 0, &token);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(host.ops.session_fs_type(s), 2);
    EXPECT_EQ(position, 16777216ull * 512);
    host.ops.close_session(s);
}

TEST_F(DiscoveryWalk, AStoppedSearchReturnsNullAndTellsTheToken) {
    test::write_file(dir / "zeros", std::vector<uint8_t>(1 << 20, 0));
    test::open_file f(dir / "zeros");
    counting_stop_token stop(0);
    uint64_t position = 0;
    EXPECT_EQ(host.ops.open_descriptors(f.fd(), f.fd(), f.fd(), &position, 1 << 20, &stop), nullptr);
    EXPECT_EQ(stop.stopped_calls, 1);
}

TEST(OpenOperations, ADriveThatCannotBeOpenedLogsItsPath) {
    recording_host host;
    EXPECT_EQ(host.ops.open_drive_letter(u'Q', nullptr), nullptr);
    EXPECT_EQ(host.log_lines, std::vector<std::string>{"[recovery]\t\\\\.\\Q: 打开失败\n"});
    uint64_t position = 0;
    host.log_lines.clear();
    EXPECT_EQ(host.ops.open_physical_disk(3, &position, 0, nullptr), nullptr);
    EXPECT_EQ(host.log_lines, std::vector<std::string>{"[recovery]\t\\\\.\\PhysicalDrive3 打开失败\n"});
}

TEST(OpenOperations, NullArgumentsGetNeutralValues) {
    recording_host host;
    const engine_ops& ops = host.ops;
    ops.close_session(nullptr);
    EXPECT_EQ(ops.scan_session(nullptr, nullptr, 1, nullptr, nullptr), 0);
    EXPECT_EQ(ops.node_size(0), 0u);
    EXPECT_EQ(ops.session_fs_type(nullptr), 0);
    EXPECT_EQ(ops.session_descriptors(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ops.session_volume_offset(nullptr), 0u);
    EXPECT_EQ(ops.node_name(0), nullptr);
    EXPECT_EQ(ops.extent_text(nullptr, 0, nullptr, 0), -1);
    EXPECT_EQ(ops.node_path(nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(ops.session_deep_scan_flag(nullptr), 0);
    EXPECT_EQ(ops.open_descriptors(3, 3, 3, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(ops.save_file(nullptr, 0, nullptr), 0);
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{OSTREL_EVENT_SAVE_STARTED, OSTREL_EVENT_SAVE_BAD_ARGUMENT}));
}

TEST(OpenOperations, RawRangesHaveNoRecoveryOrPreviewDescriptors) {
    recording_host host;
    test::scratch_dir dir;
    test::write_file(dir / "r", std::vector<uint8_t>(4096, 1));
    test::open_file f(dir / "r");
    recover_session* s = host.ops.open_raw_range(f.fd(), 1048576, 1048576);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(host.logged("volume: raw, sectors: 2048 - 4096, count: 2048\n"));
    int32_t recovery = -1, preview = -1;
    EXPECT_GT(host.ops.session_descriptors(s, &recovery, &preview), 0);
    EXPECT_EQ(recovery, 0);
    EXPECT_EQ(preview, 0);
    EXPECT_EQ(host.ops.session_fs_type(s), 6);
    EXPECT_EQ(host.ops.session_deep_scan_flag(s), 1);
    // Without a sweep engine the raw scan cannot run yet.
    counting_stop_token token;
    EXPECT_EQ(host.ops.scan_session(s, nullptr, 0, &token, nullptr), 0);
    EXPECT_TRUE(host.events.empty());
    host.ops.close_session(s);
}

// The whole host path on a FAT volume image: open, scan, save, extents.
TEST(SessionOperations, ScanSaveAndDescribeAFatVolume) {
    const auto image = test::fixture_image("fat16.img");
    if (image.empty()) GTEST_SKIP() << "fixture missing";
    recording_host host;
    test::scratch_dir dir;
    test::open_file a(image), b(image), c(image);
    uint64_t position = 0;
    recover_session* s = host.ops.open_descriptors(a.fd(), b.fd(), c.fd(), &position, 0, nullptr);
    ASSERT_NE(s, nullptr);
    counting_stop_token token;
    host.deep_scan_answer = 0;
    ASSERT_EQ(host.ops.scan_session(s, nullptr, 1, &token, nullptr), 1);
    const auto hello = host.items_named("README.TXT");
    ASSERT_EQ(hello.size(), 1u);
    const ostrel_handle node = hello[0]->record.handle;
    EXPECT_EQ(host.ops.node_size(node), 1u);
    EXPECT_EQ(test::to_utf8(host.ops.node_name(node)), "README.TXT");

    char16_t path[64];
    EXPECT_EQ(host.ops.node_path(s, node, reinterpret_cast<ostrel_char*>(path), 64), 12);
    EXPECT_EQ(platform::utf16_to_utf8(path), "\\README.TXT");

    // Extent text: a buffer exactly as long as the text is one byte short.
    const int32_t missing = host.ops.extent_text(s, node, nullptr, 0);
    ASSERT_GT(missing, 1);
    std::vector<char> text(static_cast<size_t>(missing));
    EXPECT_EQ(host.ops.extent_text(s, node, text.data(), static_cast<uint32_t>(text.size() - 1)), 1);
    EXPECT_EQ(host.ops.extent_text(s, node, text.data(), static_cast<uint32_t>(text.size())), 0);
    EXPECT_EQ(std::string(text.data()).substr(0, 6), "[{\"o\":");

    host.events.clear();
    const std::u16string destination = platform::utf8_to_utf16((dir / "readme").string());
    EXPECT_EQ(host.ops.save_file(s, node, reinterpret_cast<const ostrel_char*>(destination.c_str())), 1);
    EXPECT_EQ(host.events, (std::vector<std::pair<int32_t, float>>{{8, 0.0f}, {9, 0.0f}}));
    host.events.clear();
    EXPECT_EQ(host.ops.save_file(s, node, reinterpret_cast<const ostrel_char*>(destination.c_str())), 0);
    EXPECT_EQ(host.events, (std::vector<std::pair<int32_t, float>>{{8, 0.0f}, {9, 17.0f}}));
    host.ops.close_session(s);
}

}  // namespace
}  // namespace ostrel
