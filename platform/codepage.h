// Short FAT names are stored in the volume's ANSI code page; this turns them
// into UTF-16. ASCII always maps to itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel::platform {

std::u16string ansi_to_utf16(const uint8_t* bytes, size_t length);

}  // namespace ostrel::platform
