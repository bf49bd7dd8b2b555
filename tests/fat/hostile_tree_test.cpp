// Trees no formatting tool writes: folders reached twice, chains that loop,
// deleted folders that point back at an ancestor. Each scan must end, read
// every folder once, and list what it found.
#include <gtest/gtest.h>

#include <functional>

#include "fat/fat_recover.h"
#include "platform/descriptor_io.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"
#include "volume/device_io.h"

namespace ostrel {
namespace {

using test::recording_host;

// Byte positions inside the FAT16 fixture (512-byte sectors, 4 per cluster,
// 4 reserved sectors, two 32-sector tables, the root after them).
constexpr size_t table_at = 4 * 512;
constexpr size_t root_at = (4 + 2 * 32) * 512;
size_t cluster_at(uint32_t cluster) { return (4 + 2 * 32 + 32 + (cluster - 2) * 4) * size_t{512}; }
constexpr uint32_t docs_cluster = 16;         // \docs
constexpr uint32_t old_project_cluster = 205;  // \old project, deleted

void put16(std::vector<uint8_t>& image, size_t at, uint16_t value) {
    image[at] = value & 0xFF, image[at + 1] = value >> 8;
}

class HostileFatTree : public ::testing::Test {
protected:
    void SetUp() override {
        const auto fixture = test::fixture_image("fat16.img");
        if (fixture.empty()) GTEST_SKIP() << "fixture missing";
        image = test::read_file(fixture);
    }

    // Scans the patched image; the number of items named `name`.
    void scan() {
        test::write_file(dir / "patched.img", image);
        test::open_file device(dir / "patched.img");
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device.fd(), boot->bytes.data(), 0));
        fat_recover engine(device.fd(), 2, boot, 0, false);
        std::shared_ptr<tagFolderInfo> root;
        host.clear();
        ASSERT_TRUE(engine.scan(root, nullptr));
    }
    size_t count(const std::string& name) const { return host.items_named(name).size(); }

    recording_host host;
    test::scratch_dir dir;
    std::vector<uint8_t> image;
};

TEST_F(HostileFatTree, AFolderReachedTwiceIsListedTwiceAndWalkedOnce) {
    // The root's "empty.dat" becomes a second entry for \docs' cluster.
    image[root_at + 32 + 11] = 0x10;
    put16(image, root_at + 32 + 26, docs_cluster);
    scan();
    EXPECT_EQ(count("docs"), 1u);
    EXPECT_EQ(count("empty.dat"), 1u);
    EXPECT_EQ(count("notes.md"), 1u);  // the folder's files, once
}

TEST_F(HostileFatTree, AFolderChainThatLoopsIsReadOnce) {
    put16(image, table_at + 2 * docs_cluster, docs_cluster);  // \docs chains to itself
    scan();
    EXPECT_EQ(count("notes.md"), 1u);
    EXPECT_EQ(count("Reports 2023"), 1u);
}

TEST_F(HostileFatTree, ADeletedFolderPointingAtItsAncestorIsNotWalked) {
    // "Source Code" inside the deleted "old project" now names its parent's
    // cluster: deleted folders are never marked as walked, so only the
    // ancestor check stops the walk.
    put16(image, cluster_at(old_project_cluster) + 224 + 26, old_project_cluster);
    scan();
    EXPECT_EQ(count("Source Code"), 1u);
    EXPECT_EQ(count("Read Me.txt"), 1u);
    EXPECT_EQ(count("Main Program.c"), 0u);
}

TEST_F(HostileFatTree, ALiveFolderPointingAtItsParentIsNotWalkedAgain) {
    put16(image, cluster_at(docs_cluster) + 288 + 26, docs_cluster);  // "Reports 2023" -> \docs
    scan();
    EXPECT_EQ(count("Reports 2023"), 1u);
    EXPECT_EQ(count("notes.md"), 1u);
}

}  // namespace
}  // namespace ostrel
