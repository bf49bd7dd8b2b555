// Recycle-bin companions: the input as the bytes of a "$I" record, in both
// layouts and against a small and an unbounded volume size.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/recycle/companion_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    const std::span<const uint8_t> bytes(data, size);
    for (const bool windows10 : {true, false}) {
        parse_companion(bytes, UINT64_MAX, windows10);
        parse_companion(bytes, uint64_t{1} << 20, windows10);
    }
    return 0;
}
