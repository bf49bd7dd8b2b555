// The FAT record classes: tree nodes that carry the entry's attribute byte
// and timestamps.
#pragma once

#include <cstdint>
#include <memory>

#include "core/node.h"
#include "volume/byte_view.h"

namespace ostrel {

struct tagFatBaseInfo {
    uint8_t attributes = 0;
    uint8_t creation_ten_ms = 0;
    uint16_t creation_time = 0;
    uint16_t creation_date = 0;
    uint16_t access_date = 0;
    uint16_t write_time = 0;
    uint16_t write_date = 0;

    // The fields of a 32-byte directory entry.
    static tagFatBaseInfo from_entry(byte_view entry);
    // Creation, access (date only) and modification texts.
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const;
};

class tagFatFileInfoEx : public tagFileInfo, public tagFatBaseInfo {
public:
    uint32_t attributes() const override { return tagFatBaseInfo::attributes; }
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const override {
        tagFatBaseInfo::describe(created, accessed, modified);
    }
    const void* base_info() const override { return static_cast<const tagFatBaseInfo*>(this); }
    std::shared_ptr<tagFileInfo> clone() const override { return std::make_shared<tagFatFileInfoEx>(*this); }
};

class tagFatFolderInfoEx : public tagFolderInfo, public tagFatBaseInfo {
public:
    tagFatFolderInfoEx() = default;
    tagFatFolderInfoEx(const tagFatFolderInfoEx&) = delete;

    uint32_t attributes() const override { return tagFatBaseInfo::attributes; }
    void describe(char16_t* created, char16_t* accessed, char16_t* modified) const override {
        tagFatBaseInfo::describe(created, accessed, modified);
    }
    const void* base_info() const override { return static_cast<const tagFatBaseInfo*>(this); }
    std::shared_ptr<tagFolderInfo> make_sibling_folder() const override {
        return std::make_shared<tagFatFolderInfoEx>();
    }

    uint32_t first_cluster = 0;
};

}  // namespace ostrel
