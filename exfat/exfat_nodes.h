// The exFAT record classes: tree nodes that carry the File entry's attribute
// word and timestamps.
#pragma once

#include <cstdint>
#include <memory>

#include "core/node.h"
#include "volume/byte_view.h"

namespace ostrel {

// The fields of a File directory entry that the records keep. A timestamp
// holds a FAT time in its low 16 bits and a FAT date in its high 16 bits.
struct exfat_finfo {
    uint32_t attributes = 0;  // FileAttributes and the reserved word after it
    uint32_t creation_timestamp = 0;
    uint32_t modification_timestamp = 0;
    uint32_t access_timestamp = 0;
    uint8_t creation_ten_ms = 0;  // 0 to 199

    // The fields of a 32-byte File entry.
    static exfat_finfo from_file_entry(byte_view entry);
    // Creation (with its 10-ms units), access and modification texts, each
    // with date and time.
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const;
};

inline constexpr uint32_t exfat_attribute_directory = 0x10;

class tagExFatFileInfoEx : public tagFileInfo, public exfat_finfo {
public:
    uint32_t attributes() const override { return exfat_finfo::attributes; }
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const override {
        exfat_finfo::describe(created, accessed, modified);
    }
    const void* base_info() const override { return static_cast<const exfat_finfo*>(this); }
    std::shared_ptr<tagFileInfo> clone() const override { return std::make_shared<tagExFatFileInfoEx>(*this); }

    bool is_directory() const { return (exfat_finfo::attributes & exfat_attribute_directory) != 0; }
};

class tagExFatFolderInfoEx : public tagFolderInfo, public exfat_finfo {
public:
    tagExFatFolderInfoEx() = default;
    tagExFatFolderInfoEx(const tagExFatFolderInfoEx&) = delete;

    uint32_t attributes() const override { return exfat_finfo::attributes; }
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const override {
        exfat_finfo::describe(created, accessed, modified);
    }
    const void* base_info() const override { return static_cast<const exfat_finfo*>(this); }
    std::shared_ptr<tagFolderInfo> make_sibling_folder() const override {
        return std::make_shared<tagExFatFolderInfoEx>();
    }

    // The first cluster of the folder's first extent; 0 when it has none.
    uint64_t first_cluster = 0;
};

}  // namespace ostrel
