// The FAT scan end to end on images made by mkfs.vfat and filled by mtools:
// each is found by volume discovery as one volume, every file of its manifest
// is found where it was, with its deleted state, and saves byte for byte;
// recycled items come back under their old names and at their old places.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "carve/deep_scan_engine.h"
#include "core/node.h"
#include "core/recover_impl.h"
#include "engine/session.h"
#include "fat/fat_recover.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/scanned_volume.h"
#include "volume/device_io.h"
#include "volume/volume_discovery.h"

namespace ostrel {
namespace {

using test::manifest_row;

// make_fat_images.sh builds the first two, make_fat_device_images.sh the rest.
const char* const all_images[] = {"fat16",          "fat32",    "fat12",     "fat16_root112", "fat16_root1024",
                                  "fat32_4k",       "fat32_cut", "fat32_bin", "fat32_wrap"};

bool is_recycled_item(const manifest_row& row) {
    return row.path.substr(row.path.rfind('\\') + 1).starts_with("$R");
}

// Opens the image through volume discovery, as a host does, and scans it.
class FatFixture : public ::testing::TestWithParam<const char*>, protected test::scanned_volume {
protected:
    void SetUp() override {
        const auto image = test::fixture_image(std::string(GetParam()) + ".img");
        if (image.empty()) GTEST_SKIP() << "fixture missing";
        rows = test::read_manifest(std::string(GetParam()) + ".manifest.tsv");
        device = std::make_unique<test::open_file>(image);
        const uint64_t end = std::filesystem::file_size(image);
        uint64_t position = 0;
        session = host.ops.open_descriptors(device->fd(), device->fd(), device->fd(), &position, end, &token);
        ASSERT_TRUE(session && session->engine);
        engine = scanned = session->engine.get();
        // One volume, the whole image: FAT12 under the FAT16 code, a volume
        // cut short up to where the image ends.
        EXPECT_EQ(position, end);
        const bool fat32 = std::string(GetParam()).starts_with("fat32");
        EXPECT_EQ(engine->fs_type(), fat32 ? 3 : 2);
        EXPECT_TRUE(host.logged(fat32 ? "volume: fat32, sectors: 0 - " : "volume: fat16, sectors: 0 - "));
        engine->stop_token = &token;
        host.deep_scan_answer = 0;
    }
    void TearDown() override {
        if (session) host.ops.close_session(session);
    }

    // A deleted entry without its long name is named with "#" for the first
    // character of its 8.3 name.
    const tree_node* node_of(const manifest_row& row) const {
        if (const tree_node* node = node_at(row.path); node || !row.deleted) return node;
        std::string renamed = row.path;
        renamed[renamed.rfind('\\') + 1] = '#';
        return node_at(renamed);
    }

    std::vector<manifest_row> rows;
    std::unique_ptr<test::open_file> device;
    recover_session* session = nullptr;
    recover_impl* engine = nullptr;
};

TEST_P(FatFixture, FindsEveryEntryWithItsDeletedStateAndSavesItByteForByte) {
    ASSERT_TRUE(scan());
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0, 2}));
    ASSERT_FALSE(rows.empty());
    int saved = 0;
    for (const manifest_row& row : rows) {
        if (!row.former_path.empty() && row.path.find("$R") != std::string::npos) continue;  // renamed: below
        const tree_node* node = node_of(row);
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(node->deleted != 0, row.deleted) << row.path;
        EXPECT_EQ(node->is_folder(), row.is_folder) << row.path;
        if (row.is_folder) continue;
        EXPECT_EQ(static_cast<const tagFileInfo*>(node)->size, row.size) << row.path;
        if (!row.expect_identical || !row.former_path.empty()) continue;
        EXPECT_EQ(saved_sha(node), row.sha256) << row.path;
        ++saved;
    }
    EXPECT_GT(saved, 0);
}

INSTANTIATE_TEST_SUITE_P(Images, FatFixture, ::testing::ValuesIn(all_images));

// Recycle bins: pairs in the bin itself (fat16, fat32) and in per-user
// folders (fat32_bin), restored the same way.
class FatRecycleBin : public FatFixture {};

TEST_P(FatRecycleBin, RecycledItemsComeBackUnderTheirFormerNamesAndPlaces) {
    ASSERT_TRUE(scan());
    int copies = 0;
    for (const manifest_row& row : rows) {
        const size_t slash = row.path.rfind('\\');
        if (row.former_path.empty()) {
            // Items whose companion is missing or unusable keep their names.
            if (is_recycled_item(row)) {
                EXPECT_NE(node_at(row.path), nullptr) << row.path;
            }
            continue;
        }
        if (is_recycled_item(row)) {
            // In the bin (or its per-user folder), under the former name.
            const std::string renamed = row.path.substr(0, slash + 1) +
                                        row.former_path.substr(row.former_path.rfind('\\') + 1);
            EXPECT_NE(node_at(renamed), nullptr) << renamed;
        }
        if (row.is_folder) continue;
        // The copy at the former place, drive letter dropped.
        const std::string former = row.former_path.substr(row.former_path.find('\\'));
        const tree_node* copy = node_at(former);
        ASSERT_NE(copy, nullptr) << former;
        EXPECT_EQ(saved_sha(copy), row.sha256) << former;
        // A recycled file's full path is its former one; files inside a
        // recycled folder take the path of the rebuilt folders.
        char16_t buffer[512];
        ASSERT_GT(engine->full_path(*copy, buffer, 512), 0);
        const std::string full = platform::utf16_to_utf8(buffer);
        EXPECT_TRUE(full == row.former_path || full == former) << full;
        ++copies;
    }
    EXPECT_GE(copies, 4);
    bool renamed_folder = false;
    for (const auto& item : host.items) renamed_folder |= item.kind == OSTREL_KIND_FOLDER_RENAMED;
    EXPECT_TRUE(renamed_folder);
}

INSTANTIATE_TEST_SUITE_P(Images, FatRecycleBin, ::testing::Values("fat16", "fat32", "fat32_bin"));

// The deep scan sweeps only what live files and folders leave free: the
// occupied-space map must sit on the right sectors whatever the table width,
// root size and sector size. Each image holds a live PNG that must not be
// carved and a deleted GIF in free space that must.
class FatDeepScan : public FatFixture {};

TEST_P(FatDeepScan, CarvesTheDeletedGifAndNoLiveFile) {
    host.deep_scan_answer = 1;
    ASSERT_TRUE(scan());
    ASSERT_EQ(host.event_codes().back(), OSTREL_EVENT_DEEP_SCAN_DONE);
    std::map<uint64_t, std::string> carved;  // offset -> name
    for (const auto& [name, file] : engine->deep_scan_engine->carved_files) {
        carved[std::stoull(platform::utf16_to_utf8(file->name_text()), nullptr, 16)] =
            platform::utf16_to_utf8(file->name_text());
    }
    int gifs = 0;
    for (const manifest_row& row : rows) {
        const auto* file = dynamic_cast<const tagFileInfo*>(node_of(row));
        if (!file || file->runs.empty()) continue;
        const uint64_t first = engine->cluster_to_offset(file->runs.front().first);
        if (row.deleted && row.path.ends_with(".gif")) {
            EXPECT_EQ(carved[first], [&] {
                char name[32];
                std::snprintf(name, sizeof name, "%llx.gif", static_cast<unsigned long long>(first));
                return std::string(name);
            }()) << row.path;
            ++gifs;
        }
        if (row.deleted) continue;
        for (const data_run& run : file->runs) {
            const uint64_t start = engine->cluster_to_offset(run.first);
            const auto inside = carved.lower_bound(start);
            EXPECT_TRUE(inside == carved.end() || inside->first >= start + run.count * engine->cluster_size())
                << inside->second << " carved inside " << row.path;
        }
    }
    EXPECT_EQ(gifs, 1);
}

INSTANTIATE_TEST_SUITE_P(Images, FatDeepScan, ::testing::Values("fat12", "fat16_root112", "fat32_4k"));

// Scans limited to a path, and stops, on the two general images.
class FatTargetedScan : public FatFixture {};

TEST_P(FatTargetedScan, WalksOnlyItsFolderAndTheBin) {
    ASSERT_TRUE(scan(u"C:\\docs\\Reports 2023"));
    EXPECT_EQ(host.event_codes(), std::vector<int32_t>{0});
    EXPECT_NE(node_at("\\docs\\Reports 2023\\Q1\\deep\\big file.bin"), nullptr);
    EXPECT_EQ(node_at("\\README.TXT"), nullptr);
    EXPECT_NE(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
    EXPECT_FALSE(scan(u"C:\\no such folder"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_START_PATH_NOT_FOUND});
    EXPECT_FALSE(scan(u"C:"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_EMPTY_START_PATH});
    // The bin alone is restored without copies.
    ASSERT_TRUE(scan(u"C:\\$RECYCLE.BIN"));
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr);
    EXPECT_EQ(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
}

TEST_P(FatTargetedScan, AStopMidwayEndsTheScanWithWhatWasFound) {
    ASSERT_TRUE(scan());
    const size_t full = host.items.size();
    for (int polls : {0, 5, 40, 200}) {
        token.polls = 0;
        token.polls_before_stop = polls;
        EXPECT_TRUE(scan()) << polls;
        EXPECT_LT(host.items.size(), full) << polls;
        const std::vector<int32_t> events = host.event_codes();
        EXPECT_EQ(std::count(events.begin(), events.end(), OSTREL_EVENT_DIRECTORY_DONE), 0) << polls;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, FatTargetedScan, ::testing::Values("fat16", "fat32"));

// The FAT volumes inside the partitioned disk: found at their offsets, every
// manifest entry present, and the data saved from the right place.
TEST(FatVolumesOnADisk, EveryEntryIsFoundAndSavedFromItsOffset) {
    const auto disk = test::fixture_image("disk.img");
    if (disk.empty()) GTEST_SKIP() << "fixture missing";
    const auto lines = test::read_tsv("disk.manifest.tsv");
    const auto layout = test::read_tsv("disk.layout.tsv");
    test::scanned_volume volume;
    test::open_file device(disk);
    int checked = 0;
    for (const auto& partition : test::read_tsv("disk.layout.tsv")) {
        if (partition.at("type") != "fat16" && partition.at("type") != "fat32") continue;
        const uint64_t offset = std::stoull(partition.at("start_byte"));
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device.fd(), boot->bytes.data(), offset));
        fat_recover engine(device.fd(), classify_boot_sector(boot->bytes.data()), boot, offset, false);
        engine.d_recovery = platform::duplicate(device.fd());
        volume.scanned = &engine;
        ASSERT_TRUE(volume.scan());
        for (const auto& row : test::read_tsv("disk.manifest.tsv")) {
            if (row.at("volume") != partition.at("index") || row.at("kind") != "file") continue;
            EXPECT_EQ(volume.saved_sha(volume.node_at(row.at("path"))), row.at("sha256")) << row.at("path");
            ++checked;
        }
    }
    EXPECT_GE(checked, 6);
}

}  // namespace
}  // namespace ostrel
