// The deep scan's sweep alone over an image, without the volume search that
// `ostrel ls --deep` makes first (on a source with no file system that
// search reads the whole image once more before the sweep starts). Prints
// the carved files' count and the sweep's throughput.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "carve/deep_scan_engine.h"
#include "carve/raw_recover.h"
#include "ostrel/ostrel.h"

namespace {

struct never_stop : stop_token {
    uint8_t is_stopped() override { return 0; }
    void on_stopped() override {}
    void on_deep_scan_declined() override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    ostrel::raw_recover engine(fd, 0, static_cast<uint64_t>(info.st_size));
    never_stop token;
    engine.stop_token = &token;
    std::shared_ptr<ostrel::tagFolderInfo> root;
    const auto start = std::chrono::steady_clock::now();
    engine.scan(root, nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const size_t carved = engine.deep_scan_engine ? engine.deep_scan_engine->carved_files.size() : 0;
    std::printf("bytes %lld seconds %.3f MB/s %.1f carved %zu\n", static_cast<long long>(info.st_size), seconds,
                static_cast<double>(info.st_size) / 1e6 / seconds, carved);
    close(fd);
    return 0;
}
