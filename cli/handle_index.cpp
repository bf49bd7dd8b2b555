#include "handle_index.h"

namespace ostrel::cli {

size_t handle_index::home(ostrel_handle handle) const {
    // Handles are node addresses: their low bits are alignment and their high
    // bits barely change. Fibonacci hashing spreads both over the top bits.
    return static_cast<size_t>((static_cast<uint64_t>(handle) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
}

uint32_t handle_index::find(ostrel_handle handle) const {
    if (handle == 0) return zero_place_;
    const size_t mask = slots_.size() - 1;
    for (size_t at = home(handle);; at = (at + 1) & mask) {
        const slot& s = slots_[at];
        if (s.handle == handle) return s.place;
        if (s.handle == 0) return none;
    }
}

std::pair<uint32_t, bool> handle_index::try_emplace(ostrel_handle handle, uint32_t place) {
    if (handle == 0) {
        if (zero_place_ != none) return {zero_place_, false};
        zero_place_ = place;
        return {place, true};
    }
    if (2 * (used_ + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t at = home(handle);; at = (at + 1) & mask) {
        slot& s = slots_[at];
        if (s.handle == handle) return {s.place, false};
        if (s.handle == 0) {
            s = {handle, place};
            ++used_;
            return {place, true};
        }
    }
}

void handle_index::grow() {
    std::vector<slot> old(size_t{1} << (bits_ + 1));
    old.swap(slots_);
    ++bits_;
    const size_t mask = slots_.size() - 1;
    for (const slot& s : old) {
        if (s.handle == 0) continue;
        size_t at = home(s.handle);
        while (slots_[at].handle != 0) at = (at + 1) & mask;
        slots_[at] = s;
    }
}

void handle_index::clear() {
    std::vector<slot>(size_t{1} << initial_bits).swap(slots_);
    bits_ = initial_bits;
    used_ = 0;
    zero_place_ = none;
}

}  // namespace ostrel::cli
