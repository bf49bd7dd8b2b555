#include "tests/support/memory_descriptor.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include "tests/support/portable.h"
#else
#include <sys/mman.h>
#endif

namespace ostrel::test {

memory_descriptor::memory_descriptor(const uint8_t* bytes, size_t size) {
#ifdef _WIN32
    // No memory files there: a temporary file deleted when it is closed.
    const int fd = open_anonymous_file();
#else
    int fd = memfd_create("ostrel-source", MFD_CLOEXEC);
    if (fd == 0) {
        // Only when standard input is closed; 0 means "none" to the engine.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
#endif
    if (fd < 0) return;
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0) {
            close(fd);
            return;
        }
        done += static_cast<size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

memory_descriptor::~memory_descriptor() {
    if (fd_ > 0) close(fd_);
}

}  // namespace ostrel::test
