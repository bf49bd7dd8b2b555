// Tree nodes for tests: named files and folders, added to a parent without
// being reported to the host.
#pragma once

#include <memory>
#include <string>

#include "core/node.h"

namespace ostrel::test {

inline std::shared_ptr<plain_folder_info> folder_named(const std::u16string& name) {
    auto folder = std::make_shared<plain_folder_info>();
    folder->set_name(name);
    return folder;
}

inline std::shared_ptr<plain_file_info> file_named(const std::u16string& name, bool deleted = false) {
    auto file = std::make_shared<plain_file_info>();
    file->set_name(name);
    file->deleted = deleted;
    return file;
}

inline std::shared_ptr<plain_folder_info> add_folder(const std::shared_ptr<tagFolderInfo>& parent,
                                                     const std::u16string& name) {
    auto folder = folder_named(name);
    parent->insert_folder_unreported(folder->name, folder);
    return folder;
}

inline std::shared_ptr<plain_file_info> add_file(const std::shared_ptr<tagFolderInfo>& parent,
                                                 const std::u16string& name, uint64_t size = 0, run_list runs = {}) {
    auto file = file_named(name);
    file->size = size;
    file->runs = std::move(runs);
    parent->insert_file_unreported(file->name, file);
    return file;
}

}  // namespace ostrel::test
