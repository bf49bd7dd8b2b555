// A file-system engine for tests of the shared engine machinery: clusters of
// a chosen size laid out from a chosen byte, and a scan that runs the common
// frame around a tree-building function the test supplies.
#pragma once

#include <functional>
#include <memory>

#include "core/recover_impl.h"

namespace ostrel::test {

class fake_engine : public recover_impl {
public:
    using tree_builder = std::function<bool(std::shared_ptr<tagFolderInfo>& root)>;

    fake_engine(int32_t fd, uint32_t cluster_bytes, uint64_t data_start = 0, uint64_t sectors = 2048)
        : recover_impl(fd, std::make_shared<_boot_sector>(), 0, false),
          cluster_bytes(cluster_bytes),
          data_start(data_start),
          sectors(sectors) {}

    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    int32_t fs_type() const override { return 3; }
    uint64_t volume_size() const override { return sectors * 512; }
    void geometry(int32_t& fd, uint64_t& offset, uint64_t& count) const override {
        fd = d_scan, offset = volume_offset, count = sectors;
    }
    uint64_t sector_count() const override { return sectors; }
    uint32_t cluster_size() const override { return cluster_bytes; }
    uint64_t cluster_to_offset(uint64_t cluster) const override { return data_start + cluster * cluster_bytes; }
    bool validate() override { return true; }
    bool run_deep_scan() override {
        ++deep_scans;
        return deep_scan_available;
    }

    uint32_t cluster_bytes;
    uint64_t data_start;
    uint64_t sectors;
    tree_builder build_tree;
    bool deep_scan_available = true;
    int deep_scans = 0;
};

}  // namespace ostrel::test
