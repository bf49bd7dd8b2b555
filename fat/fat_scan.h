// The walk of a FAT volume's directories into the tree: live and deleted
// files and folders, long and short names, extents from cluster chains, and
// the marking of live directories and files in the occupied-space map.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fat/fat_nodes.h"
#include "fat/fat_table.h"

namespace ostrel {

class fat_recover;
class sector_bitmap;

class fat_directory_walk {
public:
    fat_directory_walk(fat_recover& engine, const fat_table& table, sector_bitmap* bitmap);

    // Walks the root directory (FAT32: its chain; FAT16: the fixed region).
    void walk_root(const std::shared_ptr<tagFatFolderInfoEx>& root);
    // Walks one folder's chain, marking into `mark` unless it is null.
    void walk_folder(const std::shared_ptr<tagFatFolderInfoEx>& folder, sector_bitmap* mark);
    // Resolves `components` from the root, attaching (unreported) a folder
    // record for each; the last one, or null when a component is missing.
    std::shared_ptr<tagFatFolderInfoEx> navigate(const std::shared_ptr<tagFatFolderInfoEx>& root,
                                                 const std::vector<std::u16string>& components);

private:
    struct walk_context {
        std::shared_ptr<tagFatFolderInfoEx> folder;
        sector_bitmap* mark;
        std::u16string pending_long_name;
        int depth;
    };

    // Hands one piece of folder data (read at device byte `position`) to the
    // entry rules; false ends the folder's walk.
    bool walk_piece(walk_context& context, const uint8_t* bytes, size_t size, uint64_t position);
    void walk_chain(walk_context& context, uint32_t first_cluster);
    void add_file_entry(walk_context& context, byte_view entry, std::u16string name);
    // The clusters of a file of `size` bytes starting at `first`.
    run_list file_runs(uint32_t first, uint64_t size, bool deleted);
    void add_folder_entry(walk_context& context, byte_view entry, std::u16string name);
    bool should_walk(const tagFatFolderInfoEx& folder) const;
    void mark_sector(sector_bitmap* mark, uint64_t position) const;
    bool stopped() const;

    fat_recover& engine_;
    const fat_table& table_;
    sector_bitmap* bitmap_;  // also the visited map
    // Built when the first deleted file needs it; empty when it cannot be.
    std::optional<fat_free_clusters> free_clusters_;
    bool free_clusters_tried_ = false;
};

}  // namespace ostrel
