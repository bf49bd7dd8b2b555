// The exFAT scan end to end on an image made by mkfs.exfat and filled through
// exfat-fuse: every entry of the manifest is found where it was, with its
// deleted state and times, and saves byte for byte; recycled items come back
// under their old names; damaged folders end the walk without losing the
// rest of the tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "core/node.h"
#include "core/sector_bitmap.h"
#include "exfat/exfat_nodes.h"
#include "exfat/exfat_recover.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/exfat/exfat_test_images.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/scanned_volume.h"
#include "volume/device_io.h"

namespace ostrel {
namespace {

using test::manifest_row;

// "2023-08-07 09:01:01" as a time text, with the seconds rounded down to
// even ones when `even` (the modification stamp has no 10-ms field).
std::string time_text(std::string stamp, bool even) {
    stamp[4] = stamp[7] = '/';
    if (even && (stamp.back() - '0') % 2) --stamp.back();
    return stamp;
}

uint32_t u32_at(const std::vector<uint8_t>& bytes, size_t at) { return byte_view(bytes).u32_or(at); }

// Writes `image` at byte `offset` of a file of zeros and opens an engine on
// the volume there.
class ExfatScan : public ::testing::Test, protected test::scanned_volume {
protected:
    void SetUp() override {
        const auto image = test::fixture_image("exfat_files.img");
        if (image.empty()) GTEST_SKIP() << "fixture missing";
        bytes = test::read_file(image);
        rows = test::read_manifest("exfat_files.manifest.tsv");
        open_volume(bytes);
    }

    void open_volume(const std::vector<uint8_t>& volume, uint64_t offset = 0) {
        std::vector<uint8_t> disk(offset, 0xEE);
        disk.insert(disk.end(), volume.begin(), volume.end());
        test::write_file(dir / "disk.img", disk);
        device = std::make_unique<test::open_file>(dir / "disk.img");
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device->fd(), boot->bytes.data(), offset));
        engine = std::make_unique<exfat_recover>(device->fd(), boot, offset, false);
        engine->d_recovery = platform::duplicate(device->fd());
        engine->stop_token = &token;
        scanned = engine.get();
    }

    // The byte offset of the File entry of the set named `name` (at most 15
    // characters), found through its name entry of type `name_type`.
    size_t set_of(const std::u16string& name, uint8_t name_type = 0xC1) const {
        std::vector<uint8_t> pattern{name_type, 0};
        for (char16_t c : name) pattern.insert(pattern.end(), {uint8_t(c), uint8_t(c >> 8)});
        const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
        EXPECT_NE(at, bytes.end()) << "no set named " << platform::utf16_to_utf8(name);
        return static_cast<size_t>(at - bytes.begin()) - 64;
    }

    test::scratch_dir dir;
    std::vector<uint8_t> bytes;
    std::vector<manifest_row> rows;
    std::unique_ptr<test::open_file> device;
    std::unique_ptr<exfat_recover> engine;
};

TEST_F(ExfatScan, FindsEveryEntryOfTheManifestWithItsStateSizeAndTimes) {
    ASSERT_TRUE(scan());
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0, 2}));
    ASSERT_GT(rows.size(), 250u);
    for (const manifest_row& row : rows) {
        if (!row.former_path.empty() && row.path.find("$R") != std::string::npos) continue;  // renamed, below
        const tree_node* node = node_at(row.path);
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(node->deleted != 0, row.deleted) << row.path;
        EXPECT_EQ(node->is_folder(), row.is_folder) << row.path;
        const auto* recorded = host.latest(node->handle());
        // Creation keeps the odd seconds in its 10-ms field; a folder's
        // modification time moves with its entries.
        EXPECT_EQ(recorded->created, time_text(row.mtime, false)) << row.path;
        if (row.is_folder) continue;
        EXPECT_EQ(static_cast<const tagFileInfo*>(node)->size, row.size) << row.path;
        EXPECT_EQ(recorded->modified, time_text(row.mtime, true)) << row.path;
    }
}

TEST_F(ExfatScan, SavesLiveAndIntactDeletedFilesByteForByte) {
    ASSERT_TRUE(scan());
    int saved = 0;
    for (const manifest_row& row : rows) {
        if (row.is_folder || !row.expect_identical || !row.former_path.empty()) continue;
        EXPECT_EQ(saved_sha(node_at(row.path)), row.sha256) << row.path;
        ++saved;
    }
    EXPECT_GT(saved, 230);
    // The chained file follows the table across its gap; the contiguous one
    // is one run; the deleted chained file lost its table entries and is
    // rebuilt from the clusters the bitmap leaves free: E's former gap, then
    // on after the live part F.
    const auto runs = [&](const std::string& path) { return dynamic_cast<const tagFileInfo&>(*node_at(path)).runs; };
    EXPECT_EQ(runs("\\frag\\part D - fills the gap after B.bin").size(), 2u);
    EXPECT_EQ(runs("\\docs\\Reports 2023\\Q1\\deep\\big file.bin").size(), 1u);
    EXPECT_EQ(runs("\\frag\\part G - fragmented, deleted later.bin").size(), 2u);
    const std::string g = "\\frag\\part G - fragmented, deleted later.bin";
    for (const manifest_row& row : rows) {
        if (row.path == g) {
            EXPECT_EQ(saved_sha(node_at(g)), row.sha256);
        }
    }
}

TEST_F(ExfatScan, LiveDataIsMarkedOccupiedAndDeletedDataLeftFree) {
    ASSERT_TRUE(scan());
    const sector_bitmap& map = *engine->allocation_bitmap;
    const auto first_cluster = [&](const std::string& path) {
        const tree_node* node = node_at(path);
        if (const auto* folder = dynamic_cast<const tagExFatFolderInfoEx*>(node)) return folder->first_cluster;
        return dynamic_cast<const tagFileInfo&>(*node).runs.at(0).first;
    };
    for (const char* live : {"\\docs\\notes.md", "\\many", "\\many\\file 200 with a longer name.txt", "\\docs"}) {
        EXPECT_TRUE(map.test_cluster(first_cluster(live))) << live;
    }
    for (const char* gone : {"\\deleted in root.txt", "\\old project", "\\old project\\Data File.bin"}) {
        EXPECT_FALSE(map.test_cluster(first_cluster(gone))) << gone;
    }
    EXPECT_TRUE(map.test_cluster(engine->boot_geometry().root_cluster));
}

TEST_F(ExfatScan, RecycledItemsGetTheirFormerNamesAndACopyAtTheirFormerPlace) {
    ASSERT_TRUE(scan());
    int checked = 0;
    for (const manifest_row& row : rows) {
        if (row.former_path.empty() || row.is_folder) continue;
        const std::string former = row.former_path.substr(row.former_path.find('\\'));
        const tree_node* copy = node_at(former);
        ASSERT_NE(copy, nullptr) << former;
        EXPECT_EQ(saved_sha(copy), row.sha256) << former;
        char16_t buffer[512];
        ASSERT_GT(engine->full_path(*copy, buffer, 512), 0);
        const std::string full = platform::utf16_to_utf8(buffer);
        EXPECT_TRUE(full == row.former_path || full == former) << full;
        ++checked;
    }
    EXPECT_EQ(checked, 4);
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr);
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\Trip 2022\\beach.jpg"), nullptr);
    for (const char* kept : {"$RJKL012.txt", "$RMNO345.pdf", "$RPQR678.txt", "$RSTU901.txt"}) {
        EXPECT_NE(node_at(std::string("\\$RECYCLE.BIN\\") + kept), nullptr) << kept;
    }
}

TEST_F(ExfatScan, ATargetedScanWalksOnlyItsFolderAndTheBin) {
    ASSERT_TRUE(scan(u"E:\\docs\\Reports 2023"));
    EXPECT_EQ(host.event_codes(), std::vector<int32_t>{0});
    EXPECT_NE(node_at("\\docs\\Reports 2023\\Q1\\deep\\big file.bin"), nullptr);
    EXPECT_NE(node_at("\\docs\\Reports 2023\\Q1\\deep\\scratch notes.txt"), nullptr);
    EXPECT_EQ(node_at("\\docs\\notes.md"), nullptr);
    EXPECT_EQ(node_at("\\one byte.txt"), nullptr);
    EXPECT_NE(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
    // A deleted folder can be the target; its files come back deleted.
    ASSERT_TRUE(scan(u"E:/OLD PROJECT/source code"));
    ASSERT_NE(node_at("\\old project\\Source Code\\Main Program.c"), nullptr);
    EXPECT_TRUE(node_at("\\old project\\Source Code\\Main Program.c")->deleted);
    // Inside the bin only the bin itself is read, once.
    ASSERT_TRUE(scan(u"E:\\$RECYCLE.BIN\\$RGHI789"));
    EXPECT_EQ(host.items_named("$RABC123.txt").size(), 1u);
    ASSERT_TRUE(scan(u"E:\\$RECYCLE.BIN"));
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr);
    EXPECT_EQ(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);

    EXPECT_FALSE(scan(u"E:\\docs\\no such folder"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_START_PATH_NOT_FOUND});
    EXPECT_FALSE(scan(u"E:\\docs\\notes.md"));  // a file is no folder
    EXPECT_FALSE(scan(u"E:"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_EMPTY_START_PATH});
}

TEST_F(ExfatScan, AStopMidwayEndsTheScanWithWhatWasFound) {
    ASSERT_TRUE(scan());
    const size_t full = host.items.size();
    const int all_polls = token.polls;
    for (int polls : {0, 5, all_polls / 2, all_polls - 10}) {
        token.polls = 0;
        token.polls_before_stop = polls;
        EXPECT_TRUE(scan()) << polls;
        EXPECT_LT(host.items.size(), full) << polls;
        EXPECT_EQ(host.event_codes(), std::vector<int32_t>{0}) << polls;
    }
}

TEST_F(ExfatScan, TheVolumeIsReadWhereItStartsOnADisk) {
    open_volume(bytes, 3 * 512 + 1024 * 1024);  // not on a cluster boundary of the disk
    ASSERT_TRUE(scan());
    int saved = 0;
    for (const manifest_row& row : rows) {
        if (row.is_folder || !row.expect_identical || !row.former_path.empty() || saved >= 20) continue;
        EXPECT_EQ(saved_sha(node_at(row.path)), row.sha256) << row.path;
        ++saved;
    }
    EXPECT_EQ(saved, 20);

    // The disk fixture's own exFAT volume is empty.
    const auto disk = test::fixture_image("disk.img");
    if (disk.empty()) return;
    test::open_file file(disk);
    auto boot = std::make_shared<_boot_sector>();
    ASSERT_TRUE(read_sector_at(file.fd(), boot->bytes.data(), 49315328));
    exfat_recover empty(file.fd(), boot, 49315328, false);
    host.clear();
    ASSERT_TRUE(empty.scan(root, nullptr));
    EXPECT_TRUE(host.items.empty());
    EXPECT_TRUE(root->files.empty() && root->folders.empty());
}

TEST_F(ExfatScan, DamagedFoldersEndTheWalkAndTheRestIsFound) {
    ASSERT_TRUE(scan());
    const size_t intact = host.items.size();
    const size_t docs = set_of(u"docs"), source = set_of(u"Source Code", 0x41), many = set_of(u"many");
    const uint32_t root_cluster = engine->boot_geometry().root_cluster;
    const uint32_t old_project = u32_at(bytes, set_of(u"old project", 0x41) + 52);
    const auto cluster_at = [&](uint32_t c) { return *engine->boot_geometry().cluster_offset(c, 0); };
    struct damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
    };
    const damage cases[] = {
        {"a live folder pointing at the root", [&](auto& b) { test::put(b, docs + 52, root_cluster, 4); }},
        {"the same in a volume too short for its folders' sectors", [&](auto& b) {
             test::put(b, docs + 52, root_cluster, 4);
             test::put(b, 0x48, 4096, 8);  // 2 MiB: the root starts at sector 4120
         }},
        {"a deleted folder pointing at its deleted parent", [&](auto& b) { test::put(b, source + 52, old_project, 4); }},
        {"a folder chain that loops back after two clusters", [&](auto& b) {
             const size_t fat = engine->boot_geometry().fat_offset * 512;
             const uint32_t first = u32_at(b, many + 52);
             test::put(b, fat + 4 * u32_at(b, fat + 4 * first), first, 4);
         }},
        {"noise over a folder's data", [&](auto& b) {
             for (size_t i = 0; i < 4096; ++i) b[cluster_at(u32_at(b, many + 52)) + i] = uint8_t(i * 131 + 7);
         }},
    };
    for (const damage& d : cases) {
        std::vector<uint8_t> damaged = bytes;
        d.apply(damaged);
        open_volume(damaged);
        ASSERT_TRUE(scan()) << d.what;
        EXPECT_NE(node_at("\\one byte.txt"), nullptr) << d.what;
        EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr) << d.what;
        EXPECT_LT(host.items.size(), intact) << d.what;
        EXPECT_GT(host.items.size(), intact / 3) << d.what;
    }
}

}  // namespace
}  // namespace ostrel
