// The walk of an exFAT volume's folders into the tree: the root first, then
// every folder found, breadth first through a work queue, so that the depth
// of the tree never deepens the call stack. Live files and folders are marked
// in the occupied-space map as they are found.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "exfat/entry_parser.h"
#include "exfat/exfat_nodes.h"

namespace ostrel {

class exfat_recover;
class sector_bitmap;

class exfat_directory_walk {
public:
    // `bitmap` is the occupied-space map of the scan; it also tells which
    // live folders were walked already.
    exfat_directory_walk(exfat_recover& engine, sector_bitmap& bitmap);

    // Reads the root directory, marking each of its 512-byte units that
    // reads as directory entries.
    void walk_root(const std::shared_ptr<tagExFatFolderInfoEx>& root, const run_list& extents);
    // Reads a folder that is already in the tree (the target of a limited
    // scan, the recycle bin), marking its extents when it is live.
    void walk_folder(const std::shared_ptr<tagExFatFolderInfoEx>& folder, const run_list& extents);
    // Walks the queued folders until none is left or the scan is stopped:
    // each is attached to its parent (and so reported) just before it is
    // read. A folder whose data was walked already is neither read nor
    // attached.
    void walk_queue();
    // Follows `components` from `root` (case ignored), reading each folder
    // for a folder set of that name (a live one before a deleted one), and
    // inserts a folder record for each without reporting it; a folder that
    // an earlier call inserted is reused. The last folder and its extents,
    // or nothing when a component is missing.
    std::optional<std::pair<std::shared_ptr<tagExFatFolderInfoEx>, run_list>>
    navigate(const std::shared_ptr<tagExFatFolderInfoEx>& root, const run_list& root_extents,
             const std::vector<std::u16string>& components);

private:
    struct queued_folder {
        std::shared_ptr<tagExFatFileInfoEx> record;
        std::shared_ptr<tagExFatFolderInfoEx> parent;
        int depth;
    };

    // Reads the extents piece by piece into `parser`. In a deleted folder,
    // pieces that no longer read as directory entries are skipped. With
    // `mark_units`, each 512-byte unit that reads as directory entries is
    // marked occupied.
    void read_extents(const run_list& extents, bool deleted, exfat_entry_parser& parser, bool mark_units);
    // Reads a folder of the tree: its files are added to it, its subfolders
    // queued.
    void read_folder(const std::shared_ptr<tagExFatFolderInfoEx>& folder, const run_list& extents, int depth,
                     bool mark_units);
    bool should_walk(const queued_folder& queued);
    std::shared_ptr<tagExFatFolderInfoEx> attach(const queued_folder& queued);
    bool stopped() const;

    exfat_recover& engine_;
    sector_bitmap& bitmap_;
    exfat_set_geometry set_geometry_;
    std::deque<queued_folder> queue_;
    // First clusters of the live and of the deleted folders walked so far.
    std::unordered_set<uint64_t> live_walked_, deleted_walked_;
    // Extents of the folders that navigate inserted.
    std::unordered_map<const tagFolderInfo*, run_list> navigated_;
};

}  // namespace ostrel
