// What the command asks of the operating system besides the output folder
// (output_tree.h) and the devices around it (devices.h): its arguments and
// console, and read-only access to the source. system_posix.cpp and
// system_windows.cpp implement it; the rest of the command is the same on
// both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace ostrel::cli {

// The command line as UTF-8, and standard output and error set up to carry
// UTF-8 bytes unchanged. Windows passes `argv` in the ANSI code page, so
// there the arguments come from the wide command line instead.
std::vector<std::string> start_process(int argc, char** argv);

// Whether standard error is a terminal, and its width in columns (0 when
// unknown); whether standard output is one.
bool stderr_is_terminal();
bool stdout_is_terminal();
size_t stderr_columns();

// This machine's offset from UTC at `when`, as "+09:00".
std::string utc_offset_text(std::time_t when);

// A UTF-8 path as the standard library's path type.
std::filesystem::path native_path(const std::string& utf8);

// What a source path names.
struct source_kind {
    bool regular = false;  // a file
    bool device = false;   // a block device, a disk or a volume
    uint64_t size = 0;     // of a file; a device's size is asked through its descriptor
};

// False (with errno set) when nothing can be found out about `path`.
bool inspect_source(const std::string& path, source_kind& kind);

// A read-only descriptor of `path` above 2 (the engine reads descriptor 0 as
// "none", and one that landed on 0-2 could be mistaken for a standard
// stream), never inherited by child processes; -1 with errno set.
int open_source(const std::string& path);
void close_source(int fd);
// A device's size in bytes through its descriptor; false with errno set.
bool device_size(int fd, uint64_t& bytes);
// Reads `length` bytes at `offset` without moving the descriptor's position.
bool read_at(int fd, void* buffer, size_t length, uint64_t offset);
// Where the descriptor's position is (0 when unknown).
uint64_t position_of(int fd);

}  // namespace ostrel::cli
