#include "platform/local_time.h"

namespace ostrel::platform {

bool to_local_time(int64_t unix_seconds, std::tm& out) {
    const auto t = static_cast<time_t>(unix_seconds);
    if (static_cast<int64_t>(t) != unix_seconds) return false;
    return localtime_r(&t, &out) != nullptr;  // honours TZ
}

}  // namespace ostrel::platform
