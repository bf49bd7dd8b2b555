// The engine of a FAT12, FAT16 or FAT32 volume.
#pragma once

#include <memory>

#include "core/recover_impl.h"
#include "fat/fat_layout.h"

namespace ostrel {

class fat_recover : public recover_impl {
public:
    // `type` 3 is FAT32; any other code is FAT16, or FAT12 when the volume
    // has fewer than 4085 data clusters.
    fat_recover(int32_t d_scan, int32_t type, std::shared_ptr<const _boot_sector> boot, uint64_t volume_offset,
                bool deep_scan);

    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    int32_t fs_type() const override { return type_; }
    uint64_t volume_size() const override;
    void geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const override;
    uint64_t sector_count() const override;
    uint32_t cluster_size() const override;
    uint64_t cluster_to_offset(uint64_t cluster) const override;
    // Whether the first root-directory sector looks like a FAT directory.
    bool validate() override;
    std::shared_ptr<tagFolderInfo> make_folder() const override;

    const fat_layout& layout() const { return layout_; }

private:
    int32_t type_;
    fat_layout layout_;
};

}  // namespace ostrel
