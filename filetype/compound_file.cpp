#include "filetype/compound_file.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "filetype/file_type.h"
#include "volume/byte_view.h"

namespace ostrel {

namespace {

namespace header_field {
constexpr size_t major_version = 26;
constexpr size_t sector_shift = 30;
constexpr size_t directory_sector_count = 40;
constexpr size_t first_directory_sector = 48;
}  // namespace header_field

constexpr size_t header_bytes = 512;
constexpr size_t directory_entry_bytes = 128;
// Version 3 files leave the directory sector count 0; then at most this many
// entries are examined beyond the first sector's worth.
constexpr int64_t version3_entry_limit = 20;

struct stream_name {
    std::u16string_view name;
    uint32_t code;
};
// Tested in this order within each entry.
constexpr stream_name known_streams[] = {
    {u"WordDocument", file_type::doc},
    {u"Workbook", file_type::xls},
    {u"PowerPoint Document", file_type::ppt},
    {u"__nameid_version1.0", file_type::msg},
};

char16_t fold_ascii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

// True when the UTF-16LE name at `entry` starts with `prefix`, ASCII letters
// compared without case. A NUL in the name before the prefix ends is a
// mismatch. The longest prefix (19 characters) stays inside the entry's
// 64-byte name field.
bool name_starts_with(const uint8_t* entry, std::u16string_view prefix) {
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = char16_t(entry[2 * i] | (entry[2 * i + 1] << 8));
        if (c == 0 || fold_ascii(c) != fold_ascii(prefix[i])) return false;
    }
    return true;
}

}  // namespace

bool sniff_compound_file(const uint8_t* buffer, size_t size, compound_sniff_state& state) {
    if (state.first_call) {
        if (!buffer || size < header_bytes ||
            std::memcmp(buffer, compound_file_signature, sizeof compound_file_signature) != 0) {
            state.result = 0;
            return false;
        }
        std::memcpy(state.header, buffer, header_bytes);
        state.first_call = false;
    } else if (!buffer || size < header_bytes) {
        return true;
    }

    const byte_view header(state.header, header_bytes);
    // A shift of 32 or more asks for sectors larger than any buffer, so the
    // directory cannot be in this one.
    const uint16_t shift = header.u16_or(header_field::sector_shift);
    if (shift < 9 || shift >= 32) return true;
    const uint64_t sector_bytes = uint64_t(1) << shift;

    const uint64_t whole_sectors = (size - header_bytes) / sector_bytes;
    const int64_t last_sector = int64_t(std::min<uint64_t>(whole_sectors, INT32_MAX)) - 1;
    state.last_sector_index = int32_t(last_sector);
    const uint64_t first_directory = header.u32_or(header_field::first_directory_sector);
    if (last_sector < 0 || whole_sectors <= first_directory) return true;

    const uint64_t directory_pos = header_bytes + first_directory * sector_bytes;
    state.directory_cursor = buffer + directory_pos;
    if (header.u16_or(header_field::major_version) < 3) return true;

    // How many entries to examine. The directory is taken to be contiguous
    // from its first sector; the allocation table is not followed.
    const int64_t per_sector = int64_t(sector_bytes / directory_entry_bytes);
    const int64_t first = int64_t(first_directory);
    const int64_t count_sectors = header.u32_or(header_field::directory_sector_count);
    int64_t entries;
    if (count_sectors != 0) {
        const int64_t k = std::min(first + count_sectors, last_sector) - first;
        entries = k > 1 ? per_sector * k : per_sector;
    } else {
        const int64_t fit = ((last_sector - first) * int64_t(sector_bytes)) / int64_t(directory_entry_bytes);
        entries = std::max(per_sector, std::min(fit, version3_entry_limit));
    }

    state.result = file_type::compound_file;
    for (int64_t i = 0; i < entries; ++i) {
        const uint64_t pos = directory_pos + uint64_t(i) * directory_entry_bytes;
        // The counts above keep every entry inside the whole sectors; this
        // bound holds even if they did not.
        if (pos > size || size - pos < directory_entry_bytes) break;
        state.directory_cursor = buffer + pos;
        for (const stream_name& stream : known_streams) {
            if (name_starts_with(state.directory_cursor, stream.name)) {
                state.result = stream.code;
                return false;
            }
        }
    }
    return true;
}

uint32_t compound_file_type(uint32_t sniff_result) {
    switch (sniff_result) {
        case file_type::doc:
        case file_type::xls:
        case file_type::ppt:
        case file_type::msg:
            return sniff_result;
        default:
            return file_type::compound_file;
    }
}

}  // namespace ostrel
