#include "platform/descriptor_io.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/wide_text.h"

namespace ostrel::platform {

namespace {

// Descriptor 0 means "none" inside the engine. A process started without
// standard input can be handed 0 by open(); move it out of the way.
int avoid_descriptor_zero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

std::string native_path(const char16_t* path) { return utf16_to_utf8(path ? path : u""); }

}  // namespace

int open_read_shared(const char16_t* path, bool sequential_hint) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    const int fd = avoid_descriptor_zero(::open(native_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd > 0 && sequential_hint) {
#ifdef POSIX_FADV_SEQUENTIAL
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    }
    return fd;
}

int create_exclusive(const char16_t* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    // 0666 before the umask: recovered files belong to the user like any file
    // they would create themselves.
    return avoid_descriptor_zero(
        ::open(native_path(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

int64_t seek_to(int fd, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
}

int64_t tell(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

int32_t read_some(int fd, void* buffer, uint32_t size) {
    // Large reads are split so that a count always fits the int32 result.
    const size_t capped = size > 0x40000000u ? 0x40000000u : size;
    ssize_t n;
    do {
        n = ::read(fd, buffer, capped);
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int32_t read_some_at(int fd, void* buffer, uint32_t size, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const size_t capped = size > 0x40000000u ? 0x40000000u : size;
    ssize_t n;
    do {
        n = ::pread(fd, buffer, capped, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int32_t write_some(int fd, const void* buffer, uint32_t size) {
    const size_t capped = size > 0x40000000u ? 0x40000000u : size;
    ssize_t n;
    do {
        n = ::write(fd, buffer, capped);
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int duplicate(int fd) { return avoid_descriptor_zero(fcntl(fd, F_DUPFD_CLOEXEC, 1)); }

int close_descriptor(int fd) { return ::close(fd); }

int last_error() { return errno; }

void clear_error() { errno = 0; }

}  // namespace ostrel::platform
