// exFAT directory entries: the File, Stream Extension and File Name entries
// that make up one entry set, and the test that tells whether a block of
// bytes reads as exFAT directory entries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "volume/byte_view.h"

namespace ostrel::exfat {

// Entry types. A type with its top bit clear is the deleted form of the
// same entry (File 0x85 becomes 0x05, and so on).
inline constexpr uint8_t entry_file = 0x85;
inline constexpr uint8_t entry_file_deleted = 0x05;
inline constexpr uint8_t entry_stream = 0xC0;
inline constexpr uint8_t entry_stream_deleted = 0x40;
inline constexpr uint8_t entry_name = 0xC1;
inline constexpr uint8_t entry_name_deleted = 0x41;
inline constexpr uint8_t entry_label_deleted = 0x03;
inline constexpr uint8_t entry_guid = 0xA0;
inline constexpr uint8_t entry_padding = 0xA1;
inline constexpr uint8_t entry_acl = 0xA2;

namespace file_entry {
inline constexpr size_t secondary_count = 1;  // u8: the entries of the set after this one
}  // namespace file_entry

namespace stream_entry {
inline constexpr size_t flags = 1;              // u8 GeneralSecondaryFlags
inline constexpr size_t name_length = 3;        // u8, UTF-16 units
inline constexpr size_t valid_data_length = 8;  // u64
inline constexpr size_t first_cluster = 20;     // u32
}  // namespace stream_entry

namespace name_entry {
inline constexpr size_t flags = 1;       // u8 GeneralSecondaryFlags
inline constexpr size_t characters = 2;  // 15 UTF-16 units
inline constexpr size_t units = 15;
}  // namespace name_entry

// GeneralSecondaryFlags of a file whose clusters follow the FAT: allocation
// possible, no "no FAT chain" bit. Any other value means contiguous.
inline constexpr uint8_t flags_fat_chain = 1;

inline bool is_file_entry(uint8_t type) { return type == entry_file || type == entry_file_deleted; }
inline bool is_stream_entry(uint8_t type) { return type == entry_stream || type == entry_stream_deleted; }
inline bool is_name_entry(uint8_t type) { return type == entry_name || type == entry_name_deleted; }

// Whether `bytes` (512 bytes or more) reads as exFAT directory entries: its
// first entry is not an end marker, every entry obeys the rules of its type
// and at least one File, Stream Extension or File Name entry was accepted.
// `volume_bytes` bounds ValidDataLength; a non-empty stream's FirstCluster
// must lie in [lowest_cluster, cluster_limit). A type-0 entry ends the walk
// and passes only when all its bytes are 0 and a File Name entry stands just
// before it. A File entry's whole set is checked only when the entry lies at
// byte 4 x SecondaryCount + 4 or later; a set cut by the buffer's end is
// checked as far as it lies inside.
bool is_exfat_directory_buffer(byte_view bytes, uint64_t volume_bytes, uint64_t lowest_cluster,
                               uint64_t cluster_limit);

}  // namespace ostrel::exfat
