// Trees no formatting tool writes: folders reached twice, chains that loop,
// deleted folders that point back at an ancestor. Each scan must end, read
// every folder once, and list what it found.
#include <gtest/gtest.h>

#include <map>

#include "fat/fat_recover.h"
#include "platform/descriptor_io.h"
#include "tests/support/bytes.h"
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

TEST(HostileFatTree, EveryScanEndsAndWalksEachFolderOnce) {
    const auto fixture = test::fixture_image("fat16.img");
    if (fixture.empty()) GTEST_SKIP() << "fixture missing";
    // A directory entry's first cluster (or a table entry) set to `cluster`,
    // and how many items of each name the scan then lists.
    const struct {
        const char* what;
        size_t at;
        uint32_t cluster;
        std::map<std::string, size_t> listed;
        bool entry_made_folder = false;
    } cases[] = {
        // The root's "empty.dat", made a folder, becomes a second entry for
        // \docs' cluster: listed twice, its files once.
        {"a folder reached twice", root_at + 32 + 26, docs_cluster, {{"docs", 1}, {"empty.dat", 1}, {"notes.md", 1}}, true},
        {"a folder chain that loops", table_at + 2 * docs_cluster, docs_cluster, {{"notes.md", 1}, {"Reports 2023", 1}}},
        // "Source Code" inside the deleted "old project" names its parent's
        // cluster: deleted folders are never marked as walked, so only the
        // ancestor check stops the walk.
        {"a deleted folder pointing at its ancestor", cluster_at(old_project_cluster) + 224 + 26, old_project_cluster,
         {{"Source Code", 1}, {"Read Me.txt", 1}, {"Main Program.c", 0}}},
        {"a live folder pointing at its parent", cluster_at(docs_cluster) + 288 + 26, docs_cluster,
         {{"Reports 2023", 1}, {"notes.md", 1}}},
    };
    recording_host host;
    test::scratch_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> image = test::read_file(fixture);
        if (c.entry_made_folder) image[c.at - 26 + 11] = 0x10;
        test::put(image, c.at, c.cluster, 2);
        test::write_file(dir / "patched.img", image);
        test::open_file device(dir / "patched.img");
        auto boot = std::make_shared<_boot_sector>();
        ASSERT_TRUE(read_sector_at(device.fd(), boot->bytes.data(), 0));
        fat_recover engine(device.fd(), 2, boot, 0, false);
        std::shared_ptr<tagFolderInfo> root;
        host.clear();
        ASSERT_TRUE(engine.scan(root, nullptr));
        for (const auto& [name, count] : c.listed) EXPECT_EQ(host.items_named(name).size(), count) << name;
    }
}

}  // namespace
}  // namespace ostrel
