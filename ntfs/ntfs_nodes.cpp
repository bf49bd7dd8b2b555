#include "ntfs/ntfs_nodes.h"

#include "core/time_text.h"

namespace ostrel {

void tagNtfsBaseInfo::describe(char16_t* created_text, char16_t* accessed_text, char16_t* modified_text) const {
    write_ntfs_time_text(created_text, created);
    write_ntfs_time_text(accessed_text, accessed);
    write_ntfs_time_text(modified_text, modified);
}

std::shared_ptr<tagNtfsFolderInfoEx> tagNtfsFolderInfoEx::clone_empty() const {
    auto copy = std::make_shared<tagNtfsFolderInfoEx>();
    copy->name = name;
    copy->deleted = deleted;
    copy->group = group;
    static_cast<tagNtfsBaseInfo&>(*copy) = *this;
    static_cast<ntfs_record_numbers&>(*copy) = *this;
    return copy;
}

}  // namespace ostrel
