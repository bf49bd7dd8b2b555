#include "ntfs/attribute_walk.h"

namespace ostrel {

namespace {

namespace file_name_field {
constexpr size_t parent_reference = 0x00;  // u64
constexpr size_t name_length = 0x40;       // u8, characters
constexpr size_t name_space = 0x41;        // u8
constexpr size_t name = 0x42;              // UTF-16
}  // namespace file_name_field

// `count` UTF-16 units at `offset`, or nothing when they leave the view.
std::optional<std::u16string> utf16_at(byte_view view, size_t offset, size_t count) {
    if (!view.contains(offset, count * 2)) return std::nullopt;
    std::u16string text(count, u'\0');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(view.u16_or(offset + 2 * i));
    return text;
}

}  // namespace

byte_view attribute_ref::resident_value() const {
    if (non_resident()) return {};
    return bytes.sub(bytes.u16_or(attribute_header::value_offset), bytes.u32_or(attribute_header::value_length));
}

std::u16string attribute_ref::name() const {
    const size_t count = bytes.u8_or(attribute_header::name_length);
    if (count == 0) return {};
    return utf16_at(bytes, bytes.u16_or(attribute_header::name_offset), count).value_or(std::u16string());
}

attribute_walk::attribute_walk(byte_view record, length_rule rule)
    : record_(record),
      rule_(rule),
      first_offset_(record.u16_or(mft_header::first_attribute_offset)),
      position_(first_offset_) {}

uint64_t attribute_walk::repaired_length() const {
    const byte_view attribute = record_.from(static_cast<size_t>(position_));
    if (attribute.u8_or(attribute_header::non_resident) == 1) {
        // Skip the run entries up to the 0 terminator and step past it.
        uint64_t runs = attribute.u16_or(attribute_header::runs_offset);
        if (runs == 0) {
            const uint8_t name_characters = attribute.u8_or(attribute_header::name_length);
            runs = name_characters == 0 ? 0x40 : attribute.u16_or(attribute_header::name_offset) + 2u * name_characters;
        }
        uint64_t at = runs;
        while (at < attribute.size()) {
            const uint8_t header = attribute[static_cast<size_t>(at)];
            if (header == 0) break;
            at += 1 + (header & 0x0F) + (header >> 4);
        }
        at += 1;
        const uint64_t list_bytes = (at - runs + 3) / 4 * 4;
        const uint64_t end_address = position_ + runs + list_bytes;
        return (end_address + 7) / 8 * 8 - position_;
    }
    const uint64_t end = uint64_t{attribute.u16_or(attribute_header::value_offset)} +
                         attribute.u32_or(attribute_header::value_length);
    return (end + 7) / 8 * 8;
}

std::optional<attribute_ref> attribute_walk::next() {
    if (stopped_) return std::nullopt;
    if (started_) {
        // Advance by the length field as it stands. A length that runs past
        // the record leaves fewer than 4 bytes ahead, which ends the walk.
        uint64_t length = record_.u32_or(static_cast<size_t>(position_) + attribute_header::length);
        // The repairing rule trusts a length only while it is smaller than
        // what lies between the attribute and the record's end (measured, as
        // the volume's own tools do, with the first-attribute offset added).
        const uint64_t room = record_.size() + first_offset_ - position_;
        if (rule_ == length_rule::repairing && length >= room) length = repaired_length();
        if (length == 0) {
            stopped_ = true;
            return std::nullopt;
        }
        position_ += length;
    }
    started_ = true;
    const auto type = position_ <= record_.size() ? record_.u32(static_cast<size_t>(position_)) : std::nullopt;
    if (!type || *type == attribute_type::end_marker || !is_known_attribute_type(*type)) {
        stopped_ = true;
        return std::nullopt;
    }
    const size_t offset = static_cast<size_t>(position_);
    return attribute_ref{*type, offset, record_.from(offset)};
}

bool has_parsable_first_attribute(byte_view record) {
    const size_t first = record.u16_or(mft_header::first_attribute_offset);
    if (first >= record.size()) return false;
    const uint32_t type = record.u32_or(first, attribute_type::end_marker);
    return type != attribute_type::end_marker && static_cast<int32_t>(type) <= 0x80;
}

std::optional<file_name_value> parse_file_name(byte_view value) {
    const auto length = value.u8(file_name_field::name_length);
    if (!length) return std::nullopt;
    auto name = utf16_at(value, file_name_field::name, *length);
    if (!name) return std::nullopt;
    return file_name_value{reference_record_number(value.u64_or(file_name_field::parent_reference)),
                           value.u8_or(file_name_field::name_space), std::move(*name)};
}

}  // namespace ostrel
