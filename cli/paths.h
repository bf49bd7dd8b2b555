// Where a recovered file goes under the output folder. Pure functions, kept
// in a header so that the tests can check them directly.
//
//   DIR/<volume>-<type>/<path>          files of the tree
//   DIR/<volume>-<type>/$Lost/<path>    lost folders and carved files
//
// <path> is the file's chain of names from the volume root; a file from the
// recycle bin goes to its former path instead (the drive dropped: the letter
// of the machine that deleted it means nothing on the disk being read).
//
// Names are written as they are, except what the destination cannot hold
// safely, which becomes %XX (the hexadecimal value of each UTF-8 byte):
//   - "/" and "\" (a name is never split into folders), control characters
//     (U+0001-U+001F, U+007F-U+009F);
//   - on FAT, exFAT and NTFS destinations also : * ? " < > | and a trailing
//     space or dot, which those file systems refuse;
//   - the whole of "." and ".." (%2E, %2E%2E), and the dot of a trailing
//     ".partial", which marks files still being copied;
//   - "%" itself only where two hexadecimal digits follow it, so that every
//     other name containing "%" stays as it is;
//   - an empty name is written "%00".
// The scheme is reversible: decode_name gives the original name back. Only a
// name longer than 255 bytes is shortened (its extension kept); the report
// of the run (--json) gives each file's original path beside its destination.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ostrel::cli {

inline constexpr std::string_view partial_suffix = ".partial";

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

namespace detail {

inline bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

inline void append_escaped(std::string& out, unsigned char byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%%%02X", byte);
    out += text;
}

inline bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = text[text.size() - suffix.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// Cuts an encoded name to `limit` bytes, never inside a %XX or a character.
inline std::string encoded_prefix(std::string_view text, size_t limit) {
    std::string cut = utf8_prefix(text, limit);
    for (size_t back = 1; back <= 2 && back <= cut.size(); ++back) {
        if (cut[cut.size() - back] == '%') {
            cut.resize(cut.size() - back);
            break;
        }
    }
    return cut;
}

}  // namespace detail

// `name` cut to `limit` bytes, its extension (up to 32 bytes) kept.
inline std::string shorten_name(std::string_view name, size_t limit) {
    if (name.size() <= limit) return std::string(name);
    const size_t dot = extension_dot(name);
    const std::string extension = dot != std::string::npos && name.size() - dot <= 32 ? std::string(name.substr(dot)) : "";
    return detail::encoded_prefix(name, limit - extension.size()) + extension;
}

// The name as written under the output folder, at most `limit` bytes;
// `windows_names` for a FAT, exFAT or NTFS destination.
inline std::string encode_name(std::string_view name, bool windows_names = false, size_t limit = 255) {
    if (name.empty()) return "%00";
    if (name == ".") return "%2E";
    if (name == "..") return "%2E%2E";
    const size_t partial_at = detail::ends_with_ignoring_case(name, partial_suffix) ? name.size() - partial_suffix.size()
                                                                                   : std::string_view::npos;
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool last = i + 1 == name.size();
        bool escape = c == '/' || c == '\\' || c < 0x20 || c == 0x7F || i == partial_at;
        if (c == '%') escape = i + 2 < name.size() && detail::is_hex(name[i + 1]) && detail::is_hex(name[i + 2]);
        if (windows_names && (std::string_view(":*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos ||
                              (last && (c == ' ' || c == '.')))) {
            escape = true;
        }
        // U+0080-U+009F are C2 80 - C2 9F in UTF-8.
        if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
            detail::append_escaped(out, c);
            detail::append_escaped(out, static_cast<unsigned char>(name[++i]));
            continue;
        }
        if (escape) {
            detail::append_escaped(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return shorten_name(out, limit);
}

// The original name of an encoded one.
inline std::string decode_name(std::string_view encoded) {
    if (encoded == "%00") return {};
    std::string out;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size() && detail::is_hex(encoded[i + 1]) &&
            detail::is_hex(encoded[i + 2])) {
            out += static_cast<char>(std::stoi(std::string(encoded.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += encoded[i];
        }
    }
    return out;
}

// The folders and name of a former path from the recycle bin
// ("C:\Users\x\a.txt" -> Users, x, a.txt): split at backslashes, the drive
// and empty components dropped.
inline std::vector<std::string> former_path_parts(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('\\', start);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view part = path.substr(start, slash - start);
        if (!part.empty() && !(parts.empty() && start == 0 && is_drive(part))) parts.emplace_back(part);
        start = slash + 1;
    }
    return parts;
}

// "name.ext" -> "name (2).ext", within `limit` bytes.
inline std::string numbered_name(std::string_view name, int number, size_t limit = 255) {
    const std::string suffix = " (" + std::to_string(number) + ")";
    const size_t dot = extension_dot(name);
    std::string stem(name.substr(0, dot));
    const std::string extension(dot == std::string_view::npos ? std::string_view{} : name.substr(dot));
    if (stem.size() + suffix.size() + extension.size() > limit) {
        stem = detail::encoded_prefix(stem, limit > suffix.size() + extension.size() ? limit - suffix.size() - extension.size() : 0);
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
    destination_claims() = default;
    destination_claims(const destination_claims&) = delete;
    destination_claims& operator=(const destination_claims&) = delete;

    // The path to use for `parts` (its last name kept within `limit`
    // bytes); `renamed` tells whether it differs.
    std::vector<std::string> claim(std::vector<std::string> parts, bool& renamed, size_t limit = 255) {
        renamed = false;
        if (parts.empty()) parts.push_back("%00");
        const std::string name = parts.back();
        const uint32_t folder = folder_id(parts);
        for (int number = 2; !take(folder, parts.back()); ++number) {
            parts.back() = numbered_name(name, number, limit);
            renamed = true;
        }
        return parts;
    }

    // The number of the folder of the last claim (equal numbers, equal
    // folders ignoring case).
    uint32_t last_folder() const { return last_id_; }

private:
    static void append_lowered(std::string& out, std::string_view text) {
        const size_t at = out.size();
        out.resize(at + text.size());
        std::transform(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    }
    // A number for the folder part of `parts`. Files mostly come folder by
    // folder, so the last folder is checked first.
    uint32_t folder_id(const std::vector<std::string>& parts) {
        if (has_last_ && std::equal(parts.begin(), parts.end() - 1, last_folder_.begin(), last_folder_.end())) {
            return last_id_;
        }
        last_folder_.assign(parts.begin(), parts.end() - 1);
        std::string joined;
        for (const std::string& part : last_folder_) {
            append_lowered(joined, part);
            joined += '/';
        }
        const auto [at, added] = folders_.try_emplace(std::move(joined), static_cast<uint32_t>(folders_.size()));
        if (added) taken_.emplace_back(&names_);
        last_id_ = at->second;
        has_last_ = true;
        return last_id_;
    }
    // Claims the name in lower case in the folder; false when it was
    // claimed before.
    bool take(uint32_t folder, std::string_view name) {
        key_.clear();
        append_lowered(key_, name);
        // Copied into the pool first, so that one lookup does: a name taken
        // before (rare) leaves its copy unused.
        auto* kept = static_cast<char*>(names_.allocate(key_.size(), 1));
        std::copy(key_.begin(), key_.end(), kept);
        return taken_[folder].insert(std::string_view(kept, key_.size())).second;
    }

    std::unordered_map<std::string, uint32_t> folders_;  // lower-case "a/b/" -> number
    // The claimed names and the sets' nodes live in one pool, let go of at
    // once: a large volume claims hundreds of thousands. One small set per
    // folder: files come folder by folder, so the set in use stays in the
    // cache, where one set for the volume cost three cache misses a claim.
    std::pmr::monotonic_buffer_resource names_;
    std::vector<std::pmr::unordered_set<std::string_view>> taken_;  // by folder number
    std::string key_;  // room reused for each name
    std::vector<std::string> last_folder_;
    uint32_t last_id_ = 0;
    bool has_last_ = false;
};

}  // namespace ostrel::cli
