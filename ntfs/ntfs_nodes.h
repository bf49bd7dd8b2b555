// The NTFS record classes: tree nodes that carry what the MFT record says
// about a file or folder besides its name and data: attribute flags, three
// timestamps, and the record numbers that tie it to its folder.
#pragma once

#include <cstdint>
#include <memory>

#include "core/node.h"

namespace ostrel {

// From $STANDARD_INFORMATION: the attribute flags (value offset 0x20) and
// three FILETIMEs (100 ns since 1601). The MFT-change time is not kept.
struct tagNtfsBaseInfo {
    uint32_t attributes = 0;
    uint64_t created = 0;   // value offset 0x00
    uint64_t modified = 0;  // value offset 0x08
    uint64_t accessed = 0;  // value offset 0x18

    // Creation, last access and modification texts, in local time.
    void describe(char16_t* created_text, char16_t* accessed_text, char16_t* modified_text) const;
};

// What file and folder records both add: the record number of the folder the
// first name lives in, and the node's own record number (48 bits each).
struct ntfs_record_numbers {
    uint64_t parent_record = 0;
    uint64_t record_number = 0;
};

class tagNtfsFileInfoEx : public tagFileInfo, public tagNtfsBaseInfo, public ntfs_record_numbers {
public:
    uint32_t attributes() const override { return tagNtfsBaseInfo::attributes; }
    void describe(char16_t* created_text, char16_t* accessed_text, char16_t* modified_text) const override {
        tagNtfsBaseInfo::describe(created_text, accessed_text, modified_text);
    }
    const void* base_info() const override { return static_cast<const tagNtfsBaseInfo*>(this); }
    std::shared_ptr<tagFileInfo> clone() const override { return std::make_shared<tagNtfsFileInfoEx>(*this); }

    // log2 of the clusters in one compression unit when the unnamed $DATA
    // is compressed; 0 when it is stored as is.
    uint8_t compression_unit_log2 = 0;
    // Where resident data was found in the node's own record when the scan
    // read it: the value's offset in the record and the update sequence
    // array's offset + 2 (0 when the record's fixup was refused). Describing
    // a resident file then needs no second read of its record. 0: unknown.
    uint16_t resident_value_offset = 0;
    uint16_t resident_sequence_offset = 0;
};

class tagNtfsFolderInfoEx : public tagFolderInfo, public tagNtfsBaseInfo, public ntfs_record_numbers {
public:
    tagNtfsFolderInfoEx() = default;
    tagNtfsFolderInfoEx(const tagNtfsFolderInfoEx&) = delete;

    uint32_t attributes() const override { return tagNtfsBaseInfo::attributes; }
    void describe(char16_t* created_text, char16_t* accessed_text, char16_t* modified_text) const override {
        tagNtfsBaseInfo::describe(created_text, accessed_text, modified_text);
    }
    const void* base_info() const override { return static_cast<const tagNtfsBaseInfo*>(this); }
    std::shared_ptr<tagFolderInfo> make_sibling_folder() const override {
        return std::make_shared<tagNtfsFolderInfoEx>();
    }

    // A new folder with this one's name object, record fields and flags but
    // no children: the copy a folder gets under each parent it is linked to.
    std::shared_ptr<tagNtfsFolderInfoEx> clone_empty() const;
};

}  // namespace ostrel
