#include "platform/os_version.h"

#include <windows.h>

namespace ostrel::platform {

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
    return counts_as_windows10(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
}

}  // namespace ostrel::platform
