// A bit array read from disk: the NTFS cluster bitmap, and the exFAT
// allocation bitmap, which has the same layout. Bit n lives in byte n / 8 at
// position n % 8, least significant bit first.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel {

class ntfs_bitmap {
public:
    ntfs_bitmap() = default;
    explicit ntfs_bitmap(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    // A bit beyond the buffer reads as clear.
    bool test(uint64_t bit) const {
        const uint64_t byte = bit / 8;
        return byte < bytes_.size() && (bytes_[static_cast<size_t>(byte)] >> (bit % 8)) & 1;
    }
    uint64_t byte_size() const { return bytes_.size(); }
    uint64_t bit_count() const { return uint64_t(bytes_.size()) * 8; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace ostrel
