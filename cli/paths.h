// Where a recovered file goes under the output folder. Pure functions, kept
// in a header so that the tests can check them directly.
//
//   DIR/<volume>-<type>/<path>          files of the tree
//   DIR/<volume>-<type>/$Lost/<path>    lost folders and carved files
//
// <path> comes from the engine's full path of the file, split at
// backslashes. Its first component is dropped when it is
//   - empty (the path began with a backslash),
//   - a drive such as "C:" (a former path from the recycle bin: the engine
//     itself puts the restored copy at that path below the volume root with
//     the drive dropped, and the drive letter of the machine that deleted the
//     file means nothing on the disk being read), or
//   - the name of the volume's root folder.
// Each component is made safe for a POSIX file system: "/" becomes "_", an
// empty name becomes "_", "." and ".." get a "_" in front (a name on a
// damaged disk must never lead outside DIR), and a name longer than 255 bytes
// is shortened, keeping its extension.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace ostrel::cli {

inline std::vector<std::string> split_engine_path(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('\\', start);
        parts.emplace_back(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return parts;
}

inline bool is_drive(std::string_view part) {
    return part.size() == 2 && part[1] == ':' &&
           ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z'));
}

// Keeps at most `limit` bytes of UTF-8 without splitting a character.
inline std::string utf8_prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

// The position of the extension's dot, or npos ("archive.tar.gz" -> ".gz";
// ".profile" has none).
inline size_t extension_dot(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? std::string_view::npos : dot;
}

inline std::string safe_component(std::string_view name) {
    std::string safe(name);
    for (char& c : safe) {
        if (c == '/') c = '_';
    }
    if (safe.empty()) return "_";
    if (safe == "." || safe == "..") return "_" + safe;
    constexpr size_t max_name = 255;
    if (safe.size() > max_name) {
        const size_t dot = extension_dot(safe);
        const std::string extension = dot != std::string::npos && safe.size() - dot <= 32 ? safe.substr(dot) : "";
        safe = utf8_prefix(safe, max_name - extension.size()) + extension;
    }
    return safe;
}

// The path below the volume folder for a file of the tree; `root_name` is
// the name of the volume's root folder as the engine reported it.
inline std::vector<std::string> tree_destination(std::string_view engine_path, std::string_view root_name) {
    std::vector<std::string> parts = split_engine_path(engine_path);
    if (parts.size() > 1 && (parts.front().empty() || is_drive(parts.front()) || parts.front() == root_name)) {
        parts.erase(parts.begin());
    }
    for (auto& part : parts) part = safe_component(part);
    return parts;
}

// "name.ext" -> "name (2).ext"; the suffix stays within 255 bytes.
inline std::string numbered_name(std::string_view name, int number) {
    const std::string suffix = " (" + std::to_string(number) + ")";
    const size_t dot = extension_dot(name);
    std::string stem(name.substr(0, dot));
    const std::string extension(dot == std::string_view::npos ? std::string_view{} : name.substr(dot));
    if (stem.size() + suffix.size() + extension.size() > 255) {
        stem = utf8_prefix(stem, 255 > suffix.size() + extension.size() ? 255 - suffix.size() - extension.size() : 0);
    }
    return stem + suffix + extension;
}

inline std::string join_path(const std::vector<std::string>& parts) {
    std::string joined;
    for (const auto& part : parts) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
}

// Hands out destination paths so that two files of one run never get the
// same one: the later file gets "name (2).ext", "name (3).ext" and so on.
// Paths are compared ignoring ASCII case, so that recovering onto a
// case-insensitive file system (a FAT stick, say) cannot collide either.
class destination_claims {
public:
    // The path to use for `parts`; `renamed` tells whether it differs.
    std::vector<std::string> claim(std::vector<std::string> parts, bool& renamed) {
        renamed = false;
        if (parts.empty()) parts.push_back("_");
        const std::string name = parts.back();
        for (int number = 2; !taken_.insert(key(parts)).second; ++number) {
            parts.back() = numbered_name(name, number);
            renamed = true;
        }
        return parts;
    }

private:
    static std::string key(const std::vector<std::string>& parts) {
        std::string k = join_path(parts);
        for (char& c : k) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return k;
    }
    std::unordered_set<std::string> taken_;
};

}  // namespace ostrel::cli
