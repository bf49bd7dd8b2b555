#include "core/report/report.h"

#include <cstring>
#include <deque>

#include "core/node.h"
#include "engine/host_table.h"

namespace ostrel {

namespace {

void report_node(uint32_t kind, const tree_node& node, const uint32_t* group_override, uintptr_t parent_override) {
    host_callbacks* host = bound_host();
    if (!host) return;
    tagItemRecord* record = host->alloc_record(item_record_size);
    if (!record) return;

    std::memset(record, 0, sizeof *record);
    record->name = node.name ? reinterpret_cast<const ostrel_char*>(node.name->c_str()) : nullptr;
    record->deleted = node.deleted ? 1 : 0;
    record->attributes = node.attributes();
    node.describe(reinterpret_cast<char16_t*>(record->created), reinterpret_cast<char16_t*>(record->accessed),
                  reinterpret_cast<char16_t*>(record->modified));

    const std::shared_ptr<tagFolderInfo> parent = node.parent.lock();
    uint32_t group = 0;
    if (group_override) {
        group = *group_override;
    } else if (parent) {
        group = parent->group;
    } else if (node.is_folder()) {
        group = static_cast<const tagFolderInfo&>(node).group;
    }
    record->parent = parent_override ? parent_override : (parent ? parent->handle() : 0);
    record->handle = node.handle();

    if (host->add_item(kind, group, record) != -1) return;

    // The host does not know the parent: report it first, then send again.
    if (parent) {
        static constexpr uint32_t deleted_parent_group = item_group_deleted_parent;
        const uint32_t* parent_group = group_override ? group_override
                                       : node.deleted ? &deleted_parent_group
                                                      : nullptr;
        report_folder(item_kind_folder, parent, parent_group, 0);
    }
    host = bound_host();
    if (host) host->add_item(kind, group, record);
}

}  // namespace

void report_file(uint32_t kind, const std::shared_ptr<tagFileInfo>& file, const uint32_t* group_override,
                 uintptr_t parent_override) {
    if (file) report_node(kind, *file, group_override, parent_override);
}

void report_folder(uint32_t kind, const std::shared_ptr<tagFolderInfo>& folder, const uint32_t* group_override,
                   uintptr_t parent_override) {
    if (folder) report_node(kind, *folder, group_override, parent_override);
}

void report_subtree(const uint32_t* group_override, const std::shared_ptr<tagFolderInfo>& folder) {
    if (!folder) return;
    report_folder(item_kind_folder, folder, group_override, 0);
    for (const auto& [name, file] : folder->files) report_file(item_kind_file, file, group_override, 0);
    for (const auto& [name, child] : folder->folders) report_subtree(group_override, child);
}

void report_folder_tree(const std::shared_ptr<tagFolderInfo>& root) {
    if (!root) return;
    std::deque<std::shared_ptr<tagFolderInfo>> pending;
    for (const auto& [name, child] : root->folders) pending.push_back(child);
    while (!pending.empty()) {
        const std::shared_ptr<tagFolderInfo> folder = pending.front();
        pending.pop_front();
        report_folder(item_kind_folder, folder, nullptr, 0);
        for (const auto& [name, child] : folder->folders) pending.push_back(child);
    }
}

void report_status(int32_t code) { send_status(code); }

}  // namespace ostrel
