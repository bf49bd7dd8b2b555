#include "core/recycle/companion_record.h"

namespace ostrel {

namespace {

constexpr size_t former_size_offset = 8;
constexpr size_t older_path_offset = 24;
constexpr size_t newer_path_offset = 28;

uint64_t read_u64(std::span<const uint8_t> bytes, size_t offset) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) value |= uint64_t{bytes[offset + i]} << (8 * i);
    return value;
}

// The UTF-16 unit at `offset`, or 0 when it does not lie wholly in `bytes`.
char16_t read_unit(std::span<const uint8_t> bytes, size_t offset) {
    if (offset + 2 > bytes.size()) return 0;
    return static_cast<char16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

bool is_ascii_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// A path starts at `offset` when it begins with a drive letter and a colon.
bool drive_at(std::span<const uint8_t> bytes, size_t offset) {
    return read_unit(bytes, offset + 2) == u':' && is_ascii_letter(read_unit(bytes, offset));
}

}  // namespace

std::optional<companion_record> parse_companion(std::span<const uint8_t> bytes, uint64_t volume_size,
                                                bool windows10_layout) {
    if (bytes.size() < companion_min_bytes) return std::nullopt;

    companion_record record;
    record.former_size = read_u64(bytes, former_size_offset);
    // An item larger than the volume it came from cannot be real.
    if (record.former_size >= volume_size) return std::nullopt;

    size_t start = 0;
    if (windows10_layout && bytes.size() >= 32 && drive_at(bytes, newer_path_offset)) {
        start = newer_path_offset;
    } else if (drive_at(bytes, older_path_offset)) {
        start = older_path_offset;
    } else {
        return std::nullopt;
    }

    // Up to the terminator, or to the last whole unit read when there is none.
    for (size_t at = start; at + 2 <= bytes.size(); at += 2) {
        const char16_t unit = read_unit(bytes, at);
        if (unit == 0) break;
        record.former_path.push_back(unit);
    }

    const size_t last_backslash = record.former_path.rfind(u'\\');
    if (last_backslash == std::u16string::npos) return std::nullopt;
    record.former_name = record.former_path.substr(last_backslash + 1);
    // "C:\dir\" names nothing; renaming an item to an empty name would hand
    // the host a nameless entry, so such a record is treated as malformed.
    if (record.former_name.empty()) return std::nullopt;
    return record;
}

}  // namespace ostrel
