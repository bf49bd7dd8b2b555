// The folder walk's read buffer is sized by the runs it reads and a fixed
// ceiling, never by the cluster size alone: a damaged boot sector can claim
// clusters of terabytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fat/fat_recover.h"
#include "tests/support/bytes.h"
#include "tests/support/memory_descriptor.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::put;

TEST(FatReadBuffer, AFolderInClustersOfTerabytesIsStillRead) {
    // FAT32, 4096-byte sectors, 2^31 sectors per cluster (8 TiB clusters):
    // boot sector, a one-sector table, then the root directory at cluster 2,
    // whose chain runs over 64 clusters.
    constexpr size_t sector = 4096;
    std::vector<uint8_t> image(3 * sector, 0);
    std::memcpy(&image[0], "\xEB\x58\x90" "MSDOS5.0", 11);
    put(image, 0x0B, sector, 2);
    image[0x0D] = 0xE1;  // sectors per cluster: 2^31
    put(image, 0x0E, 1, 2);  // reserved sectors
    image[0x10] = 1;         // one table
    image[0x15] = 0xF8;
    put(image, 0x20, 3, 4);  // total sectors
    put(image, 0x24, 1, 4);  // sectors per table
    put(image, 0x2C, 2, 4);  // root cluster
    std::memcpy(&image[0x52], "FAT32   ", 8);
    put(image, 0x1FE, 0xAA55, 2);
    put(image, sector, 0x0FFFFFF8, 4);
    put(image, sector + 4, 0x0FFFFFFF, 4);
    for (uint32_t cluster = 2; cluster < 65; ++cluster) put(image, sector + 4 * cluster, cluster + 1, 4);
    put(image, sector + 4 * 65, 0x0FFFFFFF, 4);
    std::memcpy(&image[2 * sector], "KEEP    TXT", 11);
    image[2 * sector + 11] = 0x20;
    put(image, 2 * sector + 28, 5, 4);

    test::recording_host host;
    const test::memory_descriptor source(image.data(), image.size());
    ASSERT_GT(source.fd(), 0);
    auto boot = std::make_shared<_boot_sector>();
    std::memcpy(boot->bytes.data(), image.data(), 512);
    fat_recover engine(source.fd(), 3, boot, 0, false);
    std::shared_ptr<tagFolderInfo> root;
    ASSERT_TRUE(engine.scan(root, nullptr));
    EXPECT_EQ(host.items_named("KEEP.TXT").size(), 1u);
}

}  // namespace
}  // namespace ostrel
