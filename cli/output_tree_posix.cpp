#include "output_tree.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace ostrel::cli {

namespace {

// The POSIX side of the output folder: every folder is a descriptor, and
// each name is reached relative to one.

// File-system magic numbers (statfs f_type) that refuse : * ? " < > |.
bool refuses_windows_reserved(long type) {
    switch (static_cast<unsigned long>(type)) {
    case 0x4d44:      // FAT
    case 0x2011BAB0:  // exFAT
    case 0x5346544e:  // NTFS (ntfs, ntfs3)
    case 0x65735546:  // FUSE: ntfs-3g, exfat-fuse
        return true;
    default: return false;
    }
}

// The nearest folder of `path` that exists.
std::string existing_part(std::string path) {
    struct stat info {};
    while (::stat(path.c_str(), &info) != 0) {
        const size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
        if (slash == std::string::npos) return ".";
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return path;
}

}  // namespace

// Creates (when missing) and opens the folder `name` in `parent`, never
// following a symbolic link.
int output_tree::open_child(int parent, const std::string& name, const std::string& shown, std::string& error,
                            int& error_number, bool& created) {
    created = ::mkdirat(parent, name.c_str(), 0777) == 0;
    if (!created && errno != EEXIST) {
        error_number = errno;
        error = "cannot create " + shown + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return fd;
    error_number = errno;
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        error = shown + " is a symbolic link; links inside the output folder are not followed";
    } else if (error_number == ENOTDIR) {
        error = shown + " exists and is not a folder";
    } else {
        error = "cannot open " + shown + ": " + std::strerror(error_number);
    }
    return -1;
}

void output_tree::close_folder(int fd) { ::close(fd); }

output_tree::output_tree(std::string root, std::shared_ptr<made_folders> made)
    : root_(std::move(root)), made_(std::move(made)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    struct statfs info {};
    windows_names_ = ::statfs(existing_part(root_).c_str(), &info) == 0 && refuses_windows_reserved(info.f_type);
}

output_tree::~output_tree() {
    if (first_cwd_ >= 0) {
        // Back where the command started; nothing relies on it afterwards,
        // so a failure here changes no result.
        [[maybe_unused]] const int ignored = ::fchdir(first_cwd_);
        ::close(first_cwd_);
    }
    close_from(0);
    if (root_fd_ >= 0) close_folder(root_fd_);
}

bool output_tree::open_root(std::string& error, int& error_number) {
    if (root_fd_ >= 0) return true;
    // The output folder and the folders leading to it are the user's to name;
    // links there are followed like anywhere else on the command line.
    std::error_code ec;
    std::filesystem::create_directories(root_, ec);
    root_fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd_ < 0) {
        error_number = errno;
        error = "cannot use " + root_ + " as the output folder: " + std::strerror(ec ? ec.value() : errno);
        return false;
    }
    struct stat direct {}, through_proc {};
    const std::string proc = "/proc/self/fd/" + std::to_string(root_fd_);
    proc_paths_ = ::fstat(root_fd_, &direct) == 0 && ::stat(proc.c_str(), &through_proc) == 0 &&
                  direct.st_dev == through_proc.st_dev && direct.st_ino == through_proc.st_ino;
    return true;
}

bool output_tree::holds(const std::string& name) const {
    struct stat info {};
    return ::fstatat(AT_FDCWD, shown_path({}, name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool output_tree::exists(int folder, const std::string& name, bool* regular_file) {
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (regular_file) *regular_file = S_ISREG(info.st_mode);
    return true;
}

uint64_t output_tree::file_size(int folder, const std::string& name) {
    struct stat info {};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

bool output_tree::remove_file(int folder, const std::string& name) { return ::unlinkat(folder, name.c_str(), 0) == 0; }

bool output_tree::publish(int folder, const std::string& partial, const std::string& name) {
    if (::renameat2(folder, partial.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a hard link cannot replace
    // either; without hard links (FAT), look first.
    if (::linkat(folder, partial.c_str(), folder, name.c_str(), 0) == 0) return ::unlinkat(folder, partial.c_str(), 0) == 0;
    if (errno == EEXIST) return false;
    if (exists(folder, name)) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(folder, partial.c_str(), folder, name.c_str()) == 0;
}

void output_tree::set_times(int folder, const std::string& name, std::optional<int64_t> accessed,
                            std::optional<int64_t> modified) {
    const auto stamp = [](std::optional<int64_t> when) {
        return when ? timespec{static_cast<std::time_t>(*when), 0} : timespec{0, UTIME_OMIT};
    };
    const timespec times[2] = {stamp(accessed), stamp(modified)};
    ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string output_tree::engine_path(int fd, const std::vector<std::string>& parts, const std::string& name) {
    if (fd == cwd_) return name;
    if (may_move_cwd_ && !cwd_tried_) {
        cwd_tried_ = true;
        first_cwd_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (first_cwd_ >= 0 && ::fchdir(fd) == 0) {
        cwd_ = fd;
        return name;
    }
    if (proc_paths_) return "/proc/self/fd/" + std::to_string(fd) + "/" + name;
    return shown_path(parts, name);
}

}  // namespace ostrel::cli
