// One 32-byte FAT directory entry: which entries the walk accepts, their
// names (long names and 8.3 names, deleted ones included), and the test that
// tells whether a 512-byte block looks like a directory sector.
#pragma once

#include <cstdint>
#include <string>

#include "volume/byte_view.h"

namespace ostrel {

namespace fat_entry_field {
inline constexpr size_t attributes = 11;
inline constexpr size_t case_flags = 12;
inline constexpr size_t creation_ten_ms = 13;
inline constexpr size_t creation_time = 14;
inline constexpr size_t creation_date = 16;
inline constexpr size_t access_date = 18;
inline constexpr size_t cluster_high = 20;
inline constexpr size_t write_time = 22;
inline constexpr size_t write_date = 24;
inline constexpr size_t cluster_low = 26;
inline constexpr size_t size = 28;
}  // namespace fat_entry_field

inline constexpr uint8_t fat_attribute_long_name = 0x0F;
inline constexpr uint8_t fat_attribute_label = 0x08;
inline constexpr uint8_t fat_attribute_directory = 0x10;
inline constexpr uint8_t fat_deleted_mark = 0xE5;
inline constexpr size_t fat_entry_bytes = 32;

enum class fat_entry_kind {
    long_name,  // its characters went into the pending name
    rejected,
    label,      // a volume label: named; not a file unless it owns clusters
    file,
    folder,
};

struct fat_accepted_entry {
    fat_entry_kind kind = fat_entry_kind::rejected;
    std::u16string name;
};

// Runs the acceptance rules on `entry` (32 bytes) with the pending long name,
// which it extends (long-name entries) or drops (every other entry).
fat_accepted_entry accept_fat_entry(byte_view entry, std::u16string& pending_long_name);

// Prepends the characters of a long-name entry to `pending`.
void append_long_name_part(std::u16string& pending, byte_view entry);

// The 8.3 name with its case flags applied; "#" for the first character of a
// deleted entry; empty when the base is empty.
std::u16string fat_short_name(byte_view entry);

// FAT32: high word x 65536 + low word; FAT16: the low word alone.
uint32_t fat_first_cluster(byte_view entry, bool is_fat32);

// Whether 512 bytes look like a directory sector of a volume with
// `cluster_count` clusters.
bool is_fat_directory_sector(byte_view sector, uint64_t cluster_count);

}  // namespace ostrel
