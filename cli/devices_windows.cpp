#include "devices.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <windows.h>
#include <winioctl.h>

#include "text.h"

namespace ostrel::cli {

namespace {

// What a device source names: a volume by its drive letter, or a whole disk.
struct device_source {
    wchar_t letter = 0;             // \\.\X:
    std::optional<DWORD> disk;      // \\.\PhysicalDriveN
};

std::optional<device_source> parse_device(const std::string& source) {
    if (source.size() < 5 || (source[0] != '\\' && source[0] != '/') || (source[1] != '\\' && source[1] != '/') ||
        source[2] != '.' || (source[3] != '\\' && source[3] != '/')) {
        return std::nullopt;
    }
    const std::string name = source.substr(4);
    device_source device;
    if (name.size() == 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
        device.letter = static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(name[0])));
        return device;
    }
    constexpr std::string_view drive = "physicaldrive";
    if (name.size() > drive.size() && _strnicmp(name.c_str(), drive.data(), drive.size()) == 0) {
        char* end = nullptr;
        const unsigned long number = std::strtoul(name.c_str() + drive.size(), &end, 10);
        if (*end == '\0') device.disk = number;
        return device;
    }
    return device;  // another device: nothing is known about where it lies
}

// The serial number of the volume holding `path` (a folder or "X:\").
std::optional<DWORD> volume_serial(const std::wstring& path) {
    wchar_t root[MAX_PATH] = {};
    DWORD serial = 0;
    if (!GetVolumePathNameW(path.c_str(), root, MAX_PATH) ||
        !GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
        return std::nullopt;
    }
    return serial;
}

// Whether the volume at `root` ("X:\") lies, in part, on disk `disk`.
bool volume_on_disk(const std::wstring& root, DWORD disk) {
    wchar_t name[MAX_PATH] = {};
    if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH)) return false;
    std::wstring device = name;
    if (!device.empty() && device.back() == L'\\') device.pop_back();  // the volume, not its root folder
    const HANDLE volume = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;
    union {
        VOLUME_DISK_EXTENTS extents;
        char bytes[sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)];
    } buffer{};
    DWORD returned = 0;
    const bool known = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &buffer, sizeof buffer,
                                       &returned, nullptr);
    CloseHandle(volume);
    if (!known) return false;
    const DWORD count = std::min<DWORD>(buffer.extents.NumberOfDiskExtents, 32);
    for (DWORD i = 0; i < count; ++i) {
        if (buffer.extents.Extents[i].DiskNumber == disk) return true;
    }
    return false;
}

bool read_only_volume(const std::wstring& root) {
    DWORD flags = 0;
    return GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_READ_ONLY_VOLUME);
}

}  // namespace

bool check_output_location(const std::string& source, const std::string& output_dir, std::string& error) {
    std::wstring existing = to_wide(output_dir);
    DWORD attributes = 0;
    while ((attributes = GetFileAttributesW(existing.c_str())) == INVALID_FILE_ATTRIBUTES) {
        const DWORD why = GetLastError();
        if (why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND) {
            error = "cannot use " + output_dir + " as the output folder (system error " + std::to_string(why) + ")";
            return false;
        }
        const size_t slash = existing.find_last_of(L"\\/", existing.find_last_not_of(L"\\/"));
        existing = slash == std::wstring::npos ? L"." : existing.substr(0, slash + (slash == 0 || existing[slash - 1] == L':'));
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "cannot use " + output_dir + " as the output folder: " + to_utf8(existing.c_str()) + " is not a folder";
        return false;
    }
    // Windows says whether a folder may be written only when writing is
    // tried: a folder that refuses it fails the first save.
    const std::optional<device_source> device = parse_device(source);
    if (!device) return true;
    if (device->letter) {
        const std::wstring root = std::wstring(1, device->letter) + L":\\";
        const std::optional<DWORD> source_serial = volume_serial(root), output_serial = volume_serial(existing);
        if (source_serial && output_serial && *source_serial == *output_serial) {
            error = output_dir + " is on " + source +
                    ": saving there would write to the volume being recovered; choose a folder on another disk";
            return false;
        }
    }
    wchar_t output_root[MAX_PATH] = {};
    if (device->disk && GetVolumePathNameW(existing.c_str(), output_root, MAX_PATH) &&
        volume_on_disk(output_root, *device->disk)) {
        error = output_dir + " is on " + to_utf8(output_root) + ", which is part of " + source +
                ": saving there would write to the disk being recovered; choose a folder on another disk";
        return false;
    }
    return true;
}

std::vector<std::string> read_write_mounts(const std::string& source) {
    const std::optional<device_source> device = parse_device(source);
    if (!device || (!device->letter && !device->disk)) return {};
    std::vector<std::string> mounts;
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if (!(drives & (1u << (letter - L'A')))) continue;
        const std::wstring root = std::wstring(1, letter) + L":\\";
        const bool on_source = device->letter ? letter == device->letter : volume_on_disk(root, *device->disk);
        if (on_source && !read_only_volume(root)) {
            mounts.push_back("\\\\.\\" + std::string(1, static_cast<char>(letter)) + ": at " + to_utf8(root.c_str()));
        }
    }
    return mounts;
}

}  // namespace ostrel::cli
