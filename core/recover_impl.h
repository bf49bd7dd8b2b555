// The recovery engine base: what every file-system engine (NTFS, FAT, exFAT)
// and the raw engine share. It owns the engine's three device descriptors,
// the boot sector, the scan settings the host gave, the occupied-space map
// and the former-path index, and implements saving, extent texts, full paths
// and tree searches on top of the operations each file system defines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/former_paths.h"
#include "core/node.h"
#include "core/sector_bitmap.h"
#include "volume/boot_sector.h"
#include "volume/device_io.h"

struct stop_token;

namespace ostrel {

class deep_scan_engine;

// A growable byte buffer that reads land in.
struct write_buffer_info {
    std::vector<uint8_t> bytes;  // size() is the length filled so far
};

// Data sink appending to the write_buffer_info that `context` points to;
// false when the buffer cannot grow.
bool append_to_memory(const uint8_t* buffer, uint32_t count, void* context, uint32_t unused, int32_t* error);

class recover_impl {
public:
    // Keeps a duplicate of `d_scan` (0 and a log line when that fails).
    recover_impl(int32_t d_scan, std::shared_ptr<const _boot_sector> boot_sector, uint64_t volume_offset,
                 bool deep_scan);
    // Logs "close\n" and closes the descriptors still open.
    virtual ~recover_impl();
    recover_impl(const recover_impl&) = delete;
    recover_impl& operator=(const recover_impl&) = delete;

    // Rebuilds the tree, from `start_path` when given; `root` receives it on
    // success.
    virtual bool scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* start_path) = 0;

    // Copies the node's data into the new file `destination`.
    virtual bool save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error);

    // Predicate over (folder, no file) or (no folder, file).
    using node_predicate = bool (*)(const tagFolderInfo* folder, const tagFileInfo* file, void* context);
    // The folder itself when accepted; else, when recursive, each subfolder
    // first; then the folder's files.
    bool find_node_if(node_predicate predicate, void* context, const std::shared_ptr<tagFolderInfo>& folder,
                      std::shared_ptr<tree_node>& out, bool recursive) const;
    // Exact-key lookup in the folder's files, then its folders, then (when
    // recursive) in each subfolder.
    bool find_node_by_name(std::shared_ptr<tree_node>& out, const std::shared_ptr<tagFolderInfo>& folder,
                           std::u16string_view name, bool recursive) const;

    virtual int32_t fs_type() const = 0;

    // Copies `size` bytes of the runs from `fd` to `sink`; the bytes delivered.
    uint64_t save_runs(int32_t fd, const run_list& runs, uint64_t size, data_sink sink, void* context,
                       ::stop_token* stop, int32_t* error) const;

    // The node's whole data; true when exactly its size was read. `out`
    // holds whatever was read either way.
    virtual bool read_to_memory(int32_t fd, const tagFileInfo& node, write_buffer_info& out);

    virtual uint64_t volume_size() const = 0;
    virtual void geometry(int32_t& fd, uint64_t& volume_offset, uint64_t& sector_count) const = 0;
    virtual uint64_t sector_count() const = 0;
    virtual uint32_t cluster_size() const = 0;
    virtual uint64_t cluster_to_offset(uint64_t cluster) const = 0;

    // Logs "close\n", closes and zeroes the descriptors.
    void close();

    // "[{"o":…, "l":…},…]": where the node's data lies on the device.
    virtual std::string extent_text(const std::shared_ptr<tagFileInfo>& node) const;

    // Writes the node's full path when it fits in `buffer_chars` (terminator
    // included); returns the characters needed.
    virtual int32_t full_path(const tree_node& node, char16_t* buffer, uint32_t buffer_chars) const;

    // Is this volume's metadata plausible (asked of a temporary engine
    // during volume discovery).
    virtual bool validate() = 0;

    // A new folder of this volume's node class.
    virtual std::shared_ptr<tagFolderInfo> make_folder() const { return std::make_shared<plain_folder_info>(); }

    // Runs the signature sweep over the space the scan left free (all of it
    // without an occupied-space map), keeping the sweep's engine for saving
    // what it found. False when that engine could not be created.
    virtual bool run_deep_scan();

    int32_t d_scan = 0;
    int32_t d_recovery = 0;
    int32_t d_preview = 0;
    bool deep_scan = false;
    std::shared_ptr<const _boot_sector> boot_sector;
    uint64_t volume_offset = 0;
    ::stop_token* stop_token = nullptr;
    ::stop_token* save_token = nullptr;
    std::shared_ptr<ostrel::deep_scan_engine> deep_scan_engine;
    std::shared_ptr<sector_bitmap> allocation_bitmap;
    std::u16string start_path;
    former_path_index former_paths;

protected:
    // Told the runtime's error number right after save created (or failed
    // to create) its destination; the exFAT engine logs it.
    virtual void on_destination_created(int32_t /*error*/) const {}
    // The save of a node the deep scan produced (source_kind != 0).
    virtual bool save_deep_scan_node(const tagFileInfo& node, const char16_t* destination, int32_t& error);
    // The extent text of such a node; empty when it cannot be described.
    virtual std::string deep_scan_extent_text(const tagFileInfo& node) const;

private:
    void close_descriptors();
};

}  // namespace ostrel
