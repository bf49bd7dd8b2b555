// Hand-built NTFS bytes for tests: MFT records, boot sectors, and volume
// images around them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "volume/boot_sector.h"

namespace ostrel::test {

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
    // A $FILE_NAME naming `parent` (sequence number 1) as its folder.
    size_t add_file_name(const std::u16string& name, uint64_t parent = 5, uint8_t name_space = 1) {
        std::vector<uint8_t> value(0x42 + 2 * name.size(), 0);
        put(value, 0, (1ull << 48) | parent, 8);
        value[0x40] = uint8_t(name.size());
        value[0x41] = name_space;
        for (size_t i = 0; i < name.size(); ++i) put(value, 0x42 + 2 * i, name[i], 2);
        return add(0x30, value);
    }
    // A non-resident attribute: `runs` (ending in its 0 byte) at 0x40,
    // sizes all `size`, covering virtual clusters `first_vcn` on.
    size_t add_non_resident(uint32_t type, const std::vector<uint8_t>& runs, uint64_t size, uint64_t first_vcn = 0) {
        const size_t at = next;
        next += (0x40 + runs.size() + 7) / 8 * 8;
        put(bytes, at, type, 4);
        put(bytes, at + 0x04, next - at, 4);
        bytes[at + 0x08] = 1;
        put(bytes, at + 0x10, first_vcn, 8);
        put(bytes, at + 0x20, 0x40, 2);
        for (size_t field : {0x28, 0x30, 0x38}) put(bytes, at + field, size, 8);
        std::copy(runs.begin(), runs.end(), bytes.begin() + at + 0x40);
        return at;
    }
    // Header fields: flags (1 in use, 2 directory), link count, base record.
    mft_record& header(uint16_t flags, uint16_t links = 1, uint64_t base = 0) {
        put(bytes, 0x16, flags, 2);
        put(bytes, 0x12, links, 2);
        put(bytes, 0x20, base, 8);
        return *this;
    }
    // A $STANDARD_INFORMATION with a creation time, then the end marker
    // comes last through end().
    mft_record& standard_information(uint64_t created = 0x01D9000000000000) {
        std::vector<uint8_t> value(0x48, 0);
        put(value, 0, created, 8);
        put(value, 0x20, 0x20, 4);  // archive
        add(0x10, value);
        return *this;
    }
    std::vector<uint8_t> end() {
        add(0xFFFFFFFF);
        return bytes;
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

// A small NTFS volume: 4 KiB clusters, 1 KiB records, 1 MiB in all, the
// MFT's 64 records in clusters 4 to 19, as record 0 says. Records and data
// clusters are put in place by number.
struct ntfs_test_volume {
    static constexpr size_t cluster = 4096;
    static constexpr size_t clusters = 256;

    ntfs_test_volume() : image(cluster * clusters, 0), boot(ntfs_boot_sector()) {
        put(boot.bytes, 0x28, clusters * 8 - 1, 8);
        std::copy(boot.bytes.begin(), boot.bytes.end(), image.begin());
        mft_record mft;
        mft.header(1).standard_information();
        mft.add_file_name(u"$MFT");
        mft.add_non_resident(0x80, {0x11, 0x10, 0x04, 0x00}, 64 * 1024);
        put_record(0, mft.end());
    }
    // Writes `record` as record `number`, with its own number field set and
    // its sector ends moved into the update sequence array as a volume
    // writes them.
    // `at` places it elsewhere than the MFT's first run (a later fragment).
    void put_record(uint64_t number, std::vector<uint8_t> record, size_t at = 0) {
        put(record, 0x2C, number, 4);
        put(record, 0x06, 3, 2);
        put(record, 0x30, 0x0007, 2);
        for (size_t i = 0; i < 2; ++i) {
            const size_t end = 0x1FE + 0x200 * i;
            std::copy_n(record.begin() + end, 2, record.begin() + 0x32 + 2 * i);
            put(record, end, 0x0007, 2);
        }
        std::copy(record.begin(), record.end(), image.begin() + (at ? at : 4 * cluster + number * 1024));
    }
    void put_data(uint64_t cluster_number, const std::vector<uint8_t>& data) {
        std::copy(data.begin(), data.end(), image.begin() + cluster_number * cluster);
    }
    std::vector<uint8_t> image;
    _boot_sector boot;
};

// A record for a file or folder `name` in folder `parent`: in use unless
// `deleted`, with its data resident.
inline mft_record named_record(const std::u16string& name, uint64_t parent, bool folder = false,
                               bool deleted = false) {
    mft_record record;
    record.header(uint16_t((deleted ? 0 : 1) | (folder ? 2 : 0))).standard_information();
    record.add_file_name(name, parent);
    return record;
}

// The record of a file `name` in folder `parent` holding `data` resident.
inline std::vector<uint8_t> named_file(const std::u16string& name, uint64_t parent, const std::string& data,
                                       bool deleted = false) {
    mft_record record = named_record(name, parent, false, deleted);
    record.add(0x80, text_bytes(data));
    return record.end();
}

}  // namespace ostrel::test
