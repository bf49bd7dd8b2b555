// A read-only source held in memory: an anonymous memory file (Linux memfd)
// holding a copy of the bytes. The engine reads it through the ordinary
// descriptor calls, as it reads a disk, and nothing on the file system is
// created or opened.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::test {

class memory_descriptor {
public:
    memory_descriptor(const uint8_t* bytes, size_t size);
    ~memory_descriptor();
    memory_descriptor(const memory_descriptor&) = delete;
    memory_descriptor& operator=(const memory_descriptor&) = delete;

    // A positive descriptor (never 0, which the engine reads as "none"), or
    // -1 when the memory file could not be made or filled.
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace ostrel::test
