// MFT record layout and the walk over a record's attributes.
//
// The plain walk advances by each attribute's length field, and stops at a
// zero length, at the end marker, at a type it does not know, or when fewer
// than 4 bytes of the record remain. The repairing walk, which the scan and
// the data readers use, does the same while a length is plausible; a length
// that reaches past the record is taken as damaged and the attribute's end is
// recomputed from its own contents (the run list's terminator, or the
// resident value's end), so one bad length field does not hide the
// attributes behind it. Every attribute either walk hands out is bounded by
// the record buffer, so a hostile length can end the walk early but never
// make it read outside the record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "volume/byte_view.h"

namespace ostrel {

// Fields of an MFT record header (offsets within the record).
namespace mft_header {
inline constexpr size_t magic = 0x00;                    // "FILE"
inline constexpr size_t update_sequence_offset = 0x04;   // u16
inline constexpr size_t link_count = 0x12;               // i16
inline constexpr size_t first_attribute_offset = 0x14;   // u16
inline constexpr size_t flags = 0x16;                    // u16: bit 0 in use, bit 1 directory
inline constexpr size_t base_reference = 0x20;           // u64
inline constexpr size_t record_number = 0x2C;            // u32
inline constexpr uint16_t flag_in_use = 0x0001;
inline constexpr uint16_t flag_directory = 0x0002;
}  // namespace mft_header

// Fields of an attribute header (offsets within the attribute).
namespace attribute_header {
inline constexpr size_t type = 0x00;           // u32
inline constexpr size_t length = 0x04;         // u32
inline constexpr size_t non_resident = 0x08;   // u8, 1 = non-resident
inline constexpr size_t name_length = 0x09;    // u8, characters
inline constexpr size_t name_offset = 0x0A;    // u16
inline constexpr size_t value_length = 0x10;   // u32, resident
inline constexpr size_t value_offset = 0x14;   // u16, resident
inline constexpr size_t first_vcn = 0x10;      // u64, non-resident: first virtual cluster of this piece
inline constexpr size_t last_vcn = 0x18;       // u64, non-resident
inline constexpr size_t runs_offset = 0x20;    // u16, non-resident
inline constexpr size_t allocated_size = 0x28; // i64, non-resident
inline constexpr size_t data_size = 0x30;      // i64, non-resident
inline constexpr size_t initialized_size = 0x38;  // i64, non-resident
inline constexpr size_t flags = 0x0C;          // u16: 0x0001 compressed
inline constexpr size_t compression_unit = 0x22;  // u8, log2 of clusters per unit
}  // namespace attribute_header

namespace attribute_type {
inline constexpr uint32_t standard_information = 0x10;
inline constexpr uint32_t attribute_list = 0x20;
inline constexpr uint32_t file_name = 0x30;
inline constexpr uint32_t data = 0x80;
inline constexpr uint32_t index_root = 0x90;
inline constexpr uint32_t index_allocation = 0xA0;
inline constexpr uint32_t end_marker = 0xFFFFFFFF;
}  // namespace attribute_type

// Types the walk goes on past: the multiples of 0x10 from 0x10 to 0x100.
inline bool is_known_attribute_type(uint32_t type) {
    return type != 0 && type <= 0x100 && type % 0x10 == 0;
}

// Whether a record's first attribute lets it be parsed at all: the
// first-attribute offset lies inside the record, and the first type, read
// as signed, is not above 0x80 and is not the end marker.
bool has_parsable_first_attribute(byte_view record);

// Low 48 bits of a file reference: the record number (the sequence number
// in the high 16 bits is never used).
inline uint64_t reference_record_number(uint64_t reference) { return reference & 0xFFFFFFFFFFFFull; }

// One attribute met by the walk.
struct attribute_ref {
    uint32_t type = 0;
    size_t offset = 0;  // within the record
    byte_view bytes;    // from the attribute's start to the end of the record

    bool non_resident() const { return bytes.u8_or(attribute_header::non_resident) == 1; }
    uint32_t length() const { return bytes.u32_or(attribute_header::length); }
    // A resident attribute's value; empty when it is non-resident or when
    // the value does not lie inside the record.
    byte_view resident_value() const;
    // The attribute's own name ("$I30" and the like); empty when it has none
    // or when the name does not lie inside the record.
    std::u16string name() const;
};

enum class length_rule { plain, repairing };

class attribute_walk {
public:
    // Starts at the record's first-attribute offset.
    explicit attribute_walk(byte_view record, length_rule rule = length_rule::plain);

    // The next attribute, or nothing once the walk has stopped.
    std::optional<attribute_ref> next();

private:
    // How far the attribute at `position_` reaches, for the repairing rule;
    // 0 when that cannot be worked out.
    uint64_t repaired_length() const;

    byte_view record_;
    length_rule rule_;
    uint64_t first_offset_ = 0;
    uint64_t position_ = 0;
    bool started_ = false;
    bool stopped_ = false;
};

// A $FILE_NAME value.
struct file_name_value {
    uint64_t parent_record = 0;  // low 48 bits of the parent reference
    uint8_t name_space = 0;      // 2: DOS-only name
    std::u16string name;
};

// Decodes a resident $FILE_NAME value; nothing when the value is too short
// for its fixed part or for the name it announces.
std::optional<file_name_value> parse_file_name(byte_view value);

}  // namespace ostrel
