#include "platform/local_time.h"

namespace ostrel::platform {

bool to_local_time(int64_t unix_seconds, std::tm& out) {
    const __time64_t t = unix_seconds;
    return _localtime64_s(&out, &t) == 0;
}

}  // namespace ostrel::platform
