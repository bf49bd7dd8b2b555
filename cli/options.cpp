#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <string_view>

namespace ostrel::cli {

const char* const usage_text =
    "usage: ostrel COMMAND SOURCE [OPTIONS]\n"
    "\n"
    "SOURCE is a disk image file or a block device; it is only ever read.\n"
    "\n"
    "commands:\n"
    "  volumes SOURCE                 list the volumes found on SOURCE\n"
    "  ls SOURCE                      list the recovered tree of each volume\n"
    "  recover SOURCE -o DIR          save found files under DIR/<volume>-<type>/\n"
    "  extents SOURCE PATH            print where the bytes of the file PATH lie\n"
    "\n"
    "options:\n"
    "  --volume N        only volume N (as numbered by `ostrel volumes`)\n"
    "  --path P          start the scan at folder P of the volume (ls, recover)\n"
    "  --deleted         only deleted, lost and carved items (ls, recover)\n"
    "  --deep            also sweep free space for lost folders and carved files\n"
    "  --types jpg,pdf   only files with these extensions (recover)\n"
    "  -o, --output DIR  where recover saves files (required for recover)\n"
    "  --json            one JSON object per line\n"
    "  --verbose         copy the engine's log lines to standard error\n"
    "  -h, --help        show this text\n"
    "\n"
    "recover saves into DIR/<volume>-<type>/ (for example 0-fat32), each file at\n"
    "its path on the volume; a file from the recycle bin goes to the path it had\n"
    "before it was deleted, without the drive letter (C:\\Users\\x\\a.txt becomes\n"
    "Users/x/a.txt); lost folders and carved files go under $Lost/. Existing files\n"
    "are never overwritten: they are skipped. When two found files have the same\n"
    "path, the later one is saved as \"name (2).ext\".\n"
    "\n"
    "exit status: 0 success; 1 some files were not saved, some volumes could not\n"
    "be scanned, or (extents) no such file; 2 bad usage, unreadable source or\n"
    "unknown volume; 3 no selected volume could be scanned; 130 stopped by Ctrl-C.\n";

namespace {

// Which options each command takes.
const std::set<std::string_view>& allowed(const std::string& command) {
    static const std::set<std::string_view> volumes{"--json", "--verbose"};
    static const std::set<std::string_view> ls{"--volume", "--path", "--deleted", "--deep", "--json", "--verbose"};
    static const std::set<std::string_view> recover{"--volume", "--path", "--deleted", "--deep",
                                                    "--types",  "--output", "--json", "--verbose"};
    static const std::set<std::string_view> extents{"--volume", "--deep", "--json", "--verbose"};
    if (command == "volumes") return volumes;
    if (command == "ls") return ls;
    if (command == "recover") return recover;
    return extents;
}

bool parse_volume(std::string_view text, int& volume) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, volume);
    return ec == std::errc{} && ptr == end && volume >= 0;
}

bool parse_types(std::string_view text, std::vector<std::string>& types) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        std::string type(text.substr(start, comma - start));
        while (!type.empty() && type.front() == '.') type.erase(type.begin());
        std::transform(type.begin(), type.end(), type.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (type.empty()) return false;
        types.push_back(type);
        start = comma + 1;
    }
    return !types.empty();
}

}  // namespace

bool parse_options(int argc, char** argv, options& out, std::string& error) {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> given;  // (option, value)
    static const std::set<std::string_view> with_value{"--volume", "--path", "--types", "--output"};
    bool only_positional = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (only_positional || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out.command = "help";
            return true;
        }
        if (arg == "-o") arg = "--output";
        std::string value;
        bool has_value = false;
        if (const size_t eq = arg.find('='); eq != std::string::npos && arg.starts_with("--")) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        static const std::set<std::string_view> known{"--volume", "--path", "--types",   "--output", "--deleted",
                                                      "--deep",   "--json", "--verbose"};
        if (!known.count(arg)) {
            error = "unknown option " + arg;
            return false;
        }
        if (with_value.count(arg) && !has_value) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            value = argv[++i];
            has_value = true;
        } else if (!with_value.count(arg) && has_value) {
            error = "option " + arg + " takes no value";
            return false;
        }
        given.emplace_back(arg, value);
    }

    if (positional.empty()) {
        error = "no command given";
        return false;
    }
    out.command = positional[0];
    if (out.command == "help") return true;
    if (out.command != "volumes" && out.command != "ls" && out.command != "recover" && out.command != "extents") {
        error = "unknown command '" + out.command + "'";
        return false;
    }
    const size_t wanted = out.command == "extents" ? 3 : 2;
    if (positional.size() < 2) {
        error = out.command + " needs a SOURCE";
        return false;
    }
    if (out.command == "extents" && positional.size() < 3) {
        error = "extents needs the PATH of a file";
        return false;
    }
    if (positional.size() > wanted) {
        error = "unexpected argument '" + positional[wanted] + "'";
        return false;
    }
    out.source = positional[1];
    if (out.command == "extents") out.file_path = positional[2];

    for (const auto& [option, value] : given) {
        if (!allowed(out.command).count(option)) {
            error = "option " + option + " does not apply to " + out.command;
            return false;
        }
        if (option == "--volume") {
            int volume = 0;
            if (!parse_volume(value, volume)) {
                error = "--volume needs a volume number, not '" + value + "'";
                return false;
            }
            out.volume = volume;
        } else if (option == "--path") {
            out.start_path = value;
        } else if (option == "--types") {
            out.types.clear();
            if (!parse_types(value, out.types)) {
                error = "--types needs extensions separated by commas, not '" + value + "'";
                return false;
            }
        } else if (option == "--output") {
            if (value.empty()) {
                error = "--output needs a folder";
                return false;
            }
            out.output_dir = value;
        } else if (option == "--deleted") {
            out.deleted = true;
        } else if (option == "--deep") {
            out.deep = true;
        } else if (option == "--json") {
            out.json = true;
        } else if (option == "--verbose") {
            out.verbose = true;
        }
    }
    if (out.command == "recover" && out.output_dir.empty()) {
        error = "recover needs -o DIR, the folder to save files in";
        return false;
    }
    return true;
}

}  // namespace ostrel::cli
