// Whether the machine counts as Windows 10 or later, which decides how
// recycle-bin companion records are read.
#pragma once

namespace ostrel::platform {

bool query_is_windows10();

}  // namespace ostrel::platform
