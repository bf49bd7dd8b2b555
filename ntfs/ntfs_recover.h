// The recovery engine of an NTFS volume: geometry from the boot sector, MFT
// record reads, the check that the volume's $MFT is where the boot sector
// says, the scan of the MFT into a tree of live and deleted files, and the
// reading of their data.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/recover_impl.h"
#include "ntfs/boot_geometry.h"
#include "ntfs/file_data.h"
#include "ntfs/ntfs_nodes.h"
#include "ntfs/record_block.h"

namespace ostrel {

class file_node_info;
struct attribute_ref;

class ntfs_recover : public recover_impl {
public:
    // Decodes the geometry when a boot sector is given and logs the volume's
    // sector range.
    ntfs_recover(int32_t d_scan, std::shared_ptr<const _boot_sector> boot, uint64_t volume_offset, bool deep_scan);

    ~ntfs_recover() override;

    bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) override;
    bool save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error) override;
    bool read_to_memory(int32_t fd, const tagFileInfo& node, write_buffer_info& out) override;
    std::string extent_text(const std::shared_ptr<tagFileInfo>& node) const override;
    // The base path, except that a path reaching the root folder begins
    // with the first three characters of the scan's start path (its drive).
    int32_t full_path(const tree_node& node, char16_t* buffer, uint32_t buffer_chars) const override;
    std::shared_ptr<tagFolderInfo> make_folder() const override { return std::make_shared<tagNtfsFolderInfoEx>(); }
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

    // Hands a file's data to `sink`: through its runs, or, when it has none
    // (resident data, or data in an extension record), through its MFT
    // record. Returns the bytes delivered.
    uint64_t read_file_data(int32_t fd, const tagNtfsFileInfoEx& file, data_sink sink, void* context,
                            ::stop_token* stop, int32_t* error) const;
    // Delivers the unnamed $DATA of record `number`, found in the record or
    // in the extension records its attribute list names; `size` 0 means the
    // attribute's own size.
    uint64_t read_through_record(int32_t fd, uint64_t number, uint64_t size, data_sink sink, void* context,
                                 ::stop_token* stop, int32_t* error) const;
    // The child folder called `name` (case ignored; DOS names and files never
    // match) in the directory index of folder record `folder`; 0 when none.
    uint64_t find_child_folder(uint64_t folder, std::u16string_view name) const;
    ntfs_cluster_source cluster_source(int32_t fd) const { return {fd, cluster_size(), volume_offset}; }
    // The record numbers an $ATTRIBUTE_LIST names, each once, in list
    // order; a non-resident list is read from `fd`.
    std::vector<uint64_t> listed_records(const attribute_ref& attribute, int32_t fd) const;

    // The data runs of $MFT itself, filled by the scan.
    run_list mft_runs;
    // Whose blocks of records this engine's saves read through.
    const uint64_t record_block_owner_ = new_record_block_owner();
    // Set at the start of each scan.
    uint64_t volume_size_bytes = 0;

private:
    // Reads $MFT's own record: its runs into mft_runs, and the root folder's
    // number from its name's parent (0 when the record cannot be read).
    uint64_t load_mft_runs(uint64_t& mft_bytes);
    // Reads the extension records that record 0's attribute list names:
    // adds the pieces of $MFT's run list found there to mft_runs, in order
    // from where the runs end, and returns the folder number of a "$MFT"
    // name found there (0 when none).
    uint64_t read_mft_extensions(const std::vector<uint64_t>& extension_records);
    // Reads every record of the MFT into the tree, marking live clusters in
    // `cluster_map` when given.
    void read_mft(file_node_info& tree, sector_bitmap* cluster_map);
    // Resolves the start path's folders below the root through the
    // directory indexes, white-listing the target and the recycle bin.
    // False when the target is not found.
    bool resolve_start_path(file_node_info& tree, const std::vector<std::u16string>& components, bool& inside_bin);
    // The resident extent text of a file without runs: "[" and one object
    // when its value is found in its record or an extension record, "]".
    std::string resident_extent_text(const tagNtfsFileInfoEx& file) const;

    ntfs_geometry geometry_;
    std::shared_ptr<file_node_info> record_tree_;
};

// Whether `record` is a sound MFT record 0: it starts with "FILE", its update
// sequence fixup is accepted (and applied in place), its own number and its
// base reference are 0, and the attribute walk meets a resident $FILE_NAME
// named "$MFT" (case ignored).
bool is_mft_self_record(std::span<uint8_t> record);
// Whether `record` is sound as record 0 but holds no $FILE_NAME, only an
// $ATTRIBUTE_LIST naming where its attributes went.
bool names_moved_out(std::span<uint8_t> record);

}  // namespace ostrel
