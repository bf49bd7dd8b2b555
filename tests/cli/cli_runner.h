// Runs the built `ostrel` command as a subprocess and reads its output, and
// parses the JSON lines it prints (strictly, so that an escaping fault shows).
// Header-only: the test build compiles only *_test.cpp files from here.
#pragma once

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <map>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace ostrel::test {


struct cli_result {
    int status = -1;  // exit status, or -1 when the command did not exit normally
    std::string out;
    std::string err;
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
};



namespace detail {

inline std::string shell_quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

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
                if (value >= 0x80) return false;  // the command escapes only control characters
                out += static_cast<char>(value);
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

inline std::vector<std::string> cli_result::out_lines() const { return detail::split_lines(out); }
inline std::vector<std::string> cli_result::err_lines() const { return detail::split_lines(err); }

// `args` are passed as separate words (quoted for the shell); standard
// error is collected separately.
inline cli_result run_cli(const std::vector<std::string>& args) {
    scratch_dir dir;
    const std::filesystem::path err_file = dir / "stderr";
    std::string command = detail::shell_quote(OSTREL_CLI);
    for (const auto& arg : args) command += " " + detail::shell_quote(arg);
    command += " 2>" + detail::shell_quote(err_file.string()) + " </dev/null";
    cli_result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.out.append(buffer.data(), got);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(err_file, std::ios::binary);
    result.err.assign(std::istreambuf_iterator<char>(err), {});
    return result;
}

// One flat JSON object: key -> value text (strings unescaped, everything else
// as written). False when `line` is not exactly one valid JSON object.
inline bool parse_json_object(const std::string& line, std::map<std::string, std::string>& fields) {
    detail::json_reader reader(line);
    return reader.object(&fields) && reader.at_end();
}

// Rows of a tab-separated file with a header line, as column -> text.
inline std::vector<std::map<std::string, std::string>> read_tsv(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::map<std::string, std::string>> rows;
    std::string line;
    if (!std::getline(in, line)) return rows;
    auto split = [](const std::string& text) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream cells_in(text);
        while (std::getline(cells_in, cell, '\t')) cells.push_back(cell);
        if (!text.empty() && text.back() == '\t') cells.emplace_back();
        return cells;
    };
    const std::vector<std::string> header = split(line);
    while (std::getline(in, line)) {
        const std::vector<std::string> cells = split(line);
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < header.size(); ++i) row[header[i]] = i < cells.size() ? cells[i] : "";
        rows.push_back(row);
    }
    return rows;
}

}  // namespace ostrel::test
