// Conversions between UTF-8 (our sources, Linux paths, terminals) and UTF-16
// (everything exchanged with the host).
#pragma once

#include <string>
#include <string_view>

namespace ostrel::platform {

// Invalid input becomes U+FFFD; conversion never fails.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Length of a NUL-terminated UTF-16 string (0 for null).
size_t wide_length(const char16_t* text);

}  // namespace ostrel::platform
