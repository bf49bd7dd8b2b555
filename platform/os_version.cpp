#include "platform/os_version.h"

namespace ostrel::platform {

bool counts_as_windows10(uint32_t major, uint32_t minor, uint32_t build) {
    if (major == 6) return minor == 4 && (build == 9841 || build == 9860 || build == 9879);
    return major >= 10;
}

}  // namespace ostrel::platform
