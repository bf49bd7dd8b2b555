#include "tests/support/portable.h"

#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>
#include <random>
#include <share.h>
#include <sys/stat.h>
#include <system_error>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace ostrel::test {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

// No mkdtemp or memory files: random names in the temporary folder until
// `make` succeeds with one.
template <typename Make>
bool with_fresh_name(const std::string& prefix, Make make) {
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (make(base / (prefix + std::to_string(random() % 1000000000000ull)))) return true;
    }
    return false;
}

int off_descriptor_zero(int fd) {
    if (fd != 0) return fd;
    const int moved = _dup(0);
    _close(0);
    return moved;
}

}  // namespace

fs::path make_temp_dir(const std::string& prefix) {
    fs::path made;
    const bool ok = with_fresh_name(prefix, [&](const fs::path& candidate) {
        std::error_code error;
        if (!fs::create_directory(candidate, error)) return false;
        made = candidate;
        return true;
    });
    if (!ok) throw std::runtime_error("no temporary folder could be made");
    return made;
}

void set_env(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }

int open_read_only(const fs::path& path) {
    return off_descriptor_zero(_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT));
}

void close_fd(int fd) { _close(fd); }

int open_anonymous_file() {
    // Named for a moment: the system deletes it when it is closed.
    int fd = -1;
    with_fresh_name("ostrel-anonymous-", [&](const fs::path& candidate) {
        const int flags = _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT;
        return _wsopen_s(&fd, candidate.c_str(), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) == 0;
    });
    return off_descriptor_zero(fd);
}

#else

namespace {

int off_descriptor_zero(int fd) {
    if (fd != 0) return fd;
    const int moved = fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::close(0);
    return moved;
}

}  // namespace

fs::path make_temp_dir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void set_env(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
}

int open_read_only(const fs::path& path) { return off_descriptor_zero(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

void close_fd(int fd) { ::close(fd); }

int open_anonymous_file() { return off_descriptor_zero(memfd_create("ostrel-source", MFD_CLOEXEC)); }

#endif

}  // namespace ostrel::test
