#include "core/recycle/recycle_bin.h"

#include <algorithm>
#include <vector>

#include "core/recover_impl.h"
#include "core/report/report.h"
#include "core/scan_frame.h"
#include "engine/host_table.h"

namespace ostrel {

namespace {

std::u16string ascii_upper(std::u16string_view text) {
    std::u16string upper(text);
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') c -= 32;
    }
    return upper;
}

// Recycled items carry "$R" somewhere in their generated names.
bool is_recycled_name(std::u16string_view name) { return name.find(u"$R") != std::u16string_view::npos; }

// The first direct subfolder of `folder` whose name equals `name` in the
// folders' own (natural) order, or null.
std::shared_ptr<tagFolderInfo> subfolder_named(const tagFolderInfo& folder, const std::u16string& name) {
    const name_ptr key = make_name(name);
    const auto it = folder.folders.lower_bound(key);
    if (it == folder.folders.end() || natural_name_less{}(key, it->first)) return nullptr;
    return it->second;
}

// Walks the components [1, end) of a split former path from `root` (component
// 0 is the drive), descending into existing folders and creating the missing
// ones. The last folder reached, or null when a folder could not be made.
std::shared_ptr<tagFolderInfo> former_folder_chain(recover_impl& engine, const std::shared_ptr<tagFolderInfo>& root,
                                                   const std::vector<std::u16string>& components, size_t end) {
    std::shared_ptr<tagFolderInfo> current = root;
    for (size_t i = 1; i < end; ++i) {
        if (auto existing = subfolder_named(*current, components[i])) {
            current = std::move(existing);
            continue;
        }
        std::shared_ptr<tagFolderInfo> created = engine.make_folder();
        if (!created) return nullptr;
        created->set_name(components[i]);
        created->group = current->group;
        created->deleted = 1;
        current->add_folder(created->name, created);
        current = std::move(created);
    }
    return current;
}

void copy_into(const std::shared_ptr<tagFolderInfo>& target, const std::shared_ptr<tagFolderInfo>& source,
               const tagFolderInfo* outermost_target) {
    report_folder(item_kind_folder, target, nullptr, 0);
    // Snapshots first: when the item's former place lies inside the item,
    // target sits in source's subtree and grows while it is copied.
    std::vector<std::shared_ptr<tagFileInfo>> files;
    for (const auto& [name, file] : source->files) files.push_back(file);
    std::vector<std::shared_ptr<tagFolderInfo>> folders;
    for (const auto& [name, folder] : source->folders) folders.push_back(folder);

    for (const auto& file : files) {
        std::shared_ptr<tagFileInfo> copy = file ? file->clone() : nullptr;
        if (copy) target->add_file(copy->name, copy);
    }
    for (const auto& folder : folders) {
        if (!folder || folder.get() == outermost_target) continue;  // never copy the copy into itself
        std::shared_ptr<tagFolderInfo> copy = folder->make_sibling_folder();
        if (!copy) continue;
        copy->name = folder->name;  // shared, as a clone shares its name
        copy->group = target->group;
        copy->deleted = folder->deleted | target->deleted;
        // Attached unreported: the recursion reports it before its children.
        target->insert_folder_unreported(copy->name, copy);
        copy_into(copy, folder, outermost_target);
    }
}

}  // namespace

bool is_recycle_bin_path(std::u16string_view start_path) {
    const std::vector<std::u16string> components = split_path(start_path);
    return !components.empty() && equal_ignoring_case(components.front(), recycle_bin_name);
}

void restore_recycle_bin(recover_impl& engine, bool inside_bin, const std::shared_ptr<tagFolderInfo>& root) {
    if (!root) return;
    std::shared_ptr<tagFolderInfo> bin;
    for (const auto& [name, folder] : root->folders) {
        if (folder && equal_ignoring_case(folder->name_text(), recycle_bin_name)) {
            bin = folder;
            break;  // later folders of the same name are left alone
        }
    }
    if (!bin) return;

    // Windows keeps one folder per user (named by the user's SID) in the bin,
    // on FAT32 and exFAT volumes as on NTFS; pairs may also lie in the bin
    // itself. Every subfolder that is not a recycled item is such a folder.
    // Taken up front: restoring renames items and a former path may lead back
    // into the bin, both adding folders to it.
    std::vector<std::shared_ptr<tagFolderInfo>> per_user;
    for (const auto& [name, folder] : bin->folders) {
        if (folder && !is_recycled_name(folder->name_text())) per_user.push_back(folder);
    }
    restore_bin_folder(engine, root, bin, inside_bin);
    for (const auto& folder : per_user) restore_bin_folder(engine, root, folder, inside_bin);
}

bin_pass::bin_pass(recover_impl& engine_in, std::shared_ptr<tagFolderInfo> root_in,
                   std::shared_ptr<tagFolderInfo> bin_in, bool inside_bin_in)
    : engine(engine_in),
      root(std::move(root_in)),
      bin(std::move(bin_in)),
      inside_bin(inside_bin_in),
      volume_size(engine_in.volume_size()) {
    for (const auto& [name, file] : bin->files) {
        if (file) companions.emplace(ascii_upper(file->name_text()), file);  // keeps the first
    }
}

void restore_bin_folder(recover_impl& engine, const std::shared_ptr<tagFolderInfo>& root,
                        const std::shared_ptr<tagFolderInfo>& bin, bool inside_bin) {
    if (!root || !bin) return;
    bin_pass pass(engine, root, bin, inside_bin);

    // The items as they stand now. A former path may lead into this very
    // folder; what it adds there is not processed again (a companion naming
    // "$R" items in its own path would otherwise feed itself forever).
    std::vector<std::shared_ptr<tagFileInfo>> files;
    for (const auto& [name, file] : bin->files) {
        if (file && is_recycled_name(file->name_text())) files.push_back(file);
    }
    std::vector<std::shared_ptr<tagFolderInfo>> folders;
    for (const auto& [name, folder] : bin->folders) {
        if (folder && is_recycled_name(folder->name_text())) folders.push_back(folder);
    }

    for (const auto& file : files) restore_recycled_file(pass, file, companion_name_for(file->name_text()));
    for (const auto& folder : folders) restore_recycled_folder(pass, folder, companion_name_for(folder->name_text()));

    // Straight into the maps: a clone keeps the folder at its former place as
    // its parent, and the host already knows every entry.
    for (const auto& [name, file] : pass.restored_files) bin->files.emplace(name, file);
    for (const auto& [name, folder] : pass.restored_folders) bin->folders.emplace(name, folder);
}

std::u16string companion_name_for(std::u16string_view item_name) {
    std::u16string name(item_name);
    if (name.size() >= 2) name[1] = u'I';
    return name;
}

std::optional<companion_record> read_companion(bin_pass& pass, std::u16string_view companion_name) {
    const auto it = pass.companions.find(ascii_upper(companion_name));
    if (it == pass.companions.end()) return std::nullopt;
    const std::shared_ptr<tagFileInfo>& companion = it->second;

    // Read through a clone cut to the limit when the recorded size is larger.
    const tagFileInfo* source = companion.get();
    std::shared_ptr<tagFileInfo> capped;
    if (companion->size > companion_read_limit) {
        capped = companion->clone();
        if (!capped) return std::nullopt;
        capped->size = companion_read_limit;
        source = capped.get();
    }
    write_buffer_info buffer;
    // A short read is judged by what arrived, not by the result.
    pass.engine.read_to_memory(pass.engine.d_scan, *source, buffer);
    const size_t length = std::min<size_t>(buffer.bytes.size(), companion_read_limit);
    return parse_companion(std::span<const uint8_t>(buffer.bytes.data(), length), pass.volume_size,
                           is_windows10.load(std::memory_order_acquire) != 0);
}

bool restore_recycled_file(bin_pass& pass, const std::shared_ptr<tagFileInfo>& item,
                           std::u16string_view companion_name) {
    if (!item || !item->name) return false;
    std::optional<companion_record> record = read_companion(pass, companion_name);
    if (!record) return false;

    const auto former_path = std::make_shared<std::u16string>(std::move(record->former_path));
    item->set_name(std::move(record->former_name));
    pass.restored_files.emplace(item->name, item);
    pass.engine.former_paths.insert(item->handle(), former_path);
    report_file(item_kind_file_renamed, item, nullptr, 0);

    if (pass.inside_bin) return true;
    std::shared_ptr<tagFileInfo> copy = item->clone();
    if (!copy) return true;
    pass.restored_files.emplace(copy->name, copy);
    pass.engine.former_paths.insert(copy->handle(), former_path);
    rebuild_former_path(pass.engine, *former_path, pass.root, copy);
    return true;
}

bool restore_recycled_folder(bin_pass& pass, const std::shared_ptr<tagFolderInfo>& item,
                             std::u16string_view companion_name) {
    if (!item || !item->name) return false;
    std::optional<companion_record> record = read_companion(pass, companion_name);
    if (!record) return false;

    const auto former_path = std::make_shared<std::u16string>(std::move(record->former_path));
    item->set_name(std::move(record->former_name));
    pass.restored_folders.emplace(item->name, item);
    pass.engine.former_paths.insert(item->handle(), former_path);
    report_folder(item_kind_folder_renamed, item, nullptr, 0);

    if (pass.inside_bin) return true;
    // The whole path is a folder chain here: its last folder stands for the
    // item and receives the copy of its contents.
    const std::vector<std::u16string> components = split_path(*former_path, true);
    const std::shared_ptr<tagFolderInfo> target =
        former_folder_chain(pass.engine, pass.root, components, components.size());
    // A path naming no folder would pour the item's contents into the root.
    if (!target || target == pass.root) return true;
    copy_subtree(target, item);
    return true;
}

void rebuild_former_path(recover_impl& engine, std::u16string_view former_path,
                         const std::shared_ptr<tagFolderInfo>& root, const std::shared_ptr<tagFileInfo>& node) {
    if (!root || !node) return;
    const std::vector<std::u16string> components = split_path(former_path, true);
    // The last component is the item's own name, not a folder.
    const size_t folder_end = components.empty() ? 0 : components.size() - 1;
    const std::shared_ptr<tagFolderInfo> folder = former_folder_chain(engine, root, components, folder_end);
    if (folder) folder->add_file(node->name, node);
}

void copy_subtree(const std::shared_ptr<tagFolderInfo>& target, const std::shared_ptr<tagFolderInfo>& source) {
    if (!target || !source) return;
    copy_into(target, source, target.get());
}

}  // namespace ostrel
