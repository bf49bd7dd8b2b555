#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

#include "volume/byte_view.h"

namespace ostrel {
namespace {

enum class chunk_end { done, out_full, corrupt };

struct chunk_result {
    size_t produced = 0;
    chunk_end end = chunk_end::done;
};

// Decodes the body of a compressed chunk into `window`: the chunk's share of
// the output, 4096 bytes unless the end of the caller's buffer cuts it short.
// Only the 4096-byte chunk limit makes a token corrupt; a window cut short
// simply fills up.
chunk_result decode_compressed_chunk(byte_view body, std::span<uint8_t> window) {
    size_t in = 0;
    size_t n = 0;  // bytes produced in this chunk
    while (in < body.size()) {
        uint8_t flags = body[in++];
        for (int token = 0; token < 8 && in < body.size(); ++token, flags >>= 1) {
            if ((flags & 1) == 0) {
                if (n == lznt1_chunk_bytes) return {n, chunk_end::corrupt};
                if (n == window.size()) return {n, chunk_end::out_full};
                window[n++] = body[in++];
                continue;
            }
            const auto reference = body.u16(in);
            if (!reference) return {n, chunk_end::corrupt};  // cut by the chunk's end
            in += 2;
            // Offsets need enough bits to reach back to the chunk's start
            // (at least 4); the length gets the rest of the 16.
            unsigned offset_bits = 4;
            while ((size_t{1} << offset_bits) < n) ++offset_bits;
            const size_t offset = (*reference >> (16 - offset_bits)) + 1;
            const size_t length = (*reference & (0xFFFFu >> offset_bits)) + 3;
            if (offset > n || length > lznt1_chunk_bytes - n) return {n, chunk_end::corrupt};
            // Byte by byte: a reference may overlap the bytes it produces.
            for (size_t i = 0; i < length; ++i, ++n) {
                if (n == window.size()) return {n, chunk_end::out_full};
                window[n] = window[n - offset];
            }
        }
    }
    return {n, chunk_end::done};
}

}  // namespace

std::optional<size_t> lznt1_decompress(std::span<const uint8_t> compressed, std::span<uint8_t> out) {
    const byte_view stream(compressed);
    size_t at = 0;        // the next chunk header
    size_t produced = 0;  // bytes of `out` written
    for (size_t chunk_start = 0; chunk_start < out.size(); chunk_start += lznt1_chunk_bytes) {
        const uint16_t header = stream.u16_or(at);
        if (header == 0) break;  // also where fewer than 2 bytes remain
        // Every chunk stands for 4096 bytes: a short predecessor ends in zeros.
        std::fill(out.begin() + produced, out.begin() + chunk_start, uint8_t{0});
        produced = chunk_start;

        const size_t body_size = size_t(header & 0x0FFF) + 1;
        const byte_view body = stream.from(at + 2).sub(0, body_size);
        const byte_view present = body.empty() ? stream.from(at + 2) : body;
        const bool truncated = body.empty();
        at += 2 + body_size;
        const std::span<uint8_t> window =
            out.subspan(chunk_start, std::min(lznt1_chunk_bytes, out.size() - chunk_start));

        chunk_result result;
        if (header & 0x8000) {
            result = decode_compressed_chunk(present, window);
        } else {
            // A stored chunk: at most 4096 bytes, since its length field is
            // 12 bits.
            result.produced = std::min(present.size(), window.size());
            if (result.produced > 0) std::memcpy(window.data(), present.data(), result.produced);
            if (result.produced < present.size()) result.end = chunk_end::out_full;
        }
        produced += result.produced;
        if (result.end == chunk_end::corrupt) return std::nullopt;
        // A full `out` asks for nothing more, even from a truncated chunk.
        if (result.end == chunk_end::out_full) break;
        if (truncated) return std::nullopt;
    }
    return produced;
}

}  // namespace ostrel
