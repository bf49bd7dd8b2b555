// The command line: `ostrel COMMAND SOURCE [ARGS] [OPTIONS]`.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ostrel::cli {

struct options {
    std::string command;  // volumes, ls, recover, extents, help, version, usage (nothing given)
    std::string source;
    std::string file_path;   // extents: the file to describe
    std::string output_dir;  // recover: -o DIR
    std::optional<int> volume;
    std::optional<std::string> start_path;  // --path: where the scan starts
    std::vector<std::string> types;         // --types: lower-case extensions
    bool deleted = false;
    bool deep = false;
    bool json = false;
    bool verbose = false;
};

// False with a one-line `error` for anything that does not parse.
bool parse_options(int argc, char** argv, options& out, std::string& error);

extern const char* const usage_text;
extern const char* const version_text;

}  // namespace ostrel::cli
