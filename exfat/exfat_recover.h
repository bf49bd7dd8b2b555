// The recovery engine of an exFAT volume: geometry from the boot sector, the
// allocation table and allocation bitmap that each scan loads, and the check
// that the root directory is where the boot sector says.
#pragma once

#include <cstdint>
#include <memory>

#include "core/recover_impl.h"
#include "exfat/allocation_table.h"
#include "exfat/boot_geometry.h"
#include "ntfs/ntfs_bitmap.h"

namespace ostrel {

class exfat_recover : public recover_impl {
public:
    // Decodes the geometry when a boot sector is given and logs the volume's
    // sector range.
    exfat_recover(int32_t d_scan, std::shared_ptr<const _boot_sector> boot, uint64_t volume_offset, bool deep_scan);

    // Rebuilds the tree from the directory entry sets (exfat/exfat_scan.cpp).
    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    int32_t fs_type() const override { return 5; }
    // VolumeLength × bytes per sector; 0 without a boot sector.
    uint64_t volume_size() const override { return boot_sector ? geometry_.volume_bytes() : 0; }
    // Writes nothing without a boot sector.
    void geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const override;
    uint64_t sector_count() const override { return boot_sector ? geometry_.volume_length : 0; }
    uint32_t cluster_size() const override { return boot_sector ? geometry_.cluster_size() : 0; }
    // 0 for clusters 0 and 1, without a boot sector, and when the position
    // cannot be computed.
    uint64_t cluster_to_offset(uint64_t cluster) const override;
    // The sector and cluster sizes are ones exFAT has, and the first sector
    // of the root directory reads in full and holds an allocation bitmap or
    // volume label entry before its end.
    bool validate() override;
    std::shared_ptr<tagFolderInfo> make_folder() const override;

    // What the scan builds on.
    const exfat_geometry& boot_geometry() const { return geometry_; }
    // Reads the FAT from `d_scan` into `table`, replacing the previous one
    // (left empty unless loaded). no_memory and unreadable are the scan's
    // statuses 3 and 5.
    exfat::table_load load_table();
    // Reads the allocation bitmap into `volume_bitmap`, replacing the
    // previous one; false (and no bitmap) when it cannot be read or held.
    bool load_bitmap();
    // Extents of the chain from `first_cluster` in the loaded table (none
    // without a table).
    run_list chain_extents(uint32_t first_cluster) const;
    // Extents of the root directory in the loaded table and bitmap.
    run_list root_extents() const;

    // The FAT of the current scan; empty before the first scan.
    std::shared_ptr<exfat::allocation_table> table;
    // The allocation bitmap as read from disk (the base's allocation_bitmap
    // is the sector map the scan builds for the deep scan).
    std::shared_ptr<ntfs_bitmap> volume_bitmap;

protected:
    void on_destination_created(int32_t error) const override;

private:
    exfat_geometry geometry_;
};

}  // namespace ostrel
