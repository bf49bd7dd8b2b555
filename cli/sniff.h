// What a source that holds no file system is, from its first bytes: users
// give the command compressed images, evidence containers and virtual disks
// that must be unpacked or converted first.
#pragma once

#include <string>

namespace ostrel::cli {

// "it is xz-compressed: unpack it first (xz -dk FILE) and give ostrel the
// image inside", or "" when the first bytes say nothing known.
std::string describe_container(const std::string& path);

}  // namespace ostrel::cli
