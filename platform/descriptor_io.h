// Descriptor I/O: the only way the engine touches devices and destination
// files. Descriptors are small positive integers; 0 stands for "none"
// everywhere in the engine, so no function here ever hands out descriptor 0.
#pragma once

#include <cstdint>

namespace ostrel::platform {

// Opens a path for reading only, sharing it with other readers and writers.
// Never asks for write access: a source is never written to. -1 on failure.
int open_read_shared(const char16_t* path, bool sequential_hint);

// Creates a new file for reading and writing; fails with "file exists"
// (error 17) when the path exists, so a saved file never replaces another.
int create_exclusive(const char16_t* path);

// Positions `fd` at `offset` from the start; the new position or -1.
int64_t seek_to(int fd, int64_t offset);
// The current position, or -1.
int64_t tell(int fd);

// Byte counts, or -1 on error.
int32_t read_some(int fd, void* buffer, uint32_t size);
// Reads at `offset` and leaves the descriptor's running position where it
// was. One call where the system has positioned reads (the MFT and
// directory reads of a scan are mostly such small reads).
int32_t read_some_at(int fd, void* buffer, uint32_t size, int64_t offset);
int32_t write_some(int fd, const void* buffer, uint32_t size);

// A new descriptor for the same open file (own position on Windows, shared
// on POSIX; see the implementation), or -1.
int duplicate(int fd);
int close_descriptor(int fd);

// The runtime's error number of the last failed call, and clearing it.
int last_error();
void clear_error();

// The error number meaning "the file already exists".
constexpr int error_file_exists = 17;

}  // namespace ostrel::platform
