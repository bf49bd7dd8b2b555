// The NTFS scan end to end on a volume made by mkntfs and filled through
// ntfs-3g: every file of the manifest is found with its deleted state and
// saves byte for byte (resident, sparse, compressed, fragmented, spread over
// extension records, hard-linked), recycled items come back under their
// former names, a limited scan follows the directory indexes, and a stop
// request ends the scan cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/node.h"
#include "ntfs/ntfs_recover.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/scanned_volume.h"
#include "volume/device_io.h"

namespace ostrel {
namespace {

using test::manifest_row;

class NtfsImage : public ::testing::Test, protected test::scanned_volume {
protected:
    void SetUp() override {
        open_image("ntfs_files.img");
        rows = test::read_manifest("ntfs_files.manifest.tsv");
    }
    void open_image(const std::string& name) {
        const auto image = test::fixture_image(name);
        if (image.empty()) GTEST_SKIP() << "fixture missing";
        device = std::make_unique<test::open_file>(image);
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device->fd(), boot->bytes.data(), 0));
        engine = std::make_unique<ntfs_recover>(device->fd(), boot, 0, false);
        engine->d_recovery = platform::duplicate(device->fd());
        engine->d_preview = platform::duplicate(device->fd());
        engine->stop_token = &token;
        scanned = engine.get();
    }
    static bool renamed_by_the_bin(const manifest_row& row) { return row.path.find("\\$R") != std::string::npos; }

    std::vector<manifest_row> rows;
    std::unique_ptr<test::open_file> device;
    std::unique_ptr<ntfs_recover> engine;
};

TEST_F(NtfsImage, FindsEveryEntryWithItsDeletedStateAndSavesItByteForByte) {
    ASSERT_TRUE(scan());
    EXPECT_TRUE(host.event_codes() == std::vector<int32_t>{0});
    ASSERT_GT(rows.size(), 3000u);
    int identical = 0;
    for (const manifest_row& row : rows) {
        if (renamed_by_the_bin(row)) continue;
        const tree_node* node = node_at(row.path);
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(node->deleted != 0, row.deleted) << row.path;
        EXPECT_EQ(node->is_folder(), row.is_folder) << row.path;
        if (row.is_folder) continue;
        EXPECT_EQ(static_cast<const tagFileInfo*>(node)->size, row.size) << row.path;
        if (!row.expect_identical) continue;
        // Through memory: the same reads as a save, without creating 3,000
        // files (saving itself is checked on the recycled items below).
        write_buffer_info data;
        EXPECT_EQ(engine->read_to_memory(engine->d_recovery, *static_cast<const tagFileInfo*>(node), data),
                  row.size > 0) << row.path;
        EXPECT_EQ(test::sha256_hex(data.bytes), row.sha256) << row.path;
        ++identical;
    }
    EXPECT_GT(identical, 3000);
    // Each item the MFT gave reaches the host once, hard links once per
    // name. (The bin's renames and the folders it rebuilds at former paths
    // are re-sent on purpose.)
    std::map<uintptr_t, int> reports;
    for (const auto& item : host.items) {
        if (item.kind == OSTREL_KIND_FILE || item.kind == OSTREL_KIND_FOLDER) ++reports[item.record.handle];
    }
    for (const auto& [handle, count] : reports) {
        if (host.mirrored_path(handle).rfind("\\Users", 0) != 0) {
            EXPECT_EQ(count, 1) << host.mirrored_path(handle);
        }
    }
}

TEST_F(NtfsImage, RecycledItemsComeBackUnderTheirFormerNamesAndPaths) {
    ASSERT_TRUE(scan());
    int checked = 0;
    for (const manifest_row& row : rows) {
        if (!renamed_by_the_bin(row) || row.is_folder || row.former_path.empty()) continue;
        const std::string former = row.former_path.substr(row.former_path.find('\\'));
        const tree_node* copy = node_at(former);
        ASSERT_NE(copy, nullptr) << former;
        EXPECT_EQ(saved_sha(copy), row.sha256) << former;
        ++checked;
    }
    EXPECT_EQ(checked, 4);
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\S-1-5-21-1111111111-2222222222-3333333333-1001\\report.txt"), nullptr);
}

TEST_F(NtfsImage, ALimitedScanFollowsTheIndexesAndAdmitsOnlyItsSubtreeAndTheBin) {
    ASSERT_TRUE(scan(u"C:\\docs\\reports 2023\\Q1"));
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0}));
    for (const manifest_row& row : rows) {
        const bool inside = row.path.rfind("\\docs\\Reports 2023\\Q1\\", 0) == 0;
        if (inside) {
            EXPECT_NE(node_at(row.path), nullptr) << row.path;
        }
        if (row.path.rfind("\\big folder\\", 0) == 0) {
            EXPECT_EQ(node_at(row.path), nullptr) << row.path;
        }
    }
    EXPECT_NE(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
    char16_t buffer[128];
    const tree_node* deep = node_at("\\docs\\Reports 2023\\Q1\\two MiB.bin");
    ASSERT_NE(deep, nullptr);
    ASSERT_GT(engine->full_path(*deep, buffer, 128), 0);
    EXPECT_EQ(platform::utf16_to_utf8(buffer), "C:\\docs\\Reports 2023\\Q1\\two MiB.bin");
}

// ntfs-3g's volume whose MFT outgrew record 0: its later run-list pieces
// and its own name lie in extension records (make_ntfs_mft_list_image.sh).
class NtfsMftListImage : public NtfsImage {
protected:
    void SetUp() override { open_image("ntfs_mft_list.img"); }
};

TEST_F(NtfsMftListImage, EveryRecordInEveryMftFragmentIsFound) {
    ASSERT_TRUE(engine->validate());
    ASSERT_TRUE(scan());
    EXPECT_GT(engine->mft_runs.size(), 20u);
    // 12,109 files of 4,096 zeros, and the one that did not fit, empty.
    for (const char* name : {"\\fill\\f00000", "\\fill\\f06000", "\\fill\\f12108", "\\fill\\f12109"}) {
        ASSERT_NE(node_at(name), nullptr) << name;
    }
    EXPECT_EQ(std::count_if(paths.begin(), paths.end(), [](const auto& p) { return p.first.rfind("\\fill\\", 0) == 0; }),
              12110);
    EXPECT_EQ(saved_sha(node_at("\\fill\\f12108")), test::sha256_hex(std::vector<uint8_t>(4096, 0)));
}

TEST_F(NtfsImage, AStopRequestEndsTheScanWithWhatWasBuilt) {
    for (int polls : {0, 50, 2000}) {
        token = test::counting_stop_token(polls);
        ASSERT_TRUE(scan()) << polls;
        EXPECT_LT(host.items.size(), rows.size()) << polls;
        EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0})) << polls;
    }
}

}  // namespace
}  // namespace ostrel
