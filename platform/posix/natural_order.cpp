#include "platform/natural_order.h"

namespace ostrel::platform {

namespace {

// Simple case folding for the scripts file names commonly use: ASCII,
// Latin-1, Latin Extended-A (paired code points), Greek and Cyrillic.
inline char16_t fold_case(char16_t c) {
    if (c >= u'A' && c <= u'Z') return c + 32;
    if (c < 0xC0) return c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A alternates upper/lower, with an offset run at 0x139-0x148 and 0x179-0x17E.
        const bool odd_run = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_run) return (c % 2 == 1) ? c + 1 : c;
        return (c % 2 == 0) ? c + 1 : c;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;  // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 32;                 // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

// Tie rules: digit runs of equal value compare equal whatever their leading
// zeros (so "a01" equals "a1"); other characters compare by their folded code
// unit; a name that is a prefix of the other sorts first.
int compare_logical(std::u16string_view a, std::u16string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            while (i < a.size() && a[i] == u'0') ++i;
            while (j < b.size() && b[j] == u'0') ++j;
            size_t ei = i, ej = j;
            while (ei < a.size() && is_digit(a[ei])) ++ei;
            while (ej < b.size() && is_digit(b[ej])) ++ej;
            // Without leading zeros, a longer run is a larger number.
            if (ei - i != ej - j) return (ei - i) < (ej - j) ? -1 : 1;
            for (; i < ei; ++i, ++j) {
                if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            }
            continue;
        }
        // Names in one folder share long stretches: equal units need no folding.
        if (a[i] == b[j] && !is_digit(a[i])) {
            ++i, ++j;
            continue;
        }
        const char16_t ca = fold_case(a[i]), cb = fold_case(b[j]);
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i, ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace ostrel::platform
