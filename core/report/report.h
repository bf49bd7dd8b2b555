// Handing found items to the host.
//
// Every node attached to the tree (and every node renamed afterwards) is sent
// as one item record through add_item. When the host answers -1 it does not
// know the item's parent yet: the parent is reported first (climbing as far
// as the host lacks ancestors) and the item is sent again.
#pragma once

#include <cstdint>
#include <memory>

namespace ostrel {

class tree_node;
class tagFileInfo;
class tagFolderInfo;

inline constexpr uint32_t item_kind_folder = 0x1;
inline constexpr uint32_t item_kind_folder_renamed = 0x2;
inline constexpr uint32_t item_kind_file = 0x100;
inline constexpr uint32_t item_kind_carved_file = 0x200;
inline constexpr uint32_t item_kind_file_renamed = 0x400;

inline constexpr uint32_t item_group_tree = 0;
inline constexpr uint32_t item_group_recycle_bin = 1;
inline constexpr uint32_t item_group_lost = 2;
inline constexpr uint32_t item_group_carved_retyped = 3;
inline constexpr uint32_t item_group_deleted_parent = 4;

// `group_override` replaces the group for this report when non-null;
// `parent_override` replaces the parent handle when non-zero.
void report_file(uint32_t kind, const std::shared_ptr<tagFileInfo>& file, const uint32_t* group_override,
                 uintptr_t parent_override);
void report_folder(uint32_t kind, const std::shared_ptr<tagFolderInfo>& folder, const uint32_t* group_override,
                   uintptr_t parent_override);

// The folder (kind 1), its files (kind 0x100), then each subfolder the same
// way, in name order.
void report_subtree(const uint32_t* group_override, const std::shared_ptr<tagFolderInfo>& folder);

// Every folder below `root` (not root itself, no files), breadth first.
void report_folder_tree(const std::shared_ptr<tagFolderInfo>& root);

// on_status, when a host is bound.
void report_status(int32_t code);

}  // namespace ostrel
