// Recycle-bin restoration: the step every file-system scan runs once on its
// finished tree.
//
// Windows keeps a recycled item inside "$RECYCLE.BIN" (mostly inside one
// subfolder per user) as a pair: the item itself under a generated name
// beginning "$R", and a companion file beginning "$I" that holds the item's
// former full path. The restoration gives each item its former name back,
// records the former path in the engine's former-path index, re-sends the
// item to the host under its new name and, unless the scan was limited to
// the bin itself, attaches a copy of it at its former place in the tree,
// creating the missing folders (marked deleted) on the way.
//
// Malformed or missing companions leave their item as it was; nothing is
// logged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/node.h"
#include "core/recycle/companion_record.h"

namespace ostrel {

class recover_impl;

inline constexpr std::u16string_view recycle_bin_name = u"$RECYCLE.BIN";

// True when a scan's start path leads into the recycle bin: its first
// component is "$RECYCLE.BIN" in any case. Scans pass this as `inside_bin`.
bool is_recycle_bin_path(std::u16string_view start_path);

// Entry point. Finds the first subfolder of `root` named "$RECYCLE.BIN" (any
// case) and restores the items of the bin itself, then those of each of its
// per-user subfolders (those whose names hold no "$R"), whatever the file
// system. `inside_bin`: the scan was asked for a path inside the bin, so
// items are renamed but not copied out.
void restore_recycle_bin(recover_impl& engine, bool inside_bin, const std::shared_ptr<tagFolderInfo>& root);

// What the processing of one bin folder carries from item to item.
struct bin_pass {
    bin_pass(recover_impl& engine, std::shared_ptr<tagFolderInfo> root, std::shared_ptr<tagFolderInfo> bin,
             bool inside_bin);

    recover_impl& engine;
    std::shared_ptr<tagFolderInfo> root;
    std::shared_ptr<tagFolderInfo> bin;
    bool inside_bin;
    uint64_t volume_size;
    // Restored items by their new names; merged into the bin at the end.
    file_map restored_files;
    folder_map restored_folders;
    // The bin's files by ASCII upper-cased name, the first in name order for
    // each: companion lookups stay linear in the size of the bin.
    std::unordered_map<std::u16string, std::shared_ptr<tagFileInfo>> companions;
};

// Restores every "$R" file and folder directly inside `bin`, then adds the
// restored entries to `bin` under their new names (without reporting them;
// the old entries stay).
void restore_bin_folder(recover_impl& engine, const std::shared_ptr<tagFolderInfo>& root,
                        const std::shared_ptr<tagFolderInfo>& bin, bool inside_bin);

// The companion's name: the item's name with its second character made "I".
std::u16string companion_name_for(std::u16string_view item_name);

// Reads and decodes the first file of the bin named `companion_name` (any
// case); nullopt when there is none or it is rejected.
std::optional<companion_record> read_companion(bin_pass& pass, std::u16string_view companion_name);

// One "$R" file: renamed, indexed, re-sent (kind 0x400) and, outside the
// bin scan, cloned to its former place. True when it was restored.
bool restore_recycled_file(bin_pass& pass, const std::shared_ptr<tagFileInfo>& item,
                           std::u16string_view companion_name);

// One "$R" folder: renamed, indexed, re-sent (kind 2) and, outside the bin
// scan, its subtree copied to its former place. True when it was restored.
bool restore_recycled_folder(bin_pass& pass, const std::shared_ptr<tagFolderInfo>& item,
                             std::u16string_view companion_name);

// Creates (or reuses) under `root` the folders of `former_path` between the
// drive and the last component, and attaches `node` to the last one with
// add_file (kind 0x100). New folders are of the engine's node class, marked
// deleted, take their parent's group and are reported with kind 1.
void rebuild_former_path(recover_impl& engine, std::u16string_view former_path,
                         const std::shared_ptr<tagFolderInfo>& root, const std::shared_ptr<tagFileInfo>& node);

// Reports `target` (kind 1), then attaches a clone of every file of `source`
// to it (kind 0x100) and a copy of every subfolder, recursively. A subfolder
// of `source` that is `target` itself is not copied into itself.
void copy_subtree(const std::shared_ptr<tagFolderInfo>& target, const std::shared_ptr<tagFolderInfo>& source);

}  // namespace ostrel
