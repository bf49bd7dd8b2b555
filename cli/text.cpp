#include "text.h"

#include <cstdio>

namespace ostrel::cli {

namespace {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr char32_t replacement = 0xFFFD;

}  // namespace

std::string to_utf8(const ostrel_char* text, size_t length) {
    std::string out;
    if (!text) return out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const char32_t unit = static_cast<char16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
            const char32_t low = static_cast<char16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? replacement : unit);
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

std::string json_string(std::string_view raw) {
    // A path typed by the user need not be UTF-8; JSON text must be.
    const std::string valid = to_utf8(to_wide(raw).c_str());
    const std::string_view text = valid;
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string time_text(const ostrel_char (&field)[20]) {
    size_t length = 0;
    while (length < 20 && field[length]) ++length;
    return to_utf8(field, length);
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
