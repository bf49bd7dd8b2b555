#include "exfat/exfat_nodes.h"

#include "core/time_text.h"

namespace ostrel {

namespace {

namespace file_entry {
constexpr size_t attributes = 4;               // u16 FileAttributes, then a reserved u16
constexpr size_t creation_timestamp = 8;       // u32
constexpr size_t modification_timestamp = 12;  // u32
constexpr size_t access_timestamp = 16;        // u32
constexpr size_t creation_ten_ms = 20;         // u8
}  // namespace file_entry

void write_stamp(char16_t* area, uint32_t stamp, uint8_t ten_ms) {
    write_fat_time_text(area, static_cast<uint16_t>(stamp >> 16), static_cast<uint16_t>(stamp), ten_ms);
}

}  // namespace

exfat_finfo exfat_finfo::from_file_entry(byte_view entry) {
    exfat_finfo info;
    info.attributes = entry.u32_or(file_entry::attributes);
    info.creation_timestamp = entry.u32_or(file_entry::creation_timestamp);
    info.modification_timestamp = entry.u32_or(file_entry::modification_timestamp);
    info.access_timestamp = entry.u32_or(file_entry::access_timestamp);
    info.creation_ten_ms = entry.u8_or(file_entry::creation_ten_ms);
    return info;
}

void exfat_finfo::describe(char16_t* created, char16_t* accessed, char16_t* modified) const {
    write_stamp(created, creation_timestamp, creation_ten_ms);
    // Unlike FAT's date-only access stamp, exFAT's has a time too.
    write_stamp(accessed, access_timestamp, 0);
    write_stamp(modified, modification_timestamp, 0);
}

}  // namespace ostrel
