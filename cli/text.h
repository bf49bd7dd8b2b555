// Text helpers of the command: UTF-16 from the engine to UTF-8 for the
// terminal, UTF-8 from the command line to UTF-16 for the engine, and JSON
// string escaping.
#pragma once

#include <string>
#include <string_view>

#include "ostrel/ostrel.h"

namespace ostrel::cli {

using wide_string = std::basic_string<ostrel_char>;

// UTF-8 of a NUL-terminated UTF-16 text (null gives ""). Unpaired surrogates
// become U+FFFD: names from a damaged disk must still print.
std::string to_utf8(const ostrel_char* text);
std::string to_utf8(const ostrel_char* text, size_t length);

// UTF-16 of a UTF-8 text; malformed bytes become U+FFFD.
wide_string to_wide(std::string_view text);

// `text` as a quoted JSON string.
std::string json_string(std::string_view text);

// The time texts of an item record are at most 20 units and need not be
// terminated when full.
std::string time_text(const ostrel_char (&field)[20]);

// "12.3 MiB" style sizes for progress lines.
std::string human_bytes(uint64_t bytes);

}  // namespace ostrel::cli
