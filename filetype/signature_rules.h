// The ordered chain of signature tests behind identify_signature.
//
// Each rule is one explicit comparison at fixed offsets; the first rule that
// holds names the block, and the order is part of the behaviour because
// several signatures overlap. The rules are grouped in stages (executable,
// image, document, video, audio, archive, short magic numbers, text, zero
// block) and listed in chain order.
//
// Every rule also states which values of the block's first byte it can hold
// for. identify_signature uses that to skip, for a given first byte, the
// rules that cannot hold; since two rules that need different first bytes
// never both hold, the first hit is the same as in the full chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace ostrel {

// The block under test. Rules read the first 512 bytes at fixed offsets and
// check `size` themselves before reading further, so a block must hold at
// least signature_block_min_bytes.
struct signature_block {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t* bytes_beyond = nullptr;  // handed to the ZIP walker
    bool dll = false;                  // set by the executable rule
};

inline constexpr size_t signature_block_min_bytes = 512;

enum class signature_stage : uint8_t { executable, image, document, video, audio, archive, magic, text, zero };

// The set of first-byte values a rule can hold for.
struct first_byte_set {
    uint64_t bits[4] = {};

    constexpr bool contains(uint8_t b) const { return (bits[b >> 6] >> (b & 63)) & 1; }
    constexpr first_byte_set& add(uint8_t b) {
        bits[b >> 6] |= uint64_t(1) << (b & 63);
        return *this;
    }
};

struct signature_rule {
    signature_stage stage;
    // Either a test of its own, which returns a code or 0 ...
    uint32_t (*test)(signature_block&);
    // ... or, when `test` is null, a byte string that must start the block.
    std::string_view prefix;
    uint32_t code;  // the code of a prefix rule
    first_byte_set first_bytes;
};

// All rules in chain order.
std::span<const signature_rule> signature_chain();

// Runs one rule: its code when it holds, else 0.
inline uint32_t run_signature_rule(const signature_rule& rule, signature_block& block) {
    if (rule.test) return rule.test(block);
    return std::memcmp(block.data, rule.prefix.data(), rule.prefix.size()) == 0 ? rule.code : 0;
}

// The stages on their own: each runs its rules in order and returns the first
// hit, or 0. The block must hold at least 512 bytes.
uint32_t detect_image(signature_block& block);
uint32_t detect_document(signature_block& block);
uint32_t detect_video(signature_block& block);
uint32_t detect_audio(signature_block& block);
uint32_t detect_archive(signature_block& block);

}  // namespace ostrel
