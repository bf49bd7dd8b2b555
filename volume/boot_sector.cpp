#include "volume/boot_sector.h"

namespace ostrel {

uint32_t decode_sectors_per_cluster(int8_t encoded) {
    if (encoded > 0) return static_cast<uint32_t>(encoded);
    if (static_cast<uint8_t>(encoded) == 0x80) return 128;
    const int exponent = -int(encoded);  // 0 gives 2^0 = 1
    return exponent < 32 ? uint32_t(1) << exponent : 0;
}

}  // namespace ostrel
