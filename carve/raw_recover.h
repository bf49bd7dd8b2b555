// The engine of a byte range without a recognised file system: its scan is
// the signature sweep over the whole range.
#pragma once

#include "core/recover_impl.h"

namespace ostrel {

class raw_recover : public recover_impl {
public:
    // A range of `length` bytes from byte `start`; its last partial sector is
    // never read.
    raw_recover(int32_t d_scan, uint64_t start, uint64_t length);

    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    bool save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error) override;
    int32_t fs_type() const override { return 6; }
    uint64_t volume_size() const override { return sector_count_ * cluster_size(); }
    void geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const override;
    uint64_t sector_count() const override { return sector_count_; }
    uint32_t cluster_size() const override { return 512; }
    uint64_t cluster_to_offset(uint64_t cluster) const override { return cluster * 512; }
    bool validate() override { return true; }

private:
    uint64_t sector_count_;
};

}  // namespace ostrel
