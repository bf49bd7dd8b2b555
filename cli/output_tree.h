// The folders recover writes into. The output folder itself is the user's
// and is created (with its parents) only when the first file is saved; every
// folder below it is created and opened one component at a time, without
// following symbolic links (or, on Windows, any reparse point), so nothing
// placed in the output folder can send a file elsewhere. On POSIX systems a
// folder is a descriptor and each name is reached relative to its parent's;
// on Windows a folder is a handle, held without delete sharing so that no
// folder on the way can be renamed, removed or replaced while it is used
// (output_tree_posix.cpp, output_tree_windows.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace ostrel::cli {

class output_tree {
public:
    // The folders made by this run, shared by the trees of all the threads
    // that save: a folder another thread made is as fresh as one made here.
    class made_folders {
    public:
        void add(const std::string& path);
        bool contains(const std::string& path) const;

    private:
        mutable std::mutex mutex_;
        std::unordered_set<std::string> paths_;
    };

    explicit output_tree(std::string root, std::shared_ptr<made_folders> made = nullptr);
    ~output_tree();
    output_tree(const output_tree&) = delete;
    output_tree& operator=(const output_tree&) = delete;

    // The folder `parts` below the root, created as needed: a number that
    // stays valid until the next call, or -1 with a one-line `error` and the
    // error number in `error_number`. `fresh` tells whether this run created
    // the folder, so that it holds only what this run put there.
    int open_folder(const std::vector<std::string>& parts, std::string& error, int& error_number,
                    bool* fresh = nullptr);

    // What is done to one name in a folder opened by `open_folder`, never
    // following a symbolic link. False (with errno set) on failure.
    static bool exists(int folder, const std::string& name, bool* regular_file = nullptr);
    static uint64_t file_size(int folder, const std::string& name);
    static bool remove_file(int folder, const std::string& name);
    // Gives a complete copy its name, never replacing what is there.
    static bool publish(int folder, const std::string& partial, const std::string& name);
    // Seconds since 1970 (UTC); a missing time leaves that time as it is.
    static void set_times(int folder, const std::string& name, std::optional<int64_t> accessed,
                          std::optional<int64_t> modified);

    // A path through which the engine creates `name` in the folder opened as
    // `fd` for `parts`, such that the folder is the one opened whatever
    // happens to the names: `name` alone, with the working folder moved to
    // `fd` (and back when the tree is done with) when that is allowed, or
    // else through /proc/self/fd when the system offers it. The working
    // folder is the cheaper way: resolving /proc/self/fd took a tenth of
    // saving a small file.
    // On Windows the full path, which the held folders keep in place.
    std::string engine_path(int fd, const std::vector<std::string>& parts, const std::string& name);
    // Allows engine_path to move the working folder: only for a thread that
    // has one of its own, since nothing else may rely on it meanwhile.
    void allow_working_folder() { may_move_cwd_ = true; }

    // Whether `name` exists directly in the output folder; creates nothing.
    bool holds(const std::string& name) const;
    // Renames `from` in the output folder to `to`, never replacing what is
    // there. False (with errno set) on failure.
    bool rename_in_root(const std::string& from, const std::string& to);

    // Renames every regular file below the folder `name` of the output
    // folder to NAME.partial, unless it ends so already (where both are
    // there, NAME goes). Nothing is followed. False when a folder could not
    // be read or a file not renamed.
    bool mark_partial_below(const std::string& name) const;

    // The path shown to the user.
    std::string shown_path(const std::vector<std::string>& parts, const std::string& name = {}) const;

    // Whether the output lies on a file system that refuses the characters
    // Windows reserves (FAT, exFAT, NTFS and other FUSE mounts; always on
    // Windows, whose file functions refuse them everywhere).
    bool windows_names() const { return windows_names_; }

private:
    bool open_root(std::string& error, int& error_number);
    void close_from(size_t depth);
    void close_transient();
    // Creates (when missing) and opens the folder `name` in `parent`; -1 with
    // the reason. `created` tells whether it was made here.
    static int open_child(int parent, const std::string& name, const std::string& shown, std::string& error,
                          int& error_number, bool& created);
    static void close_folder(int fd);

    std::string root_;
    std::shared_ptr<made_folders> made_;
    int root_fd_ = -1;
    bool proc_paths_ = false;
    bool may_move_cwd_ = false;
    bool cwd_tried_ = false;
    int first_cwd_ = -1;  // the working folder to return to, once moved
    int cwd_ = -1;        // the open folder that is the working folder now
    bool windows_names_ = false;
    struct level {
        std::string name;
        int fd;
        bool fresh;
    };
    std::vector<level> open_;  // the folders of the last call, outermost first
    int transient_fd_ = -1;    // a folder below the cached depth
};

}  // namespace ostrel::cli
