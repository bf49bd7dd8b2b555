// Files carved from free space: a block that type identification names
// starts one, and it grows over the blocks that follow it on the device
// until the next boundary. A carved file is one contiguous byte range of the
// device, named after where it starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/node.h"

namespace ostrel {

struct tagUnknownFormatBaseInfo {
    uint32_t type = 0;  // the file_type code that started the file
};

class tagUnknownFormatFileInfoEx : public tagFileInfo, public tagUnknownFormatBaseInfo {
public:
    // A file starting at device byte `offset` with its first 512-byte block.
    tagUnknownFormatFileInfoEx(uint64_t offset, uint32_t code, std::u16string_view extension);

    uint32_t attributes() const override { return 0; }
    void describe(char16_t*, char16_t*, char16_t*) const override {}
    const void* base_info() const override { return static_cast<const tagUnknownFormatBaseInfo*>(this); }
    std::shared_ptr<tagFileInfo> clone() const override {
        return std::make_shared<tagUnknownFormatFileInfoEx>(*this);
    }

    uint64_t offset() const { return runs.empty() ? 0 : runs.front().first; }
};

// "%I64x.%s": the device offset in lower-case hexadecimal, a dot, the
// extension.
std::u16string carved_file_name(uint64_t offset, std::u16string_view extension);

// "Dir%I64x": a lost folder's directory sector, counted in 512-byte units
// from the start of the device, in lower-case hexadecimal.
std::u16string lost_folder_name(uint64_t offset);

}  // namespace ostrel
