// Hand-built NTFS bytes for tests: MFT records, boot sectors, and volume
// images around them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "volume/boot_sector.h"

namespace ostrel::test {

// Stores the low `n` bytes of `v` little-endian at `at`.
template <typename Bytes>
void put(Bytes& b, size_t at, uint64_t v, int n) { for (int i = 0; i < n; ++i) b.at(at + i) = uint8_t(v >> 8 * i); }

// MFT record 0: "FILE", the update sequence array at 0x30 (all zero, so the
// fixup puts back the zero sector ends), attributes from 0x38.
struct mft_record {
    explicit mft_record(size_t size = 1024) : bytes(size, 0) {
        std::copy_n("FILE", 4, bytes.begin());
        put(bytes, 0x04, 0x30, 2);
        put(bytes, 0x14, next, 2);
    }
    // A resident attribute holding `value`; returns its offset.
    size_t add(uint32_t type, const std::vector<uint8_t>& value = {}) {
        const size_t at = next;
        next += (0x18 + value.size() + 7) / 8 * 8;
        put(bytes, at, type, 4);
        put(bytes, at + 0x04, next - at, 4);
        put(bytes, at + 0x10, value.size(), 4);
        put(bytes, at + 0x14, 0x18, 2);
        std::copy(value.begin(), value.end(), bytes.begin() + at + 0x18);
        return at;
    }
    // A $FILE_NAME naming record 5 (sequence number 1) as its parent.
    size_t add_file_name(const std::u16string& name) {
        std::vector<uint8_t> value(0x42 + 2 * name.size(), 0);
        put(value, 0, 0x0001000000000005, 8);
        value[0x40] = uint8_t(name.size());
        for (size_t i = 0; i < name.size(); ++i) put(value, 0x42 + 2 * i, name[i], 2);
        return add(0x30, value);
    }
    std::vector<uint8_t> bytes;
    size_t next = 0x38;
};

// A sound record 0: $STANDARD_INFORMATION, then at 0x98 a $FILE_NAME called
// `name`, then the end marker.
inline std::vector<uint8_t> mft_self_record(const std::u16string& name = u"$MFT", size_t size = 1024) {
    mft_record record(size);
    record.add(0x10, std::vector<uint8_t>(0x48, 0));
    record.add_file_name(name);
    record.add(0xFFFFFFFF);
    return record.bytes;
}

// 512-byte sectors, 8 sectors per cluster, 1-cluster index records; the
// record size byte 0xF6 means 1 KiB.
inline _boot_sector ntfs_boot_sector(uint64_t mft_cluster = 4, uint8_t record_size = 0xF6) {
    _boot_sector boot;
    put(boot.bytes, 0x0B, 512, 2);
    boot.bytes[0x0D] = 8;
    put(boot.bytes, 0x28, 2047, 8);  // total sectors
    put(boot.bytes, 0x30, mft_cluster, 8);
    boot.bytes[0x40] = record_size;
    boot.bytes[0x44] = 1;
    return boot;
}

// An image of `size` bytes holding `record` at `at` (cut by the image's end).
inline std::vector<uint8_t> ntfs_volume_image(const std::vector<uint8_t>& record, size_t at = 4 * 4096,
                                              size_t size = 1 << 20) {
    std::vector<uint8_t> image(size, 0);
    std::copy_n(record.begin(), std::min(record.size(), size - at), image.begin() + at);
    return image;
}

}  // namespace ostrel::test
