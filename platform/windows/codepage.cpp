#include "platform/codepage.h"

#include <windows.h>

namespace ostrel::platform {

std::u16string ansi_to_utf16(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0 || length > 0x7FFFFFFF) return {};
    const auto* text = reinterpret_cast<const char*>(bytes);
    const int n = static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0);
    if (units <= 0) return std::u16string(bytes, bytes + length);
    std::u16string out(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, n, reinterpret_cast<wchar_t*>(out.data()), units);
    return out;
}

}  // namespace ostrel::platform
