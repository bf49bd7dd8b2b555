// The tree an NTFS scan builds from MFT records.
//
// Records arrive in disk order, so a file or folder is often met before the
// folder it lives in. Nodes are attached to their folder by the parent record
// number of their first name; nodes whose folder is not attached yet wait in
// pending maps until the folder appears. A scan limited to one folder admits
// only the folders of its white set and their subtrees.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "ntfs/attribute_list.h"
#include "ntfs/ntfs_nodes.h"

namespace ostrel {

// Records below this number are the volume's own metadata files.
inline constexpr uint64_t first_user_record = 34;
inline constexpr uint64_t root_record = 5;

class file_node_info {
public:
    explicit file_node_info(bool full_scan) : full_scan(full_scan) {}

    // Registers the root folder under `number`.
    void set_root(uint64_t number, const std::shared_ptr<tagNtfsFolderInfoEx>& root);

    // Attaches `file` to the folder(s) registered under `parent` (a clone per
    // folder when there are several), or lets it wait. Metadata files and
    // files under metadata folders are dropped.
    void add_file(uint64_t parent, const std::shared_ptr<tagNtfsFileInfoEx>& file);
    // The same for folders; an attached folder is registered under its own
    // number. Folders named "." are dropped.
    void add_folder(uint64_t parent, const std::shared_ptr<tagNtfsFolderInfoEx>& folder);

    // Closes what the attribute-list bookkeeping still holds, then attaches
    // every waiting folder and file whose folder is now known.
    void resolve_pending();
    // Resolves once more, then (full scans only) shows what is still
    // waiting: folders whose parent never appeared become lost subtrees
    // (group 2), files with no folder are reported on their own.
    std::shared_ptr<tagNtfsFolderInfoEx> finish();

    // The folders registered under `number` (several when a folder was cloned).
    std::vector<std::shared_ptr<tagNtfsFolderInfoEx>> folders_of(uint64_t number) const;
    bool is_white(uint64_t number) const { return white.empty() || white.count(number) != 0; }

    const bool full_scan;
    uint64_t root_number = 0;
    std::shared_ptr<tagNtfsFolderInfoEx> root;
    attribute_list_mgr lists;
    std::set<uint64_t> white;

    std::map<uint64_t, std::vector<std::shared_ptr<tagNtfsFolderInfoEx>>> pending_folders;
    std::multimap<uint64_t, std::shared_ptr<tagNtfsFolderInfoEx>> folders;
    std::map<uint64_t, std::vector<std::shared_ptr<tagNtfsFileInfoEx>>> pending_files;

private:
    void attach_file(const std::shared_ptr<tagNtfsFolderInfoEx>& folder, const std::shared_ptr<tagNtfsFileInfoEx>& file,
                     bool report);
    void attach_folder(const std::shared_ptr<tagNtfsFolderInfoEx>& parent,
                       const std::shared_ptr<tagNtfsFolderInfoEx>& folder, bool report);
    // Attaches the waiting groups under every registered folder, following
    // newly attached folders down.
    void attach_waiting_groups();
    // Makes a folder whose parent never appeared the top of a lost subtree
    // and pulls in everything waiting below it, without reporting.
    void adopt_lost_folder(const std::shared_ptr<tagNtfsFolderInfoEx>& folder);

    // Lost files reported without a folder: kept here, since no folder owns
    // them and the host holds their handles.
    std::vector<std::shared_ptr<tagNtfsFileInfoEx>> lost_files_;
    std::vector<std::shared_ptr<tagNtfsFolderInfoEx>> lost_folders_;
};

}  // namespace ostrel
