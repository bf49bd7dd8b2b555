#include "platform/os_version.h"

#include <windows.h>

namespace ostrel::platform {

// Windows 10 or later. Technical previews of Windows 10 reported 6.4 with
// builds 9841, 9860 and 9879.
bool query_is_windows10() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;  // 284 bytes
    using rtl_get_version = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const HMODULE ntdll = GetModuleHandleW(L"NtDll.dll");
    if (!ntdll) return false;
    const auto get_version = reinterpret_cast<rtl_get_version>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (!get_version) return false;
    if (get_version(&info) != 0 &&
        !GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
        return false;
    }
    if (info.dwMajorVersion == 6) {
        return info.dwMinorVersion == 4 &&
               (info.dwBuildNumber == 9841 || info.dwBuildNumber == 9860 || info.dwBuildNumber == 9879);
    }
    return info.dwMajorVersion >= 10;
}

}  // namespace ostrel::platform
