// The FAT scan end to end on images made by mkfs.vfat and filled by mtools:
// every file of the manifest is found where it was, with its deleted state,
// and saves byte for byte; recycled items come back under their old names.
#include <gtest/gtest.h>

#include <map>

#include "core/node.h"
#include "engine/host_table.h"
#include "fat/fat_recover.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/recording_host.h"
#include "volume/device_io.h"
#include "volume/volume_discovery.h"

namespace ostrel {
namespace {

using test::counting_stop_token;
using test::manifest_row;
using test::recording_host;

// The name the engine gives an entry whose long name is gone: "#" for the
// first character of the 8.3 name.
std::string expected_path(const manifest_row& row) {
    if (row.path == "\\GONE.TXT") return "\\#ONE.TXT";
    return row.path;
}

class FatImage : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        image = test::fixture_image(std::string(GetParam()) + ".img");
        if (image.empty()) GTEST_SKIP() << "fixture missing";
        rows = test::read_manifest(std::string(GetParam()) + ".manifest.tsv");
        device = std::make_unique<test::open_file>(image);
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device->fd(), boot->bytes.data(), 0));
        engine = std::make_unique<fat_recover>(device->fd(), classify_boot_sector(boot->bytes.data()), boot, 0, false);
        engine->d_recovery = platform::duplicate(device->fd());
        engine->stop_token = &token;
    }

    bool scan(const char16_t* path = nullptr) {
        host.clear();
        paths.clear();
        root.reset();
        const bool ok = engine->scan(root, path);
        for (const auto& item : host.items) paths[host.mirrored_path(item.record.handle)] = item.record.handle;
        return ok;
    }

    const tree_node* node_at(const std::string& path) const {
        const auto it = paths.find(path);
        return it == paths.end() ? nullptr : tree_node::from_handle(it->second);
    }

    std::string saved_sha(const tree_node* node, const std::string& name) {
        auto* file = dynamic_cast<const tagFileInfo*>(node);
        if (!file) return "not a file";
        const std::u16string destination = platform::utf8_to_utf16((out / name).string());
        int32_t error = 0;
        if (!engine->save(borrow_node(const_cast<tagFileInfo*>(file)), destination.c_str(), error)) {
            return "save failed, error " + std::to_string(error);
        }
        return test::sha256_hex(test::read_file(out / name));
    }

    recording_host host;
    counting_stop_token token;
    test::scratch_dir out;
    std::filesystem::path image;
    std::vector<manifest_row> rows;
    std::unique_ptr<test::open_file> device;
    std::unique_ptr<fat_recover> engine;
    std::shared_ptr<tagFolderInfo> root;
    std::map<std::string, uintptr_t> paths;
};

TEST_P(FatImage, ValidatesAndLogsItsGeometry) {
    EXPECT_TRUE(engine->validate());
    EXPECT_TRUE(host.logged(GetParam() == std::string("fat32") ? "volume: fat32, sectors: 0 - " : "volume: fat16, sectors: 0 - "));
}

TEST_P(FatImage, FindsEveryEntryOfTheManifestWithItsDeletedState) {
    ASSERT_TRUE(scan());
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0, 2}));
    ASSERT_FALSE(rows.empty());
    for (const manifest_row& row : rows) {
        if (!row.former_path.empty() && row.path.find("$R") != std::string::npos) continue;  // renamed, below
        const tree_node* node = node_at(expected_path(row));
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(node->deleted != 0, row.deleted) << row.path;
        EXPECT_EQ(node->is_folder(), row.is_folder) << row.path;
        if (!row.is_folder) {
            EXPECT_EQ(static_cast<const tagFileInfo*>(node)->size, row.size) << row.path;
        }
    }
}

TEST_P(FatImage, SavesLiveAndIntactDeletedFilesByteForByte) {
    ASSERT_TRUE(scan());
    int saved = 0;
    for (const manifest_row& row : rows) {
        if (row.is_folder || !row.expect_identical || !row.former_path.empty()) continue;
        const tree_node* node = node_at(expected_path(row));
        ASSERT_NE(node, nullptr) << row.path;
        EXPECT_EQ(saved_sha(node, "f" + std::to_string(saved++)), row.sha256) << row.path;
    }
    EXPECT_GT(saved, 100);
}

TEST_P(FatImage, RecycledItemsGetTheirFormerNamesAndACopyAtTheirFormerPlace) {
    ASSERT_TRUE(scan());
    int checked = 0;
    for (const manifest_row& row : rows) {
        if (row.former_path.empty() || row.is_folder) continue;
        // The copy at the former location, drive letter dropped.
        const std::string former = row.former_path.substr(row.former_path.find('\\'));
        const tree_node* copy = node_at(former);
        ASSERT_NE(copy, nullptr) << former;
        EXPECT_EQ(saved_sha(copy, "r" + std::to_string(checked++)), row.sha256) << former;
        // A recycled file's full path is its former one; files inside a
        // recycled folder take the path of the rebuilt folders.
        char16_t buffer[512];
        ASSERT_GT(engine->full_path(*copy, buffer, 512), 0);
        const std::string full = platform::utf16_to_utf8(buffer);
        EXPECT_TRUE(full == row.former_path || full == former) << full;
    }
    EXPECT_EQ(checked, 4);
    // Inside the bin the items carry their former names, re-sent as renames.
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr);
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\Trip 2022\\beach.jpg"), nullptr);
    bool renamed_folder = false;
    for (const auto& item : host.items) renamed_folder |= item.kind == OSTREL_KIND_FOLDER_RENAMED && item.name == "Trip 2022";
    EXPECT_TRUE(renamed_folder);
    // Items whose companion is missing or unusable keep their names.
    for (const char* kept : {"$RJKL012.txt", "$RMNO345.pdf", "$RPQR678.txt", "$RSTU901.txt"}) {
        EXPECT_NE(node_at(std::string("\\$RECYCLE.BIN\\") + kept), nullptr) << kept;
    }
}

TEST_P(FatImage, ATargetedScanWalksOnlyItsFolderAndTheBin) {
    ASSERT_TRUE(scan(u"C:\\docs\\Reports 2023"));
    EXPECT_EQ(host.event_codes(), std::vector<int32_t>{0});
    EXPECT_NE(node_at("\\docs\\Reports 2023\\Q1\\deep\\big file.bin"), nullptr);
    EXPECT_EQ(node_at("\\README.TXT"), nullptr);
    EXPECT_NE(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
    EXPECT_FALSE(scan(u"C:\\no such folder"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_START_PATH_NOT_FOUND});
    EXPECT_FALSE(scan(u"C:"));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_EMPTY_START_PATH});
}

TEST_P(FatImage, TheBinAloneIsRestoredWithoutCopies) {
    ASSERT_TRUE(scan(u"C:\\$RECYCLE.BIN"));
    EXPECT_NE(node_at("\\$RECYCLE.BIN\\report.txt"), nullptr);
    EXPECT_EQ(node_at("\\Users\\x\\Documents\\report.txt"), nullptr);
}

TEST_P(FatImage, AStopMidwayEndsTheScanWithWhatWasFound) {
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

INSTANTIATE_TEST_SUITE_P(Images, FatImage, ::testing::Values("fat16", "fat32"));

}  // namespace
}  // namespace ostrel

namespace ostrel {
namespace {

// The FAT volumes inside the partitioned disk: found at their offsets, every
// manifest entry present, and the data saved from the right place.
TEST(FatVolumesOnADisk, EveryEntryIsFoundAndSavedFromItsOffset) {
    const auto disk = test::fixture_image("disk.img");
    if (disk.empty()) GTEST_SKIP() << "fixture missing";
    const auto lines = test::read_tsv("disk.manifest.tsv");
    const auto layout = test::read_tsv("disk.layout.tsv");
    recording_host host;
    test::scratch_dir out;
    test::open_file device(disk);
    int checked = 0;
    for (size_t v = 1; v < layout.size(); ++v) {
        if (layout[v][1] != "fat16" && layout[v][1] != "fat32") continue;
        const uint64_t offset = std::stoull(layout[v][2]);
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device.fd(), boot->bytes.data(), offset));
        fat_recover engine(device.fd(), classify_boot_sector(boot->bytes.data()), boot, offset, false);
        engine.d_recovery = platform::duplicate(device.fd());
        host.clear();
        std::shared_ptr<tagFolderInfo> root;
        ASSERT_TRUE(engine.scan(root, nullptr));
        std::map<std::string, uintptr_t> paths;
        for (const auto& item : host.items) paths[host.mirrored_path(item.record.handle)] = item.record.handle;
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i][0] != layout[v][0] || lines[i][6] != "file") continue;
            const auto it = paths.find(lines[i][1]);
            ASSERT_NE(it, paths.end()) << lines[i][1];
            auto* file = static_cast<tagFileInfo*>(tree_node::from_handle(it->second));
            const std::string name = "v" + layout[v][0] + "_" + std::to_string(i);
            const std::u16string destination = platform::utf8_to_utf16((out / name).string());
            int32_t error = 0;
            ASSERT_TRUE(engine.save(borrow_node(file), destination.c_str(), error)) << lines[i][1];
            EXPECT_EQ(test::sha256_hex(test::read_file(out / name)), lines[i][3]) << lines[i][1];
            ++checked;
        }
    }
    EXPECT_GE(checked, 6);
}

}  // namespace
}  // namespace ostrel
