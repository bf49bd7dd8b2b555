// Bounds-checked little-endian reads over on-disk bytes.
//
// Every parser in the engine reads through a byte_view: a read that would
// leave the buffer fails instead of touching memory outside it, and values
// are assembled with memcpy so unaligned fields are never dereferenced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace ostrel {

class byte_view {
public:
    constexpr byte_view() = default;
    constexpr byte_view(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    constexpr byte_view(std::span<const uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // True when [offset, offset + length) lies inside the view (overflow-safe).
    bool contains(size_t offset, size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    std::optional<uint8_t> u8(size_t offset) const { return read<uint8_t>(offset); }
    std::optional<uint16_t> u16(size_t offset) const { return read<uint16_t>(offset); }
    std::optional<uint32_t> u32(size_t offset) const { return read<uint32_t>(offset); }
    std::optional<uint64_t> u64(size_t offset) const { return read<uint64_t>(offset); }
    std::optional<int8_t> i8(size_t offset) const { return read<int8_t>(offset); }

    // Unchecked-looking convenience forms: out-of-range reads give `fallback`.
    uint8_t u8_or(size_t offset, uint8_t fallback = 0) const { return u8(offset).value_or(fallback); }
    uint16_t u16_or(size_t offset, uint16_t fallback = 0) const { return u16(offset).value_or(fallback); }
    uint32_t u32_or(size_t offset, uint32_t fallback = 0) const { return u32(offset).value_or(fallback); }
    uint64_t u64_or(size_t offset, uint64_t fallback = 0) const { return u64(offset).value_or(fallback); }

    // A sub-view; empty when the range does not lie inside this view.
    byte_view sub(size_t offset, size_t length) const {
        return contains(offset, length) ? byte_view(data_ + offset, length) : byte_view();
    }
    // The rest of the view from `offset` (empty past the end).
    byte_view from(size_t offset) const {
        return offset <= size_ ? byte_view(data_ + offset, size_ - offset) : byte_view();
    }

    // True when the bytes at `offset` equal `pattern` exactly.
    bool matches(size_t offset, const void* pattern, size_t length) const {
        return contains(offset, length) && std::memcmp(data_ + offset, pattern, length) == 0;
    }
    template <size_t N>
    bool matches(size_t offset, const char (&text)[N]) const {
        return matches(offset, text, N - 1);  // without the terminator
    }

    uint8_t operator[](size_t offset) const { return offset < size_ ? data_[offset] : 0; }

private:
    template <typename T>
    std::optional<T> read(size_t offset) const {
        if (!contains(offset, sizeof(T))) return std::nullopt;
        // Assemble little-endian whatever the host byte order.
        uint64_t value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t(data_[offset + i]) << (8 * i);
        return static_cast<T>(value);
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace ostrel
