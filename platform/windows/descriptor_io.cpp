#include "platform/descriptor_io.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>

#include <mutex>

namespace ostrel::platform {

namespace {

const wchar_t* wide(const char16_t* path) { return reinterpret_cast<const wchar_t*>(path); }

// Descriptor 0 means "none" inside the engine; a process without standard
// input can be handed 0. Move it out of the way.
int avoid_descriptor_zero(int fd) {
    if (fd != 0) return fd;
    const int moved = _dup(fd);
    _close(fd);
    return moved;
}

}  // namespace

int open_read_shared(const char16_t* path, bool sequential_hint) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int fd = -1;
    // Deny nobody: other programs may keep reading and writing the device.
    const int flags = _O_RDONLY | _O_BINARY | (sequential_hint ? _O_SEQUENTIAL : 0);
    if (_wsopen_s(&fd, wide(path), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) return -1;
    return avoid_descriptor_zero(fd);
}

int create_exclusive(const char16_t* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int fd = -1;
    const int flags = _O_BINARY | _O_CREAT | _O_EXCL | _O_RDWR;
    if (_wsopen_s(&fd, wide(path), flags, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0) return -1;
    return avoid_descriptor_zero(fd);
}

int64_t seek_to(int fd, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    return _lseeki64(fd, offset, SEEK_SET);
}

int64_t tell(int fd) { return _telli64(fd); }

int32_t read_some(int fd, void* buffer, uint32_t size) {
    const unsigned capped = size > 0x40000000u ? 0x40000000u : size;
    return _read(fd, buffer, capped);
}

int32_t read_some_at(int fd, void* buffer, uint32_t size, int64_t offset) {
    // The runtime's descriptors have no positioned read: seek there and put
    // the position back. Saves on several threads share one descriptor, so
    // the three steps are one under a lock; otherwise a read could start at
    // another thread's offset and save the wrong bytes.
    static std::mutex positioned;
    const std::lock_guard<std::mutex> held(positioned);
    const int64_t saved = tell(fd);
    if (seek_to(fd, offset) != offset) {
        if (saved >= 0) seek_to(fd, saved);
        return -1;
    }
    const int32_t n = read_some(fd, buffer, size);
    if (saved >= 0) seek_to(fd, saved);
    return n;
}

int32_t write_some(int fd, const void* buffer, uint32_t size) {
    const unsigned capped = size > 0x40000000u ? 0x40000000u : size;
    return _write(fd, buffer, capped);
}

int duplicate(int fd) { return avoid_descriptor_zero(_dup(fd)); }

int close_descriptor(int fd) { return _close(fd); }

int last_error() { return errno; }

void clear_error() { errno = 0; }

}  // namespace ostrel::platform
