// Arithmetic on sizes and offsets read from disk, where a hostile value must
// not wrap around: each result is empty when it does not fit 64 bits.
#pragma once

#include <cstdint>
#include <optional>

namespace ostrel {

inline std::optional<uint64_t> checked_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

inline std::optional<uint64_t> checked_add(uint64_t a, uint64_t b) {
    uint64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
}

}  // namespace ostrel
