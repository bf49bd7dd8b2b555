// LZNT1, the compression of NTFS compressed files.
//
// The stored clusters of a compressed unit hold a stream of chunks, each the
// compressed form of 4096 bytes of the file (or those bytes as they are, when
// compressing did not help). A chunk starts with a 16-bit header: bit 15 set
// for a compressed chunk, the low 12 bits its total length minus 3. Inside a
// compressed chunk a flag byte precedes every eight tokens; a clear flag bit
// marks a literal byte, a set one a 16-bit back-reference into the chunk's
// own output. The back-reference's split between offset and length depends
// on how far into the chunk it stands: the further in, the more offset bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ostrel {

// The bytes of file content one chunk stands for.
inline constexpr size_t lznt1_chunk_bytes = 4096;

// Decompresses the chunks of one compression unit into `out` and returns the
// bytes produced.
//
// The stream ends at a zero chunk header, where fewer than 2 bytes remain, or
// once `out` is full (what would follow is dropped, so out.size() bounds what
// one unit can give). A chunk that decodes to fewer than 4096 bytes and is
// followed by another is padded with zeros to the 4096-byte boundary.
//
// A corrupt stream gives nothing: a back-reference at a chunk's start or
// reaching before it, a chunk decoding past 4096 bytes, or a chunk header
// announcing more bytes than remain. `out` then still holds everything
// decoded before the fault and is left as it was after it, so a caller that
// zero-filled `out` keeps the good beginning of a damaged unit.
std::optional<size_t> lznt1_decompress(std::span<const uint8_t> compressed, std::span<uint8_t> out);

}  // namespace ostrel
