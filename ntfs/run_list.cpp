#include "ntfs/run_list.h"

#include "ntfs/attribute_walk.h"

namespace ostrel {

namespace {

// `width` bytes little-endian at `at`, zero-extended.
uint64_t read_unsigned(byte_view bytes, size_t at, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= uint64_t(bytes[at + i]) << (8 * i);
    return value;
}

// `width` bytes little-endian at `at`, sign-extended from the top byte.
int64_t read_signed(byte_view bytes, size_t at, unsigned width) {
    uint64_t value = read_unsigned(bytes, at, width);
    if (width < 8 && (bytes[at + width - 1] & 0x80)) value |= ~uint64_t(0) << (8 * width);
    return static_cast<int64_t>(value);
}

}  // namespace

run_list decode_runs(byte_view bytes, uint64_t data_size, uint32_t cluster_size, uint64_t total_clusters) {
    run_list runs;
    if (cluster_size == 0) return runs;
    uint64_t to_cover = data_size / cluster_size + (data_size % cluster_size != 0);
    int64_t previous_start = 0;
    size_t at = 0;
    while (to_cover > 0 && at < bytes.size()) {
        const uint8_t header = bytes[at];
        if (header == 0) break;
        const unsigned length_width = header & 0x0F;
        const unsigned offset_width = header >> 4;
        if (length_width > 8 || offset_width > 8) break;
        if (!bytes.contains(at + 1, size_t{length_width} + offset_width)) break;
        const uint64_t length = read_unsigned(bytes, at + 1, length_width);
        if (static_cast<int64_t>(length) < 0) break;
        if (offset_width == 0) {
            runs.push_back({0, length});
        } else {
            const int64_t offset = read_signed(bytes, at + 1 + length_width, offset_width);
            int64_t start;
            if (__builtin_add_overflow(previous_start, offset, &start)) break;
            if (start < 0 || static_cast<uint64_t>(start) >= total_clusters) break;
            runs.push_back({static_cast<uint64_t>(start), length});
            previous_start = start;
        }
        to_cover = length >= to_cover ? 0 : to_cover - length;
        at += 1 + length_width + offset_width;
    }
    return runs;
}

uint64_t attribute_data_size(byte_view attribute) {
    const auto allocated = static_cast<int64_t>(attribute.u64_or(attribute_header::allocated_size));
    const auto data = static_cast<int64_t>(attribute.u64_or(attribute_header::data_size));
    const auto initialized = static_cast<int64_t>(attribute.u64_or(attribute_header::initialized_size));
    int64_t size = data;
    if (data < 0 || (allocated > 0 && data > allocated)) size = initialized;
    if (size == 0 && data == 0 && initialized == 0) size = allocated;
    // No real attribute is negative in size; such fields describe nothing.
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

uint64_t mft_data_size(byte_view attribute) {
    const auto allocated = static_cast<int64_t>(attribute.u64_or(attribute_header::allocated_size));
    const auto data = static_cast<int64_t>(attribute.u64_or(attribute_header::data_size));
    const auto initialized = static_cast<int64_t>(attribute.u64_or(attribute_header::initialized_size));
    const int64_t size = data > allocated ? initialized : data;
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

byte_view run_list_bytes(byte_view attribute) {
    return attribute.from(attribute.u16_or(attribute_header::runs_offset));
}

}  // namespace ostrel
