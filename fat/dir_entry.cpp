#include "fat/dir_entry.h"

#include "platform/codepage.h"

namespace ostrel {

namespace {

// Bytes no short name may hold: " * / : < > ? \ | , control characters, DEL.
bool is_forbidden_name_byte(uint8_t b) {
    switch (b) {
        case 0x22: case 0x2A: case 0x2F: case 0x3A: case 0x3C:
        case 0x3E: case 0x3F: case 0x5C: case 0x7C: case 0x7F:
            return true;
        default:
            return b < 0x20;
    }
}

// An attribute byte no real entry carries: 0x3F and above, or the label bit
// mixed with others.
bool is_impossible_attribute(uint8_t attributes) {
    return attributes >= 0x3F || ((attributes & fat_attribute_label) && attributes != fat_attribute_label);
}

// A slot without an entry: attribute 0 and a name that starts with a zero
// byte, or whose second byte is zero (wiped after deletion); real names are
// padded with spaces. Other attribute-0 entries are plain files, tested like
// any other.
bool is_blank_slot(byte_view entry) {
    return entry[fat_entry_field::attributes] == 0 && (entry[0] == 0x00 || entry[1] == 0x00);
}

// Length of a space-padded field up to its first space.
size_t trimmed_length(byte_view entry, size_t offset, size_t width) {
    size_t n = 0;
    while (n < width && entry[offset + n] != ' ') ++n;
    return n;
}

void prepend_group(std::u16string& pending, byte_view entry, size_t offset, size_t units) {
    std::u16string group;
    for (size_t i = 0; i < units; ++i) {
        const uint16_t c = entry.u16_or(offset + 2 * i, 0);
        if (c == 0x0000 || c == 0xFFFF) break;
        group.push_back(static_cast<char16_t>(c));
    }
    pending.insert(0, group);
}

}  // namespace

void append_long_name_part(std::u16string& pending, byte_view entry) {
    // Long-name entries stand in reverse order, so each one goes in front.
    prepend_group(pending, entry, 28, 2);
    prepend_group(pending, entry, 14, 6);
    prepend_group(pending, entry, 1, 5);
}

std::u16string fat_short_name(byte_view entry) {
    const uint8_t case_flags = entry[fat_entry_field::case_flags];
    const size_t base_length = trimmed_length(entry, 0, 8);
    if (base_length == 0) return {};
    const size_t extension_length = trimmed_length(entry, 8, 3);
    uint8_t text[12];
    size_t n = 0;
    const bool lower_base = case_flags == 0x08 || case_flags == 0x18;
    const bool lower_extension = case_flags == 0x10 || case_flags == 0x18;
    auto lowered = [](uint8_t c, bool lower) { return (lower && c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; };
    for (size_t i = 0; i < base_length; ++i) text[n++] = lowered(entry[i], lower_base);
    if (extension_length > 0) {
        text[n++] = '.';
        for (size_t i = 0; i < extension_length; ++i) text[n++] = lowered(entry[8 + i], lower_extension);
    }
    if (entry[0] == fat_deleted_mark) text[0] = '#';
    return platform::ansi_to_utf16(text, n);
}

uint32_t fat_first_cluster(byte_view entry, bool is_fat32) {
    const uint32_t low = entry.u16_or(fat_entry_field::cluster_low);
    return is_fat32 ? (uint32_t{entry.u16_or(fat_entry_field::cluster_high)} << 16) | low : low;
}

fat_accepted_entry accept_fat_entry(byte_view entry, std::u16string& pending_long_name) {
    fat_accepted_entry result;
    const uint8_t attributes = entry[fat_entry_field::attributes];
    if (attributes == fat_attribute_long_name) {
        append_long_name_part(pending_long_name, entry);
        result.kind = fat_entry_kind::long_name;
        return result;
    }
    // Whatever happens below, a long name belongs only to the entry right after it.
    std::u16string long_name = std::move(pending_long_name);
    pending_long_name.clear();
    // Attribute 0 is a plain file: cameras, embedded devices and Linux tools
    // write files with no attribute bit at all, and whole folders of them.
    if (is_impossible_attribute(attributes) || entry[0] == 0x00) return result;
    for (size_t i = 0; i < 11; ++i) {
        if (is_forbidden_name_byte(entry[i])) return result;
    }
    result.name = long_name.empty() ? fat_short_name(entry) : std::move(long_name);
    if (result.name.empty()) return result;
    if (attributes == fat_attribute_label) {
        result.kind = fat_entry_kind::label;
    } else {
        result.kind = (attributes & fat_attribute_directory) ? fat_entry_kind::folder : fat_entry_kind::file;
    }
    return result;
}

bool is_fat_directory_sector(byte_view sector, uint64_t cluster_count) {
    bool any_entry = false;
    for (size_t offset = 0; offset + fat_entry_bytes <= 512 && offset + fat_entry_bytes <= sector.size();
         offset += fat_entry_bytes) {
        const byte_view entry = sector.sub(offset, fat_entry_bytes);
        const uint8_t attributes = entry[fat_entry_field::attributes];
        if (attributes == fat_attribute_long_name || is_blank_slot(entry)) continue;
        any_entry = true;
        if (is_impossible_attribute(attributes)) return false;
        const uint32_t low = entry.u16_or(fat_entry_field::cluster_low);
        if (low >= cluster_count) return false;
        const uint8_t case_flags = entry[fat_entry_field::case_flags];
        if (case_flags != 0 && case_flags != 0x08 && case_flags != 0x10 && case_flags != 0x18) return false;
        const size_t base_length = trimmed_length(entry, 0, 8);
        for (size_t i = 0; i < base_length; ++i) {
            if (is_forbidden_name_byte(entry[i])) return false;
        }
        size_t extension_length = 0;
        if (base_length > 0) {
            extension_length = trimmed_length(entry, 8, 3);
            for (size_t i = 0; i < extension_length; ++i) {
                if (is_forbidden_name_byte(entry[8 + i])) return false;
            }
        }
        if (base_length == 0 && extension_length == 0) return false;
        // The high word counts here on FAT16 too.
        const uint64_t cluster = (uint64_t{entry.u16_or(fat_entry_field::cluster_high)} << 16) | low;
        if (cluster >= cluster_count) return false;
    }
    return any_entry;
}

}  // namespace ostrel
