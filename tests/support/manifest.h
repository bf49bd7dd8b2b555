// The tab-separated files beside the fixture images, and the manifests among
// them: one row per file or folder with its path, size, SHA-256 and deleted
// state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrel::test {

// Rows of tests/data/<name> below its header line, as column -> text; empty
// when the file is missing.
using tsv_row = std::map<std::string, std::string>;
std::vector<tsv_row> read_tsv(const std::string& name);

struct manifest_row {
    std::string path;  // backslash-separated from the volume root, e.g. \docs\a.txt
    uint64_t size = 0;
    std::string sha256;
    bool deleted = false;
    bool expect_identical = false;
    bool is_folder = false;
    std::string former_path;
    std::string mtime;  // "2023-05-04 09:02:00"
};

std::vector<manifest_row> read_manifest(const std::string& name);

}  // namespace ostrel::test
