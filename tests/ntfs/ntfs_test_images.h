// Hand-built NTFS bytes for tests: MFT records with attributes, in the form
// they have on disk (sector ends moved into the update sequence array), and
// small volume images around them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "volume/boot_sector.h"

namespace ostrel::test {

// Little-endian stores into any byte container (vectors, boot sectors).
template <typename Bytes>
void put16(Bytes& b, size_t at, uint16_t v) { for (int i = 0; i < 2; ++i) b.at(at + i) = uint8_t(v >> (8 * i)); }
template <typename Bytes>
void put32(Bytes& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b.at(at + i) = uint8_t(v >> (8 * i)); }
template <typename Bytes>
void put64(Bytes& b, size_t at, uint64_t v) { for (int i = 0; i < 8; ++i) b.at(at + i) = uint8_t(v >> (8 * i)); }

// An MFT record in memory form: "FILE", the update sequence array at 0x30
// (number, then the saved ends of sectors 1 and 2), attributes from 0x38.
class mft_record_builder {
public:
    static constexpr size_t usa_offset = 0x30;
    static constexpr size_t first_attribute = 0x38;

    explicit mft_record_builder(size_t size = 1024, uint32_t number = 0) : bytes(size, 0) {
        std::memcpy(bytes.data(), "FILE", 4);
        put16(bytes, 0x04, usa_offset);
        put16(bytes, 0x06, 3);
        put16(bytes, 0x12, 1);                // link count
        put16(bytes, 0x14, first_attribute);  // first attribute
        put16(bytes, 0x16, 1);                // in use
        put32(bytes, 0x2C, number);
        next = first_attribute;
    }

    // A resident attribute holding `value`; its offset in the record.
    size_t add_resident(uint32_t type, const std::vector<uint8_t>& value) {
        const size_t at = next;
        const size_t length = (0x18 + value.size() + 7) / 8 * 8;
        put32(bytes, at, type);
        put32(bytes, at + 4, static_cast<uint32_t>(length));
        put16(bytes, at + 0x0A, 0x18);
        put32(bytes, at + 0x10, static_cast<uint32_t>(value.size()));
        put16(bytes, at + 0x14, 0x18);
        if (!value.empty()) std::memcpy(bytes.data() + at + 0x18, value.data(), value.size());
        next += length;
        return at;
    }

    size_t add_file_name(const std::u16string& name, uint64_t parent = 5, uint8_t name_space = 3) {
        std::vector<uint8_t> value(0x42 + 2 * name.size(), 0);
        put64(value, 0, parent);
        value[0x40] = static_cast<uint8_t>(name.size());
        value[0x41] = name_space;
        for (size_t i = 0; i < name.size(); ++i) put16(value, 0x42 + 2 * i, name[i]);
        return add_resident(0x30, value);
    }

    void end() {
        put32(bytes, next, 0xFFFFFFFF);
        next += 8;
    }

    // The on-disk form: the sector ends saved into the array and replaced
    // by the update sequence number.
    std::vector<uint8_t> on_disk(uint16_t sequence = 0x0007) const {
        std::vector<uint8_t> out = bytes;
        put16(out, usa_offset, sequence);
        for (size_t sector = 0; sector < 2 && (sector + 1) * 512 <= out.size(); ++sector) {
            const size_t end = (sector + 1) * 512 - 2;
            out[usa_offset + 2 + 2 * sector] = out[end];
            out[usa_offset + 3 + 2 * sector] = out[end + 1];
            put16(out, end, sequence);
        }
        return out;
    }

    std::vector<uint8_t> bytes;
    size_t next;
};

// A sound record 0 of the MFT.
inline mft_record_builder mft_self_record(const std::u16string& name = u"$MFT", size_t size = 1024) {
    mft_record_builder record(size, 0);
    record.add_resident(0x10, std::vector<uint8_t>(0x48, 0));
    record.add_file_name(name);
    record.end();
    return record;
}

// An NTFS boot sector: 512-byte sectors, 8 sectors per cluster, $MFT at
// cluster 4, 1 KiB records.
inline _boot_sector ntfs_boot_sector(uint64_t total_sectors = 2047, uint64_t mft_cluster = 4,
                                     uint8_t clusters_per_record = 0xF6) {
    _boot_sector boot;
    std::vector<uint8_t> b(512, 0);
    b[0] = 0xEB, b[1] = 0x52, b[2] = 0x90;
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    put16(b, 0x0B, 512);
    b[0x0D] = 8;
    put64(b, 0x28, total_sectors);
    put64(b, 0x30, mft_cluster);
    b[0x40] = clusters_per_record;
    b[0x44] = 1;
    put16(b, 510, 0xAA55);
    std::memcpy(boot.bytes.data(), b.data(), 512);
    return boot;
}

// A 1 MiB volume image with `boot` at its start and `record` (on-disk form)
// at byte `record_at`.
inline std::vector<uint8_t> ntfs_volume_image(const _boot_sector& boot, const std::vector<uint8_t>& record,
                                              size_t record_at = 4 * 4096, size_t image_size = 1 << 20) {
    std::vector<uint8_t> image(image_size, 0);
    std::memcpy(image.data(), boot.bytes.data(), 512);
    for (size_t i = 0; i < record.size() && record_at + i < image.size(); ++i) image[record_at + i] = record[i];
    return image;
}

}  // namespace ostrel::test
