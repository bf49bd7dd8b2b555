#include "platform/codepage.h"

#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <mutex>
#include <string>

namespace ostrel::platform {

namespace {

// Code page 1252 (Western European): 0x80-0x9F differ from Latin-1; 0 marks
// the five unassigned positions, which become U+FFFD.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::u16string from_cp1252(const uint8_t* bytes, size_t length) {
    std::u16string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (b >= 0x80 && b < 0xA0) {
            const char16_t c = cp1252_high[b - 0x80];
            out.push_back(c ? c : char16_t(0xFFFD));
        } else {
            out.push_back(b);
        }
    }
    return out;
}

// The code page chosen with OSTREL_CODEPAGE (for example 936), or empty for
// the built-in 1252 table. Read once.
const std::string& configured_codepage() {
    static const std::string name = [] {
        const char* value = std::getenv("OSTREL_CODEPAGE");
        if (!value || !*value || std::strcmp(value, "1252") == 0) return std::string();
        return std::string("CP") + value;
    }();
    return name;
}

bool from_iconv(const std::string& codepage, const uint8_t* bytes, size_t length, std::u16string& out) {
    iconv_t cd = iconv_open("UTF-16LE", codepage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string converted(length * 4 + 8, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    size_t in_left = length;
    char* dst = converted.data();
    size_t out_left = converted.size();
    bool ok = true;
    while (in_left > 0) {
        if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<size_t>(-1)) {
            if (out_left < 2) {
                ok = false;
                break;
            }
            // An unconvertible byte becomes U+FFFD; go on with the next.
            *dst++ = static_cast<char>(0xFD), *dst++ = static_cast<char>(0xFF);
            out_left -= 2;
            ++in, --in_left;
        }
    }
    iconv_close(cd);
    if (!ok) return false;
    const size_t units = (converted.size() - out_left) / 2;
    out.resize(units);
    for (size_t i = 0; i < units; ++i) {
        out[i] = static_cast<char16_t>(static_cast<uint8_t>(converted[2 * i]) |
                                       (static_cast<uint8_t>(converted[2 * i + 1]) << 8));
    }
    return true;
}

bool is_ascii(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::u16string ansi_to_utf16(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return {};
    if (is_ascii(bytes, length)) return std::u16string(bytes, bytes + length);
    const std::string& codepage = configured_codepage();
    std::u16string out;
    if (!codepage.empty() && from_iconv(codepage, bytes, length, out)) return out;
    return from_cp1252(bytes, length);
}

}  // namespace ostrel::platform
