// What making a recovered tree costs the system alone, with no source read:
// the folders and files of a saved tree are made again under a scratch
// folder, with their sizes (zeros), by as many threads as `ostrel recover`
// saves on, each thread taking whole folders. Two ways: each file created,
// written and closed; and the way the command saves into a new volume folder
// (the same, then given its times; the folder, made under a .partial name,
// is renamed once at the end, which costs nothing here). No program that
// keeps the files' times saves the tree faster than the second figure.
// Linux only.
//
// Usage: ostrel_bench_file_floor SAVED_TREE SCRATCH (SCRATCH must not exist)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct folder {
    std::string path;  // relative to the tree
    std::vector<std::pair<std::string, uint64_t>> files;  // name, size
};

// The tree's folders, each before the folders inside it.
std::vector<folder> read_tree(const fs::path& tree) {
    std::vector<folder> folders{{"", {}}};
    for (size_t i = 0; i < folders.size(); ++i) {
        for (const fs::directory_entry& entry : fs::directory_iterator(tree / folders[i].path)) {
            if (entry.is_symlink()) continue;  // a saved tree holds none; a link could lead back up
            if (entry.is_directory()) {
                folders.push_back({fs::relative(entry.path(), tree).string(), {}});
            } else if (entry.is_regular_file()) {
                folders[i].files.emplace_back(entry.path().filename().string(), entry.file_size());
            }
        }
    }
    return folders;
}

// Makes one folder's files in `at`; false on the first failure.
bool make_files(int at, const folder& f, bool timed, const std::vector<char>& zeros) {
    for (const auto& [name, size] : f.files) {
        const int fd = ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        for (uint64_t left = size; left > 0;) {
            const ssize_t wrote = ::write(fd, zeros.data(), std::min<uint64_t>(left, zeros.size()));
            if (wrote <= 0) return ::close(fd), false;
            left -= static_cast<uint64_t>(wrote);
        }
        ::close(fd);
        if (!timed) continue;
        const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        if (::utimensat(at, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return false;
    }
    return true;
}

// Seconds to make the tree under `root` on `threads` threads.
double make_tree(const std::vector<folder>& folders, const fs::path& root, bool timed, unsigned threads) {
    fs::create_directory(root);
    std::atomic<size_t> next = 0;
    std::atomic<bool> failed = false;
    const std::vector<char> zeros(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    // The folders first, here: each comes after its parent.
    for (const folder& f : folders) {
        if (!f.path.empty()) fs::create_directory(root / f.path);
    }
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (size_t i = next++; i < folders.size() && !failed; i = next++) {
                const int at = ::open((root / folders[i].path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (at < 0 || !make_files(at, folders[i], timed, zeros)) failed = true;
                if (at >= 0) ::close(at);
            }
        });
    }
    for (std::thread& w : workers) w.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return failed ? -1 : seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || fs::exists(argv[2])) {
        std::fprintf(stderr, "usage: %s SAVED_TREE SCRATCH (SCRATCH must not exist)\n", argv[0]);
        return 2;
    }
    const std::vector<folder> folders = read_tree(argv[1]);
    size_t files = 0;
    for (const folder& f : folders) files += f.files.size();
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    const fs::path scratch = argv[2];
    fs::create_directory(scratch);
    // Once untimed, so that neither figure pays for the system's first
    // touch of the memory; then each way twice, in turn, keeping the faster.
    double plain = 1e9, with_times = 1e9;
    for (int round = 0; round < 5; ++round) {
        const bool timed = round % 2 == 0;
        const double seconds = make_tree(folders, scratch / "tree", timed, threads);
        fs::remove_all(scratch / "tree");
        ::sync();
        if (seconds < 0) {
            fs::remove_all(scratch);
            std::fprintf(stderr, "could not make the tree under %s\n", argv[2]);
            return 1;
        }
        if (round == 0) continue;
        double& best = timed ? with_times : plain;
        best = std::min(best, seconds);
    }
    fs::remove_all(scratch);
    std::printf("%zu files in %zu folders on %u threads: created %.3f s, given their times too %.3f s\n", files,
                folders.size(), threads, plain, with_times);
    return 0;
}
