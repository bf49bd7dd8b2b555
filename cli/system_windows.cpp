#include "system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>
#include <shellapi.h>

#include "text.h"

namespace ostrel::cli {

namespace {

bool vt_console = false;  // standard error is a console that understands escape sequences
UINT console_code_page = 0;

void restore_code_page() { SetConsoleOutputCP(console_code_page); }

// "\\.\PhysicalDrive1", "\\.\C:", "\\.\HarddiskVolume3": the device
// namespace, where disks and volumes are opened whole.
bool is_device_path(const std::wstring& path) {
    return path.size() > 4 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/') &&
           path[2] == L'.' && (path[3] == L'\\' || path[3] == L'/');
}

}  // namespace

std::vector<std::string> start_process(int argc, char** argv) {
    // Bytes go out as they are: the text is UTF-8, and a line ends in "\n"
    // as it does elsewhere, so that JSON lines and listings read the same.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A console shows UTF-8 only when told; its code page outlives the
    // process, so the previous one is put back at the end.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    const bool err_console = GetConsoleMode(err, &mode) != 0;
    if (err_console || GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        console_code_page = GetConsoleOutputCP();
        if (console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_code_page);
    }
    // The progress line redraws itself with "\r\x1b[K"; a console that
    // cannot be told to interpret that gets no progress line.
    if (err_console && GetConsoleMode(err, &mode)) {
        vt_console = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
                     SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    // argv is in the ANSI code page, which cannot hold every name.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(to_utf8(wide[i]));
    LocalFree(wide);
    return args;
}

bool stderr_is_terminal() { return vt_console; }
bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

size_t stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<size_t>(columns) : 0;
}

std::string utc_offset_text(std::time_t when) {
    // The C runtime's "%z" is the zone's name: the local time read back as
    // UTC gives the offset.
    std::tm local{};
    const __time64_t at = when;
    if (_localtime64_s(&local, &at) != 0) return "+00:00";
    const long long offset = static_cast<long long>(_mkgmtime64(&local) - at) / 60;
    const long long minutes = offset < 0 ? -offset : offset;
    char text[16];
    std::snprintf(text, sizeof text, "%c%02lld:%02lld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::filesystem::path native_path(const std::string& utf8) { return std::filesystem::path(to_wide(utf8)); }

bool inspect_source(const std::string& path, source_kind& kind) {
    const std::wstring wide = to_wide(path);
    // Disks and volumes have no file information; opening them tells.
    if (is_device_path(wide)) {
        kind.device = true;
        return true;
    }
    struct _stat64 info {};
    if (_wstat64(wide.c_str(), &info) != 0) return false;
    kind.regular = (info.st_mode & _S_IFMT) == _S_IFREG;
    kind.size = kind.regular ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

int open_source(const std::string& path) {
    int fd = -1;
    // Shared for reading and writing: a disk in use stays in use.
    const errno_t failed = _wsopen_s(&fd, to_wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
    if (failed) {
        errno = failed;
        return -1;
    }
    // Above the standard streams: duplicates until one lands there.
    std::vector<int> low;
    while (fd >= 0 && fd <= 2) {
        low.push_back(fd);
        fd = _dup(fd);
    }
    const int saved = errno;
    for (int held : low) _close(held);
    errno = saved;
    return fd;
}

void close_source(int fd) { _close(fd); }

bool device_size(int fd, uint64_t& bytes) {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    if (!DeviceIoControl(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                         sizeof length, &returned, nullptr)) {
        errno = EIO;
        return false;
    }
    bytes = static_cast<uint64_t>(length.Length.QuadPart);
    return true;
}

bool read_at(int fd, void* buffer, size_t length, uint64_t offset) {
    // No positioned read on the C runtime's descriptors: seek, read, and
    // put the position back, since the engine shares it.
    const __int64 was = _lseeki64(fd, 0, SEEK_CUR);
    if (was < 0 || _lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
    const int got = _read(fd, buffer, static_cast<unsigned>(length));
    const int saved = errno;
    _lseeki64(fd, was, SEEK_SET);
    errno = saved;
    return got >= 0 && static_cast<size_t>(got) == length;
}

uint64_t position_of(int fd) {
    const __int64 at = _lseeki64(fd, 0, SEEK_CUR);
    return at > 0 ? static_cast<uint64_t>(at) : 0;
}

}  // namespace ostrel::cli
