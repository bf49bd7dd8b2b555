#include "tests/support/memory_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include "tests/support/portable.h"

namespace ostrel::test {

memory_descriptor::memory_descriptor(const uint8_t* bytes, size_t size) {
    const int fd = open_anonymous_file();  // never 0, which the engine reads as "none"
    if (fd < 0) return;
    size_t done = 0;
    while (done < size) {
        const auto n = write(fd, bytes + done, static_cast<unsigned>(size - done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done == size && lseek(fd, 0, SEEK_SET) == 0) fd_ = fd;
    else close_fd(fd);
}

memory_descriptor::~memory_descriptor() {
    if (fd_ > 0) close_fd(fd_);
}

}  // namespace ostrel::test
