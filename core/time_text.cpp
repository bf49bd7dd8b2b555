#include "core/time_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/node.h"
#include "platform/local_time.h"

namespace ostrel {

namespace {

// Copies an ASCII text into a 20-unit area, terminator included.
void store_ascii(char16_t* area, const char* text) {
    size_t i = 0;
    for (; text[i] && i + 1 < time_text_units; ++i) area[i] = static_cast<unsigned char>(text[i]);
    area[i] = 0;
}

// Two decimal digits of 0..99.
void put_two(char16_t* at, int value) {
    at[0] = static_cast<char16_t>(u'0' + value / 10);
    at[1] = static_cast<char16_t>(u'0' + value % 10);
}

}  // namespace

void write_fat_time_text(char16_t* area, uint16_t date, uint16_t time, uint8_t ten_ms) {
    if (!area || date == 0) return;
    const int year = (date >> 9) + 1980, month = (date >> 5) & 15, day = date & 31;
    char text[64];
    if (time == 0) {
        std::snprintf(text, sizeof text, "%.4d/%.2d/%.2d", year, month, day);
    } else {
        const int second = 2 * (time & 31) + ten_ms / 100;
        std::snprintf(text, sizeof text, "%.4d/%.2d/%.2d %.2d:%.2d:%.2d", year, month, day, time >> 11,
                      (time >> 5) & 63, second);
    }
    store_ascii(area, text);
}

void write_ntfs_time_text(char16_t* area, uint64_t ntfs_time) {
    if (!area || ntfs_time == 0) return;
    constexpr uint64_t epoch_difference = 116444736000000000ull;  // 1601 to 1970 in 100 ns
    const int64_t seconds = (static_cast<int64_t>(ntfs_time - epoch_difference)) / 10000000;
    std::tm local{};
    if (!platform::to_local_time(seconds, local)) return;
    const int year = local.tm_year + 1900;
    if (year >= 1000 && year <= 9999) {
        // "YYYY/MM/DD hh:mm:ss" written digit by digit into the area: a scan
        // writes three stamps per file, and strftime took as long as parsing
        // the record.
        static constexpr char16_t pattern[time_text_units] = u"0000/00/00 00:00:00";
        std::memcpy(area, pattern, sizeof pattern);
        put_two(area, year / 100);
        put_two(area + 2, year % 100);
        put_two(area + 5, local.tm_mon + 1);
        put_two(area + 8, local.tm_mday);
        put_two(area + 11, local.tm_hour);
        put_two(area + 14, local.tm_min);
        put_two(area + 17, local.tm_sec);
        return;
    }
    char text[64];
    if (std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local) == 0) return;
    store_ascii(area, text);
}

}  // namespace ostrel
