// The recovery engine of an NTFS volume: geometry from the boot sector, MFT
// record reads, and the check that the volume's $MFT is where the boot
// sector says.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/recover_impl.h"
#include "ntfs/boot_geometry.h"

namespace ostrel {

class ntfs_recover : public recover_impl {
public:
    // Decodes the geometry when a boot sector is given and logs the volume's
    // sector range.
    ntfs_recover(int32_t d_scan, std::shared_ptr<const _boot_sector> boot, uint64_t volume_offset, bool deep_scan);

    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    int32_t fs_type() const override { return 4; }
    // Bytes per sector × total sectors, as the last scan set it (0 before).
    uint64_t volume_size() const override { return volume_size_bytes; }
    // Writes nothing without a boot sector.
    void geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const override;
    uint64_t sector_count() const override { return boot_sector ? geometry_.total_sectors : 0; }
    uint32_t cluster_size() const override { return boot_sector ? geometry_.cluster_size() : 0; }
    // cluster × cluster size + volume offset; 0 without a boot sector.
    uint64_t cluster_to_offset(uint64_t cluster) const override;
    // Record 0 of the MFT reads in full where the boot sector puts it, is a
    // "FILE" record numbered 0 with no base record, and names itself "$MFT".
    bool validate() override;

    // What later scans build on.
    const ntfs_geometry& boot_geometry() const { return geometry_; }
    uint32_t record_size() const { return geometry_.record_size; }
    uint32_t index_record_size() const { return geometry_.index_record_size; }
    uint32_t sectors_per_cluster() const { return geometry_.sectors_per_cluster; }
    // Device byte offset of MFT record 0 ($MFT cluster × cluster size +
    // volume offset); nothing when it cannot be computed.
    std::optional<uint64_t> mft_record0_offset() const;
    // Device byte offset of MFT record `number` through `mft_runs`; nothing
    // for an empty run list, a zero record size or a record past the last run.
    std::optional<uint64_t> mft_record_offset(uint64_t number) const;
    // Reads one whole record (record size bytes) at `offset` from `fd` into
    // `out`; false unless all of it was read. Records of size 0 or above
    // max_ntfs_record_bytes are refused.
    bool read_record_at(int32_t fd, uint64_t offset, std::vector<uint8_t>& out) const;
    // Record `number` of the MFT, located through `mft_runs`. A record lying
    // across two runs is read from where it starts, contiguously.
    bool read_mft_record(int32_t fd, uint64_t number, std::vector<uint8_t>& out) const;

    // The data runs of $MFT itself, filled by the scan.
    run_list mft_runs;
    // Set at the start of each scan.
    uint64_t volume_size_bytes = 0;

private:
    ntfs_geometry geometry_;
};

// Whether `record` is a sound MFT record 0: it starts with "FILE", its update
// sequence fixup is accepted (and applied in place), its own number and its
// base reference are 0, and the attribute walk meets a resident $FILE_NAME
// named "$MFT" (case ignored).
bool is_mft_self_record(std::span<uint8_t> record);

}  // namespace ostrel
