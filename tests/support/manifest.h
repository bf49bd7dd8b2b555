// The manifests written beside the fixture images: one row per file or
// folder with its path, size, SHA-256 and deleted state.
#pragma once

#include <string>
#include <vector>

namespace ostrel::test {

struct manifest_row {
    std::string path;  // backslash-separated from the volume root, e.g. \docs\a.txt
    uint64_t size = 0;
    std::string sha256;
    bool deleted = false;
    bool expect_identical = false;
    bool is_folder = false;
    std::string former_path;
};

// Rows of tests/data/<name>; empty when the file is missing.
std::vector<manifest_row> read_manifest(const std::string& name);

// Tab-separated lines of a data file, header included.
std::vector<std::vector<std::string>> read_tsv(const std::string& name);

}  // namespace ostrel::test
