// The ceiling for any carver that names 512-byte blocks: read an image in
// 64 MiB chunks into one buffer and, for every block, compare the first four
// bytes with a few magic numbers and bytes 510-511 with the boot-sector
// mark. Nothing else is done per block, so no block-classifying sweep over
// the same image can be faster than this on the same machine.
//
// Usage: ostrel_bare_sweep IMAGE
// Prints one line: bytes, seconds, MB/s (10^6 bytes per second), the number
// of blocks whose first bytes matched a magic number and the number that end
// in 55 AA.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t chunk_bytes = size_t(64) << 20;
constexpr size_t block_bytes = 512;

// First four bytes read as a little-endian word: JPEG (FF D8 FF E0), PNG,
// PDF and ZIP local header.
constexpr uint32_t magic[] = {0xE0FFD8FF, 0x474E5089, 0x46445025, 0x04034B50};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> buffer(chunk_bytes);
    uint64_t total = 0, magic_hits = 0, boot_marks = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        // Fill the whole chunk unless the file ends first.
        size_t filled = 0;
        while (filled < chunk_bytes) {
            const ssize_t n = read(fd, buffer.data() + filled, chunk_bytes - filled);
            if (n < 0) {
                std::perror("read");
                return 1;
            }
            if (n == 0) break;
            filled += size_t(n);
        }
        if (filled == 0) break;
        const uint8_t* p = buffer.data();
        for (size_t off = 0; off + block_bytes <= filled; off += block_bytes) {
            uint32_t head;
            std::memcpy(&head, p + off, 4);
            for (uint32_t m : magic) magic_hits += head == m;
            boot_marks += p[off + 510] == 0x55 && p[off + 511] == 0xAA;
        }
        total += filled;
        if (filled < chunk_bytes) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(fd);
    std::printf("bytes %llu seconds %.3f MB/s %.1f magic %llu boot_marks %llu\n",
                static_cast<unsigned long long>(total), seconds, seconds > 0 ? total / seconds / 1e6 : 0.0,
                static_cast<unsigned long long>(magic_hits), static_cast<unsigned long long>(boot_marks));
    return 0;
}
