#include "core/node.h"

#include "core/report/report.h"
#include "platform/natural_order.h"

namespace ostrel {

bool natural_name_less::operator()(const name_ptr& a, const name_ptr& b) const {
    const std::u16string_view left = a ? std::u16string_view(*a) : std::u16string_view();
    const std::u16string_view right = b ? std::u16string_view(*b) : std::u16string_view();
    return platform::compare_logical(left, right) < 0;
}

tree_node::tree_node() : name(std::make_shared<std::u16string>()) {}
tree_node::~tree_node() = default;

const std::u16string& tree_node::name_text() const {
    static const std::u16string empty;
    return name ? *name : empty;
}

void tagFolderInfo::insert_file_unreported(const name_ptr& key, const std::shared_ptr<tagFileInfo>& file) {
    if (!file) return;
    file->parent = weak_from_this();
    files.emplace(key, file);  // after existing equal keys
}

void tagFolderInfo::insert_folder_unreported(const name_ptr& key, const std::shared_ptr<tagFolderInfo>& folder) {
    if (!folder) return;
    folder->parent = weak_from_this();
    folders.emplace(key, folder);
}

void tagFolderInfo::add_file(const name_ptr& key, const std::shared_ptr<tagFileInfo>& file) {
    if (!file) return;
    insert_file_unreported(key, file);
    report_file(item_kind_file, file, nullptr, 0);
}

void tagFolderInfo::add_folder(const name_ptr& key, const std::shared_ptr<tagFolderInfo>& folder) {
    if (!folder) return;
    insert_folder_unreported(key, folder);
    report_folder(item_kind_folder, folder, nullptr, 0);
}

}  // namespace ostrel
