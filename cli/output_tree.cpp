#include "output_tree.h"

#include <filesystem>

#include "paths.h"

namespace ostrel::cli {

namespace {

constexpr size_t cached_depth = 128;  // folders kept open between calls

#ifdef _WIN32
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

}  // namespace

void output_tree::close_from(size_t depth) {
    while (open_.size() > depth) {
        if (open_.back().fd == cwd_) cwd_ = -1;
        close_folder(open_.back().fd);
        open_.pop_back();
    }
    close_transient();
}

void output_tree::close_transient() {
    if (transient_fd_ < 0) return;
    if (transient_fd_ == cwd_) cwd_ = -1;
    close_folder(transient_fd_);
    transient_fd_ = -1;
}

int output_tree::open_folder(const std::vector<std::string>& parts, std::string& error, int& error_number,
                             bool* fresh) {
    if (!open_root(error, error_number)) return -1;
    size_t common = 0;
    while (common < open_.size() && common < parts.size() && open_[common].name == parts[common]) ++common;
    close_from(common);
    int fd = common ? open_[common - 1].fd : root_fd_;
    // The output folder itself may hold anything.
    bool is_fresh = common ? open_[common - 1].fresh : false;
    for (size_t i = common; i < parts.size(); ++i) {
        bool created = false;
        const std::vector<std::string> shown(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        const std::string path = shown_path(shown);
        const int child = open_child(fd, parts[i], path, error, error_number, created);
        if (fd == transient_fd_) close_transient();
        if (child < 0) return -1;
        if (made_ && created) {
            made_->add(path);
        } else if (made_) {
            created = made_->contains(path);
        }
        // A folder made in a folder this run made: nobody else put anything there.
        is_fresh = created && (i == 0 || is_fresh);
        if (i < cached_depth) {
            open_.push_back({parts[i], child, is_fresh});
        } else {
            transient_fd_ = child;
        }
        fd = child;
    }
    if (fresh) *fresh = is_fresh;
    return fd;
}

bool output_tree::rename_in_root(const std::string& from, const std::string& to) {
    std::string error;
    int error_number = 0;
    return open_root(error, error_number) && publish(root_fd_, from, to);
}

bool output_tree::mark_partial_below(const std::string& name) const {
    namespace fs = std::filesystem;
    const auto utf8_path = [](const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); };
    const std::u8string suffix(partial_suffix.begin(), partial_suffix.end());
    std::error_code walk;
    std::vector<fs::path> files;
    // Links to folders are not followed, and a link is no regular file.
    fs::recursive_directory_iterator at(utf8_path(shown_path({}, name)), walk);
    for (const fs::recursive_directory_iterator end; !walk && at != end; at.increment(walk)) {
        std::error_code ec;
        if (at->symlink_status(ec).type() == fs::file_type::regular && !at->path().u8string().ends_with(suffix)) {
            files.push_back(at->path());
        }
    }
    bool all = !walk;
    for (const fs::path& file : files) {
        fs::path partial = file;
        partial += suffix;
        std::error_code ec;
        if (fs::exists(fs::symlink_status(partial, ec))) {
            fs::remove(file, ec);
        } else {
            fs::rename(file, partial, ec);
        }
        all = all && !ec;
    }
    return all;
}

void output_tree::made_folders::add(const std::string& path) {
    const std::lock_guard<std::mutex> held(mutex_);
    paths_.insert(path);
}

bool output_tree::made_folders::contains(const std::string& path) const {
    const std::lock_guard<std::mutex> held(mutex_);
    return paths_.count(path) != 0;
}

std::string output_tree::shown_path(const std::vector<std::string>& parts, const std::string& name) const {
    std::string path = root_;
    for (const std::string& part : parts) path += separator + part;
    if (!name.empty()) path += separator + name;
    return path;
}

}  // namespace ostrel::cli
