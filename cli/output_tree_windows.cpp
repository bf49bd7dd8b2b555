// The Windows side of the output folder. There is no openat: each folder is
// opened by its whole path as a handle that stays open while it is in use,
// shared for reading and writing but not for deletion, so that Windows
// refuses to rename, remove or replace it (or any folder above it) until it
// is closed; a path through held folders therefore reaches the folders that
// were opened. Reparse points (symbolic links, junctions, mount points) in
// the output folder are refused where POSIX refuses symbolic links.
#include "output_tree.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unordered_map>
#include <windows.h>

#include "system.h"
#include "text.h"

namespace ostrel::cli {

namespace {

// Open folders by number, standing in for descriptors. Savers on several
// threads each open their own, so the table is shared under a lock.
struct open_folder_entry {
    HANDLE handle;
    std::wstring path;
};
struct folder_table {
    std::mutex lock;
    std::unordered_map<int, open_folder_entry> open;
    int next = 1;
};
folder_table& folders() {
    static folder_table table;
    return table;
}

// errno for a system error, so that callers see the same reasons as on
// POSIX systems (a full disk above all).
int errno_of(DWORD error) {
    switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return EINVAL;
    default: return EIO;
    }
}

// Sets errno from the last system error; returns false for the caller.
bool failed() {
    errno = errno_of(GetLastError());
    return false;
}

std::wstring path_in(int folder, const std::string& name) {
    std::wstring path;
    {
        folder_table& table = folders();
        const std::lock_guard<std::mutex> held(table.lock);
        const auto found = table.open.find(folder);
        if (found != table.open.end()) path = found->second.path;
    }
    return path + L"\\" + to_wide(name);
}

// `path` made absolute, in the form that lifts the 260-character limit
// ("\\?\C:\..." or "\\?\UNC\server\..."): the saved tree may be deep. In
// that form a name such as "CON" or "nul.txt" from the volume is a file, not
// a device.
std::wstring long_path(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) return path;
    full.resize(length);
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Opens the folder at `path` and registers it; -1 with the system error.
// Without `follow`, a reparse point is opened as itself (and refused by the
// caller).
int hold_folder(const std::wstring& path, bool follow, DWORD& attributes) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return -1;
    }
    attributes = info.dwFileAttributes;
    folder_table& table = folders();
    const std::lock_guard<std::mutex> held(table.lock);
    const int number = table.next++;
    table.open[number] = {handle, path};
    return number;
}

}  // namespace

output_tree::output_tree(std::string root, std::shared_ptr<made_folders> made)
    : root_(std::move(root)), made_(std::move(made)) {
    // "C:\" stays as it is: "C:" alone is the current folder of drive C.
    while (root_.size() > 1 && (root_.back() == '/' || root_.back() == '\\') &&
           !(root_.size() == 3 && root_[1] == ':')) {
        root_.pop_back();
    }
    windows_names_ = true;
}

output_tree::~output_tree() {
    close_from(0);
    if (root_fd_ >= 0) close_folder(root_fd_);
}

void output_tree::close_folder(int fd) {
    folder_table& table = folders();
    const std::lock_guard<std::mutex> held(table.lock);
    const auto found = table.open.find(fd);
    if (found == table.open.end()) return;
    CloseHandle(found->second.handle);
    table.open.erase(found);
}

bool output_tree::open_root(std::string& error, int& error_number) {
    if (root_fd_ >= 0) return true;
    // The output folder and the folders leading to it are the user's to name;
    // links there are followed like anywhere else on the command line.
    std::error_code ec;
    std::filesystem::create_directories(native_path(root_), ec);
    DWORD attributes = 0;
    root_fd_ = hold_folder(long_path(to_wide(root_)), true, attributes);
    if (root_fd_ >= 0 && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        close_folder(root_fd_);
        root_fd_ = -1;
        SetLastError(ERROR_DIRECTORY);
    }
    if (root_fd_ < 0) {
        error_number = errno_of(GetLastError());
        error = "cannot use " + root_ + " as the output folder: " + (ec ? ec.message() : std::strerror(error_number));
        return false;
    }
    return true;
}

int output_tree::open_child(int parent, const std::string& name, const std::string& shown, std::string& error,
                            int& error_number, bool& created) {
    const std::wstring path = path_in(parent, name);
    created = CreateDirectoryW(path.c_str(), nullptr) != 0;
    if (!created && GetLastError() != ERROR_ALREADY_EXISTS) {
        error_number = errno_of(GetLastError());
        error = "cannot create " + shown + ": " + std::strerror(error_number);
        return -1;
    }
    DWORD attributes = 0;
    const int fd = hold_folder(path, false, attributes);
    if (fd < 0) {
        error_number = errno_of(GetLastError());
        error = "cannot open " + shown + ": " + std::strerror(error_number);
        return -1;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error_number = ELOOP;
        error = shown + " is a symbolic link or junction; links inside the output folder are not followed";
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error_number = ENOTDIR;
        error = shown + " exists and is not a folder";
    } else {
        return fd;
    }
    close_folder(fd);
    return -1;
}

bool output_tree::holds(const std::string& name) const {
    return GetFileAttributesW(long_path(to_wide(shown_path({}, name))).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool output_tree::exists(int folder, const std::string& name, bool* regular_file) {
    // The attributes of a link are its own: nothing is followed.
    const DWORD attributes = GetFileAttributesW(path_in(folder, name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed();
    if (regular_file) {
        *regular_file = !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    }
    return true;
}

uint64_t output_tree::file_size(int folder, const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path_in(folder, name).c_str(), GetFileExInfoStandard, &data)) return 0;
    return static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool output_tree::remove_file(int folder, const std::string& name) {
    // A link is removed itself, never what it points at.
    return DeleteFileW(path_in(folder, name).c_str()) || failed();
}

bool output_tree::publish(int folder, const std::string& partial, const std::string& name) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
    return MoveFileExW(path_in(folder, partial).c_str(), path_in(folder, name).c_str(), 0) || failed();
}

void output_tree::set_times(int folder, const std::string& name, std::optional<int64_t> accessed,
                            std::optional<int64_t> modified) {
    const HANDLE file = CreateFileW(path_in(folder, name).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    // 100-nanosecond units since 1601; a null time is left as it is, and so
    // is one before 1601, which FILETIME cannot hold.
    if (accessed && *accessed < -11644473600) accessed.reset();
    if (modified && *modified < -11644473600) modified.reset();
    const auto file_time = [](int64_t seconds) {
        const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600) * 10000000u;
        return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    const FILETIME access = accessed ? file_time(*accessed) : FILETIME{};
    const FILETIME write = modified ? file_time(*modified) : FILETIME{};
    SetFileTime(file, nullptr, accessed ? &access : nullptr, modified ? &write : nullptr);
    CloseHandle(file);
}

std::string output_tree::engine_path(int fd, const std::vector<std::string>&, const std::string& name) {
    // No /proc/self/fd here, and no need to move the working folder: the
    // folders on the full path are held open by this tree, so the path
    // reaches the folder that was opened.
    return to_utf8(path_in(fd, name).c_str());
}

}  // namespace ostrel::cli
