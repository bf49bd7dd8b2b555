#include "platform/natural_order.h"

#include <string>

#include <windows.h>
#include <shlwapi.h>

namespace ostrel::platform {

int compare_logical(std::u16string_view a, std::u16string_view b) {
    // StrCmpLogicalW needs terminated strings.
    const std::u16string left(a), right(b);
    return StrCmpLogicalW(reinterpret_cast<const wchar_t*>(left.c_str()),
                          reinterpret_cast<const wchar_t*>(right.c_str()));
}

}  // namespace ostrel::platform
