// Runs the built `ostrel` command as a subprocess and reads its output, and
// parses the JSON lines it prints (strictly, so that an escaping fault shows).
// Header-only: the test build compiles only *_test.cpp files from here; the
// process itself is started by tests/support/process.h.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/process.h"

namespace ostrel::test {

using cli_result = process_result;
using cli_options = process_options;

namespace detail {

// A strict reader for the JSON the command prints.
class json_reader {
public:
    explicit json_reader(const std::string& text) : text_(text) {}

    bool object(std::map<std::string, std::string>* fields) {
        space();
        if (!eat('{')) return false;
        space();
        if (eat('}')) return true;
        while (true) {
            space();
            std::string key, value;
            if (!string(key)) return false;
            space();
            if (!eat(':')) return false;
            space();
            const size_t start = pos_;
            if (peek() == '"') {
                if (!string(value)) return false;
            } else if (!any()) {
                return false;
            } else {
                value = text_.substr(start, pos_ - start);
            }
            if (fields) (*fields)[key] = value;
            space();
            if (eat('}')) return true;
            if (!eat(',')) return false;
        }
    }

    bool at_end() {
        space();
        return pos_ == text_.size();
    }

private:
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool eat(char c) {
        if (peek() != c) return false;
        ++pos_;
        return true;
    }
    void space() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++pos_;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (text_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }
    bool number() {
        const size_t start = pos_;
        eat('-');
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        if (eat('.')) {
            while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        }
        return pos_ > start && std::isdigit(static_cast<unsigned char>(text_[pos_ - 1]));
    }
    bool string(std::string& out) {
        if (!eat('"')) return false;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // control characters must be escaped
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const char e = text_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (pos_ + 4 > text_.size()) return false;
                const unsigned value = std::stoul(text_.substr(pos_, 4), nullptr, 16);
                pos_ += 4;
                if (value >= 0xD800 && value <= 0xDFFF) return false;  // the command escapes no surrogates
                if (value < 0x80) {
                    out += static_cast<char>(value);
                } else if (value < 0x800) {
                    out += static_cast<char>(0xC0 | (value >> 6));
                    out += static_cast<char>(0x80 | (value & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (value >> 12));
                    out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (value & 0x3F));
                }
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool array() {
        if (!eat('[')) return false;
        space();
        if (eat(']')) return true;
        while (true) {
            space();
            if (!any()) return false;
            space();
            if (eat(']')) return true;
            if (!eat(',')) return false;
        }
    }
    bool any() {
        std::string ignored;
        switch (peek()) {
        case '{': return object(nullptr);
        case '[': return array();
        case '"': return string(ignored);
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    const std::string& text_;
    size_t pos_ = 0;
};

}  // namespace detail

// Runs the command with `args`, standard input from the null device.
inline cli_result run_cli(const std::vector<std::string>& args, const cli_options& options = {}) {
    return run_process(OSTREL_CLI, args, options);
}

// One flat JSON object: key -> value text (strings unescaped, everything else
// as written). False when `line` is not exactly one valid JSON object.
inline bool parse_json_object(const std::string& line, std::map<std::string, std::string>& fields) {
    detail::json_reader reader(line);
    return reader.object(&fields) && reader.at_end();
}

using fields = std::map<std::string, std::string>;

// UTF-8 text as a path and back: the standard library reads plain strings
// in the ANSI code page on Windows, which cannot hold every name.
inline std::filesystem::path utf8_path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string utf8_text(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

inline std::filesystem::path data_file(const std::string& name) {
    return std::filesystem::path(OSTREL_TEST_DATA_DIR) / name;
}

// A manifest path ("\docs\a.txt") as the command shows it ("/docs/a.txt").
inline std::string slashed(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Where recover saves a manifest row below the volume folder: at its former
// path (drive dropped) for a recycled item, else at its path.
inline std::string saved_at(const fields& row) {
    return slashed(row.at("former_path").empty() ? row.at("path").substr(1) : row.at("former_path").substr(3));
}

// The SHA-256 the manifest `name` gives for `path` ("" when it lists none).
inline std::string manifest_sha(const std::string& name, const std::string& path) {
    for (const fields& row : read_tsv(name)) {
        if (row.at("path") == path) return row.at("sha256");
    }
    return {};
}

// Every line of `out` as a JSON object; a line that is not one fails the test.
inline std::vector<fields> json_lines(const std::string& out) {
    std::vector<fields> objects;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        fields f;
        EXPECT_TRUE(parse_json_object(line, f)) << "not one JSON object: " << line;
        objects.push_back(f);
    }
    return objects;
}

// The JSON item of `path` among `objects` (an empty one when missing).
inline fields item_at(const std::vector<fields>& objects, const std::string& path) {
    for (const fields& f : objects) {
        if (f.count("path") && f.at("path") == path) return f;
    }
    return {};
}

#define REQUIRE_FIXTURE(var, name)            \
    const std::filesystem::path var = fixture_image(name); \
    if (var.empty()) GTEST_SKIP() << name << " is not available"

}  // namespace ostrel::test
