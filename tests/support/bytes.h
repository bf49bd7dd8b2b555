// Little-endian fields written into hand-built structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::test {

// Stores the low `n` bytes of `v` little-endian at `at`.
template <typename Bytes>
void put(Bytes& b, size_t at, uint64_t v, int n) { for (int i = 0; i < n; ++i) b.at(at + i) = uint8_t(v >> 8 * i); }

inline std::vector<uint8_t> text_bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace ostrel::test
