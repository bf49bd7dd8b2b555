#include "tests/support/manifest.h"

#include <fstream>
#include <map>
#include <sstream>

namespace ostrel::test {

std::vector<std::vector<std::string>> read_tsv(const std::string& name) {
    std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) + "/" + name);
    std::vector<std::vector<std::string>> lines;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream stream(line);
        std::string field;
        while (std::getline(stream, field, '\t')) fields.push_back(field);
        if (!line.empty() && line.back() == '\t') fields.emplace_back();
        lines.push_back(std::move(fields));
    }
    return lines;
}

std::vector<manifest_row> read_manifest(const std::string& name) {
    const auto lines = read_tsv(name);
    std::vector<manifest_row> rows;
    if (lines.empty()) return rows;
    std::map<std::string, size_t> column;
    for (size_t i = 0; i < lines[0].size(); ++i) column[lines[0][i]] = i;
    auto field = [&](const std::vector<std::string>& line, const std::string& key) -> std::string {
        const auto it = column.find(key);
        return it != column.end() && it->second < line.size() ? line[it->second] : std::string();
    };
    for (size_t i = 1; i < lines.size(); ++i) {
        manifest_row row;
        row.path = field(lines[i], "path");
        if (row.path.empty()) continue;
        const std::string size = field(lines[i], "size");
        row.size = size.empty() ? 0 : std::stoull(size);
        row.sha256 = field(lines[i], "sha256");
        row.deleted = field(lines[i], "deleted") == "1";
        row.expect_identical = field(lines[i], "expect_identical") == "1";
        row.is_folder = field(lines[i], "kind") == "folder";
        row.former_path = field(lines[i], "former_path");
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace ostrel::test
