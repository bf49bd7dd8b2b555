#include "ntfs/record_tree.h"

#include "core/report/report.h"

namespace ostrel {

namespace {

// Metadata files and the contents of metadata folders ($Extend) are not
// the user's files. The root is the one metadata folder whose children are.
bool is_metadata(uint64_t own_number, uint64_t parent) {
    return own_number < first_user_record || (parent < first_user_record && parent != root_record);
}

}  // namespace

void file_node_info::set_root(uint64_t number, const std::shared_ptr<tagNtfsFolderInfoEx>& folder) {
    root_number = number;
    root = folder;
    folders.emplace(number, folder);
}

std::vector<std::shared_ptr<tagNtfsFolderInfoEx>> file_node_info::folders_of(uint64_t number) const {
    std::vector<std::shared_ptr<tagNtfsFolderInfoEx>> found;
    const auto [first, last] = folders.equal_range(number);
    for (auto it = first; it != last; ++it) found.push_back(it->second);
    return found;
}

void file_node_info::attach_file(const std::shared_ptr<tagNtfsFolderInfoEx>& folder,
                                 const std::shared_ptr<tagNtfsFileInfoEx>& file, bool report) {
    if (folder->deleted) file->deleted = 1;
    if (report) {
        folder->add_file(file->name, file);
    } else {
        folder->insert_file_unreported(file->name, file);
    }
}

void file_node_info::attach_folder(const std::shared_ptr<tagNtfsFolderInfoEx>& parent,
                                   const std::shared_ptr<tagNtfsFolderInfoEx>& folder, bool report) {
    if (parent->deleted) folder->deleted = 1;
    if (report) {
        parent->add_folder(folder->name, folder);
    } else {
        parent->insert_folder_unreported(folder->name, folder);
    }
    folders.emplace(folder->record_number, folder);
}

void file_node_info::add_file(uint64_t parent, const std::shared_ptr<tagNtfsFileInfoEx>& file) {
    if (!file || is_metadata(file->record_number, parent)) return;
    // Straight from the map, without a list of the folders: this runs once
    // for every file of the volume. Attaching files leaves the map as it is.
    const auto [first, last] = is_white(parent) ? folders.equal_range(parent) : std::pair(folders.end(), folders.end());
    if (first == last) {
        pending_files[parent].push_back(file);
        return;
    }
    attach_file(first->second, file, true);
    for (auto it = std::next(first); it != last; ++it) {
        attach_file(it->second, std::static_pointer_cast<tagNtfsFileInfoEx>(file->clone()), true);
    }
}

void file_node_info::add_folder(uint64_t parent, const std::shared_ptr<tagNtfsFolderInfoEx>& folder) {
    if (!folder || is_metadata(folder->record_number, parent) || folder->name_text() == u".") return;
    if (!white.empty()) {
        if (white.count(parent) == 0) {
            pending_folders[parent].push_back(folder);
            return;
        }
        white.insert(folder->record_number);  // the subtree of a white folder is admitted
    }
    const auto targets = folders_of(parent);
    if (targets.empty()) {
        pending_folders[parent].push_back(folder);
        return;
    }
    attach_folder(targets.front(), folder, true);
    for (size_t i = 1; i < targets.size(); ++i) attach_folder(targets[i], folder->clone_empty(), true);
}

void file_node_info::attach_waiting_groups() {
    // Rather than passing over the waiting groups again and again, follow
    // each attached folder down to the groups that wait for it: every group
    // is attached once, whatever order the records came in.
    std::vector<uint64_t> ready;
    for (const auto& [parent, group] : pending_folders) {
        if (is_white(parent) && folders.count(parent)) ready.push_back(parent);
    }
    while (!ready.empty()) {
        const uint64_t parent = ready.back();
        ready.pop_back();
        const auto it = pending_folders.find(parent);
        if (it == pending_folders.end() || !is_white(parent) || !folders.count(parent)) continue;
        const auto group = std::move(it->second);
        pending_folders.erase(it);
        for (const auto& folder : group) {
            add_folder(parent, folder);
            if (pending_folders.count(folder->record_number)) ready.push_back(folder->record_number);
        }
    }
    for (auto it = pending_files.begin(); it != pending_files.end();) {
        if (!is_white(it->first) || !folders.count(it->first)) {
            ++it;
            continue;
        }
        const auto group = std::move(it->second);
        const uint64_t parent = it->first;
        it = pending_files.erase(it);
        for (const auto& file : group) add_file(parent, file);
    }
}

void file_node_info::resolve_pending() {
    if (!lists.empty()) lists.leftover_pass(*this);
    attach_waiting_groups();
}

void file_node_info::adopt_lost_folder(const std::shared_ptr<tagNtfsFolderInfoEx>& top) {
    folders.emplace(top->record_number, top);
    lost_folders_.push_back(top);
    // Folders are taken out of the waiting map before they are followed, so
    // a parent chain that loops back is attached once and ends.
    std::vector<std::shared_ptr<tagNtfsFolderInfoEx>> below{top};
    while (!below.empty()) {
        const auto folder = below.back();
        below.pop_back();
        if (const auto it = pending_folders.find(folder->record_number); it != pending_folders.end()) {
            const auto group = std::move(it->second);
            pending_folders.erase(it);
            for (const auto& child : group) {
                child->group = folder->group;
                attach_folder(folder, child, false);
                below.push_back(child);
            }
        }
        if (const auto it = pending_files.find(folder->record_number); it != pending_files.end()) {
            const auto group = std::move(it->second);
            pending_files.erase(it);
            for (const auto& file : group) attach_file(folder, file, false);
        }
    }
}

std::shared_ptr<tagNtfsFolderInfoEx> file_node_info::finish() {
    resolve_pending();
    if (full_scan) {
        while (!pending_folders.empty()) {
            const auto group = std::move(pending_folders.begin()->second);
            pending_folders.erase(pending_folders.begin());
            for (const auto& folder : group) {
                if (!folder->group) folder->group = item_group_lost;
                adopt_lost_folder(folder);
                const uint32_t group_number = folder->group;
                report_subtree(&group_number, folder);
            }
        }
    }
    for (auto& [parent, group] : pending_files) {
        if (!is_white(parent)) continue;
        const bool known = folders.count(parent) != 0;
        for (const auto& file : group) {
            if (known) {
                add_file(parent, file);
            } else if (full_scan) {
                const uint32_t group_number = parent == root_record ? item_group_recycle_bin : item_group_lost;
                lost_files_.push_back(file);
                report_file(item_kind_file, file, &group_number, 0);
            }
        }
    }
    pending_files.clear();
    return root;
}

}  // namespace ostrel
