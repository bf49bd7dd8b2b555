#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <string_view>

namespace ostrel::cli {

const char* const version_text = "ostrel 0.1.0\n";

const char* const usage_text =
    "usage: ostrel COMMAND SOURCE [OPTIONS]\n"
    "\n"
    "SOURCE is a disk image file or a block device; it is only ever read.\n"
    "\n"
    "commands:\n"
    "  volumes SOURCE                 list the volumes found on SOURCE\n"
    "  ls SOURCE                      list the recovered tree of each volume\n"
    "  recover SOURCE -o DIR          save found files under DIR/<volume>-<type>/\n"
    "  extents SOURCE PATH            show where the bytes of the file PATH lie\n"
    "\n"
    "options:\n"
    "  --volume N        only volume N (as numbered by `ostrel volumes`)\n"
    "  --path P          only the file or folder P, as ls shows it (ls, recover)\n"
    "  --deleted         only deleted, recycled, lost and carved items (ls, recover)\n"
    "  --deep            also sweep free space for lost folders and carved files\n"
    "  --types jpg,pdf   only files with these extensions (recover)\n"
    "  -o, --output DIR  where recover saves files (required for recover)\n"
    "  --json            one JSON object per line\n"
    "  --verbose         copy the engine's log lines to standard error\n"
    "  -h, --help        show this text\n"
    "  --version         show the version\n"
    "\n"
    "ls marks items in its STATE column: deleted; overwritten or part overwritten\n"
    "(a deleted file whose data, all or in part, now belongs to live files: what\n"
    "is saved for it is likely another file's bytes); recycled (in the recycle\n"
    "bin, shown under its name there with the path it had before); copy (the\n"
    "copy of a recycled item at its former path); former path (a folder that is\n"
    "not on the volume, made to hold such copies). Times are ISO 8601; the\n"
    "heading of each volume says in which zone. Names are shown with control\n"
    "characters escaped (\\x1b), \"\\\" as \\\\ and \"/\" as \\x2f; --path accepts them so.\n"
    "\n"
    "recover saves into DIR/<volume>-<type>/ (for example 0-fat32), each file at\n"
    "its path on the volume; a recycled item goes, once, to the path it had\n"
    "before it was deleted, without the drive letter (C:\\Users\\x\\a.txt becomes\n"
    "Users/x/a.txt); lost folders and carved files go under $Lost/. No file\n"
    "has its final path before it is complete: a new volume folder is filled\n"
    "as <volume>-<type>.partial and renamed when the volume is done; in an\n"
    "existing one a file is written as NAME.partial and renamed once whole. A\n"
    "file cut short stays NAME.partial. Saved files keep their modification and\n"
    "access times. Existing files are never overwritten: they are skipped, and\n"
    "what an interrupted run left partial is tried again. When two found files\n"
    "have the same path, the later one is saved as \"name (2).ext\". Characters\n"
    "that a name cannot safely have on the output disk are written as %XX.\n"
    "recover refuses an output folder on the disk being recovered, and stops\n"
    "when the output disk is full.\n"
    "\n"
    "exit status: 0 success; 1 some files were not saved or are incomplete, a\n"
    "volume could not be read, no such file or folder, no file system found, or\n"
    "the output could not be written; 2 bad usage, unreadable source, unknown\n"
    "volume, or an output folder that cannot be used; 3 no selected volume could\n"
    "be scanned; 130 stopped by Ctrl-C. A file system, or a deep scan, that this\n"
    "version cannot read yet is named on standard error and is not a failure.\n";

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
        if (arg == "--version") {
            out.command = "version";
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
        if (!given.empty()) {
            error = "no command given";
            return false;
        }
        out.command = "usage";  // `ostrel` alone
        return true;
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
