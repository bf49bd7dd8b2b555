#include "text.h"

#include <algorithm>
#include <cstdio>

namespace ostrel::cli {

namespace {

// Writes `c` as UTF-8 at `at` (room for four bytes) and returns the end.
char* put_utf8(char* at, char32_t c) {
    if (c < 0x80) {
        *at++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *at++ = static_cast<char>(0xC0 | (c >> 6));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *at++ = static_cast<char>(0xE0 | (c >> 12));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *at++ = static_cast<char>(0xF0 | (c >> 18));
        *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return at;
}

constexpr char32_t replacement = 0xFFFD;

}  // namespace

std::string to_utf8(const ostrel_char* text, size_t length) {
    std::string out;
    if (!text) return out;
    // A listing converts every name of a volume, nearly all of them ASCII:
    // those are copied unit by unit into a string of their exact size.
    const bool ascii = std::all_of(text, text + length, [](ostrel_char unit) { return static_cast<char16_t>(unit) < 0x80; });
    if (ascii) {
        out.resize(length);
        std::transform(text, text + length, out.begin(), [](ostrel_char unit) { return static_cast<char>(unit); });
        return out;
    }
    char encoded[4];
    for (size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            const char32_t low = static_cast<char16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.append(encoded, put_utf8(encoded, c >= 0xD800 && c <= 0xDFFF ? replacement : c));
    }
    return out;
}

std::string to_utf8(const ostrel_char* text) {
    if (!text) return {};
    size_t length = 0;
    while (text[length]) ++length;
    return to_utf8(text, length);
}

wide_string to_wide(std::string_view text) {
    wide_string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t c = replacement;
        size_t extra = 0;
        if (byte < 0x80) {
            c = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            c = byte & 0x1F, extra = 1;
        } else if ((byte & 0xF0) == 0xE0) {
            c = byte & 0x0F, extra = 2;
        } else if ((byte & 0xF8) == 0xF0) {
            c = byte & 0x07, extra = 3;
        }
        bool valid = byte < 0x80 || extra > 0;
        for (size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
        }
        if (!valid || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = replacement;
            extra = 0;
        }
        i += 1 + extra;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<ostrel_char>(0xD800 + (c >> 10));
            out += static_cast<ostrel_char>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<ostrel_char>(c);
        }
    }
    return out;
}

namespace {

// Decodes one UTF-8 character of valid text at `i` and advances past it.
char32_t next_char(std::string_view text, size_t& i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    size_t extra = byte < 0x80 ? 0 : byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? byte : extra == 1 ? (byte & 0x1F) : extra == 2 ? (byte & 0x0F) : (byte & 0x07);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k) c = (c << 6) | (text[i + k] & 0x3F);
    i += 1 + extra;
    return c;
}

// Characters that change how the rest of a line is shown: C0, DEL, C1, and
// the bidirectional marks, embeddings, overrides and isolates.
bool is_unsafe_on_screen(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Printable ASCII other than the two `special` characters: shown and
// written as it is.
bool plain_ascii(std::string_view text, char special, char other_special) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E || c == special || c == other_special) return false;
    }
    return true;
}

std::string escaped_for_terminal(std::string_view raw, bool as_name) {
    if (as_name ? plain_ascii(raw, '\\', '/') : plain_ascii(raw, 0x7F, 0x7F)) return std::string(raw);
    const std::string valid = to_utf8(to_wide(raw).c_str());
    const std::string_view text = valid;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        const char32_t c = next_char(text, i);
        char escaped[16];
        if (as_name && c == '\\') {
            out += "\\\\";
        } else if (as_name && c == '/') {
            out += "\\x2f";
        } else if (is_unsafe_on_screen(c)) {
            std::snprintf(escaped, sizeof escaped, c < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

bool is_wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) || (c >= 0x20000 && c <= 0x3FFFD);
}

size_t char_width(char32_t c) {
    if ((c >= 0x0300 && c <= 0x036F) || c == 0x200B || (c >= 0xFE00 && c <= 0xFE0F)) return 0;
    return is_wide(c) ? 2 : 1;
}

}  // namespace

std::string json_string(std::string_view raw) {
    if (plain_ascii(raw, '"', '\\')) return "\"" + std::string(raw) + "\"";
    // A path typed by the user need not be UTF-8; JSON text must be.
    const std::string valid = to_utf8(to_wide(raw).c_str());
    const std::string_view text = valid;
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        const char32_t c = next_char(text, i);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (is_unsafe_on_screen(c)) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out.append(text.substr(start, i - start));
            }
        }
    }
    return out + "\"";
}

std::string terminal_text(std::string_view text) { return escaped_for_terminal(text, false); }
std::string terminal_name(std::string_view name) { return escaped_for_terminal(name, true); }

void append_terminal_name(std::string& out, std::string_view name) {
    if (plain_ascii(name, '\\', '/')) {
        out += name;
    } else {
        out += escaped_for_terminal(name, true);
    }
}

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) width += char_width(next_char(text, i));
    return width;
}

std::string fit_width(std::string_view text, size_t columns) {
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        const size_t w = char_width(next_char(text, i));
        if (width + w > columns) return std::string(text.substr(0, start));
        width += w;
    }
    return std::string(text);
}

std::string iso_time(std::string_view engine_time) {
    std::string text(engine_time);
    if (text.size() >= 10 && text[4] == '/' && text[7] == '/') text[4] = text[7] = '-';
    return text;
}

void append_iso_time(std::string& out, std::string_view engine_time, size_t width) {
    const size_t start = out.size();
    out += engine_time;
    if (engine_time.size() >= 10 && engine_time[4] == '/' && engine_time[7] == '/') out[start + 4] = out[start + 7] = '-';
    if (engine_time.size() < width) out.append(width - engine_time.size(), ' ');
}

std::string human_bytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) value /= 1024.0, ++unit;
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

}  // namespace ostrel::cli
