#include "tests/support/manifest.h"

#include <fstream>
#include <sstream>

namespace ostrel::test {

std::vector<tsv_row> read_tsv(const std::string& name) {
    std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) + "/" + name);
    const auto split = [](const std::string& line) {
        std::vector<std::string> cells;
        std::istringstream stream(line);
        for (std::string cell; std::getline(stream, cell, '\t');) cells.push_back(cell);
        return cells;
    };
    std::vector<tsv_row> rows;
    std::string line;
    if (!std::getline(in, line)) return rows;
    const std::vector<std::string> header = split(line);
    while (std::getline(in, line)) {
        const std::vector<std::string> cells = split(line);
        tsv_row& row = rows.emplace_back();
        for (size_t i = 0; i < header.size(); ++i) row[header[i]] = i < cells.size() ? cells[i] : "";
    }
    return rows;
}

std::vector<manifest_row> read_manifest(const std::string& name) {
    std::vector<manifest_row> rows;
    for (const tsv_row& line : read_tsv(name)) {
        if (line.at("path").empty()) continue;
        rows.push_back({line.at("path"), line.at("size").empty() ? 0 : std::stoull(line.at("size")),
                        line.at("sha256"), line.at("deleted") == "1", line.at("expect_identical") == "1",
                        line.at("kind") == "folder", line.at("former_path"), line.at("mtime")});
    }
    return rows;
}

}  // namespace ostrel::test
