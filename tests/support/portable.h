// The few process-level calls tests need that differ between POSIX and
// Windows: temporary folders, environment variables and raw read-only
// descriptors.
#pragma once

#include <filesystem>
#include <string>

namespace ostrel::test {

// Creates a new, empty folder in the system's temporary folder whose name
// starts with `prefix`; throws when none can be made.
std::filesystem::path make_temp_dir(const std::string& prefix);

// Sets an environment variable of this process, or removes it when `value`
// is null. The C runtime's tzset() sees the change.
void set_env(const char* name, const char* value);

// Opens `path` read-only (binary, not inherited by child processes); never
// returns descriptor 0, which the engine reads as "none". -1 on failure.
int open_read_only(const std::filesystem::path& path);
void close_fd(int fd);

// A read-write descriptor for a nameless file that is gone once closed (a
// memory file on Linux, a temporary file deleted on close on Windows); never
// descriptor 0. -1 on failure.
int open_anonymous_file();

}  // namespace ostrel::test
