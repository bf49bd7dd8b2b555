// Conversion of UTC seconds since 1970 to the local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

namespace ostrel::platform {

// False when the time cannot be represented.
bool to_local_time(int64_t unix_seconds, std::tm& out);

}  // namespace ostrel::platform
