// The mirror's places by item handle.
//
// One array of (handle, place) slots with open addressing and linear
// probing, kept at most half full. A large volume reports hundreds of
// thousands of items, each looked up once when it arrives: a node-based
// hash map spends an allocation and two or three cache misses on each,
// which was a tenth of a whole listing. Entries are never removed; the
// mirror only grows until it is cleared.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "ostrel/ostrel.h"

namespace ostrel::cli {

class handle_index {
public:
    static constexpr uint32_t none = UINT32_MAX;

    handle_index() { clear(); }

    // The place stored for `handle`, or none.
    uint32_t find(ostrel_handle handle) const;
    // Stores `place` for `handle` unless it has one; returns the stored
    // place and whether it was added now.
    std::pair<uint32_t, bool> try_emplace(ostrel_handle handle, uint32_t place);
    size_t size() const { return used_ + (zero_place_ != none ? 1 : 0); }
    // Forgets every entry and gives the array back.
    void clear();

private:
    // Handle 0 marks an empty slot, so its place is kept apart.
    struct slot {
        ostrel_handle handle = 0;
        uint32_t place = none;
    };
    static constexpr unsigned initial_bits = 12;

    size_t home(ostrel_handle handle) const;
    void grow();

    std::vector<slot> slots_;
    unsigned bits_ = 0;
    size_t used_ = 0;
    uint32_t zero_place_ = none;
};

}  // namespace ostrel::cli
