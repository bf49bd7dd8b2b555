#include "platform/os_version.h"

namespace ostrel::platform {

// Disks from any Windows are read here; with the flag set both companion
// record layouts are accepted (the newer one only when its drive letter and
// colon are in place), so answering "yes" loses nothing.
bool query_is_windows10() { return true; }

}  // namespace ostrel::platform
