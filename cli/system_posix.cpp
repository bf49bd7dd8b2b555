#include "system.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif

namespace ostrel::cli {

std::vector<std::string> start_process(int argc, char** argv) { return {argv, argv + argc}; }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }
bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

size_t stderr_columns() {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string utc_offset_text(std::time_t when) {
    std::tm local{};
    char offset[16] = "+0000";
    if (localtime_r(&when, &local)) std::strftime(offset, sizeof offset, "%z", &local);
    return offset[0] + std::string(offset + 1, 2) + ":" + (offset + 3);
}

std::filesystem::path native_path(const std::string& utf8) { return utf8; }

bool inspect_source(const std::string& path, source_kind& kind) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    kind.regular = S_ISREG(info.st_mode);
    kind.device = S_ISBLK(info.st_mode);
    kind.size = kind.regular ? static_cast<uint64_t>(info.st_size) : 0;
    return true;
}

int open_source(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

void close_source(int fd) { ::close(fd); }

bool device_size(int fd, uint64_t& bytes) {
#if defined(BLKGETSIZE64)
    return ::ioctl(fd, BLKGETSIZE64, &bytes) == 0;
#else
    const off_t end = ::lseek(fd, 0, SEEK_END);
    bytes = end > 0 ? static_cast<uint64_t>(end) : 0;
    return end >= 0;
#endif
}

bool read_at(int fd, void* buffer, size_t length, uint64_t offset) {
    return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

uint64_t position_of(int fd) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    return at > 0 ? static_cast<uint64_t>(at) : 0;
}

}  // namespace ostrel::cli
