#include "carve/carved_file.h"

#include "engine/log.h"

namespace ostrel {

namespace {

constexpr uint8_t carved_byte_range = 4;  // source_kind: one contiguous byte range
constexpr uint64_t block_bytes = 512;

}  // namespace

tagUnknownFormatFileInfoEx::tagUnknownFormatFileInfoEx(uint64_t offset, uint32_t code,
                                                       std::u16string_view extension) {
    source_kind = carved_byte_range;
    type = code;
    runs.push_back({offset, block_bytes});
    set_name(carved_file_name(offset, extension));
}

std::u16string carved_file_name(uint64_t offset, std::u16string_view extension) {
    return format_message("%I64x", {static_cast<long long>(offset)}) + u"." + std::u16string(extension);
}

std::u16string lost_folder_name(uint64_t offset) {
    return format_message("Dir%I64x", {static_cast<long long>(offset / block_bytes)});
}

}  // namespace ostrel
