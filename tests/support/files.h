// Files for tests: fixture images decompressed once per run, scratch
// directories that clean up after themselves, and descriptor helpers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ostrel::test {

// The decompressed copy of tests/data/<name>.xz (cached for the run); an
// empty path when the fixture is missing.
std::filesystem::path fixture_image(const std::string& name);

// A fresh directory, removed with everything in it at the end of its scope.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes `bytes` to `path` (replacing it).
void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::filesystem::path& path);

// An owned read-only descriptor.
class open_file {
public:
    explicit open_file(const std::filesystem::path& path);
    ~open_file();
    open_file(const open_file&) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Deterministic pseudo-random bytes.
std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed);

std::string sha256_hex(const std::vector<uint8_t>& bytes);

}  // namespace ostrel::test
