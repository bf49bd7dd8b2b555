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

attribute_walk::attribute_walk(byte_view record)
    : record_(record), position_(record.u16_or(mft_header::first_attribute_offset)) {}

std::optional<attribute_ref> attribute_walk::next() {
    if (stopped_) return std::nullopt;
    if (started_) {
        // Advance by the length field as it stands. A length that runs past
        // the record leaves fewer than 4 bytes ahead, which ends the walk.
        const uint32_t length = record_.u32_or(static_cast<size_t>(position_) + attribute_header::length);
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

std::optional<file_name_value> parse_file_name(byte_view value) {
    const auto length = value.u8(file_name_field::name_length);
    if (!length) return std::nullopt;
    auto name = utf16_at(value, file_name_field::name, *length);
    if (!name) return std::nullopt;
    return file_name_value{reference_record_number(value.u64_or(file_name_field::parent_reference)),
                           value.u8_or(file_name_field::name_space), std::move(*name)};
}

}  // namespace ostrel
