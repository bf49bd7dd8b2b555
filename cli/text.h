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

// `text` as a quoted JSON string. Control characters and the characters
// that reorder text on screen are written as \u escapes.
std::string json_string(std::string_view text);

// Text from a volume made safe for a terminal: control characters (C0, DEL,
// C1) become \xNN or \uNNNN, as do the invisible characters that reorder
// text on screen. `terminal_name` also escapes "\" (as \\) and "/" (as
// \x2f), so that a name prints as one path component.
std::string terminal_text(std::string_view text);
std::string terminal_name(std::string_view name);
// terminal_name(name) appended to `out`.
void append_terminal_name(std::string& out, std::string_view name);

// Columns the text takes on a terminal (wide East Asian characters count
// two, combining marks none), and its longest prefix that fits `columns`.
size_t display_width(std::string_view text);
std::string fit_width(std::string_view text, size_t columns);

// "2023/05/04 09:10:00" (the engine's form) as "2023-05-04 09:10:00"; a
// date without a time stays a date. Other texts are returned unchanged.
std::string iso_time(std::string_view engine_time);
// iso_time(engine_time) appended to `out`, padded with spaces to `width`.
void append_iso_time(std::string& out, std::string_view engine_time, size_t width);

// "12.3 MiB" style sizes for progress lines.
std::string human_bytes(uint64_t bytes);

}  // namespace ostrel::cli
