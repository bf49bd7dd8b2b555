// Runs the built `ostrel` command as a subprocess and reads its output, and
// parses the JSON lines it prints (strictly, so that an escaping fault shows).
// Header-only: the test build compiles only *_test.cpp files from here.
#pragma once

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace ostrel::test {


struct cli_result {
    int status = -1;  // exit status, or -1 when the command did not exit normally
    int signal = 0;   // the signal that ended it
    std::string out;
    std::string err;  // with `terminal_columns`: what the terminal received
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
};



namespace detail {

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

inline std::vector<std::string> cli_result::out_lines() const { return detail::split_lines(out); }
inline std::vector<std::string> cli_result::err_lines() const { return detail::split_lines(err); }

struct cli_options {
    std::vector<std::pair<std::string, std::string>> env = {};  // set for the command
    rlim_t file_size_limit = RLIM_INFINITY;                 // RLIMIT_FSIZE
    std::string stdout_path = {};                           // instead of a pipe
    unsigned short terminal_columns = 0;  // standard error on a terminal this wide
};

// Runs the command with `args`, standard input from /dev/null.
inline cli_result run_cli(const std::vector<std::string>& args, const cli_options& options = {}) {
    cli_result result;
    int out[2];
    if (::pipe(out) != 0) return result;
    int err = -1, terminal = -1;
    std::string terminal_name;
    scratch_dir dir;
    const std::filesystem::path err_file = dir / "stderr";
    if (options.terminal_columns) {
        terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return result;
        terminal_name = ::ptsname(terminal);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = options.terminal_columns;
        ::ioctl(terminal, TIOCSWINSZ, &size);
    } else {
        err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        if (!options.stdout_path.empty()) {
            ::dup2(::open(options.stdout_path.c_str(), O_WRONLY), 1);
        } else {
            ::dup2(out[1], 1);
        }
        ::dup2(terminal < 0 ? err : ::open(terminal_name.c_str(), O_RDWR), 2);
        rlimit limit{options.file_size_limit, options.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_DFL);
        for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(OSTREL_CLI)};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(OSTREL_CLI, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (err >= 0) ::close(err);
    // Both streams are read as they come, so neither can fill up and stall.
    std::array<char, 4096> buffer{};
    pollfd streams[2] = {{out[0], POLLIN, 0}, {terminal, POLLIN, 0}};
    for (int open = terminal < 0 ? 1 : 2; open > 0 && ::poll(streams, terminal < 0 ? 1 : 2, 10000) > 0;) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || !streams[i].revents) continue;
            const ssize_t got = ::read(streams[i].fd, buffer.data(), buffer.size());
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(buffer.data(), static_cast<size_t>(got));
            } else {
                streams[i].fd = -1;  // the end (a terminal says EIO once its last user is gone)
                --open;
            }
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (terminal >= 0) ::close(terminal);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (terminal < 0) {
        std::ifstream err_in(err_file, std::ios::binary);
        result.err.assign(std::istreambuf_iterator<char>(err_in), {});
    }
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

using fields = std::map<std::string, std::string>;

inline std::filesystem::path data_file(const std::string& name) {
    return std::filesystem::path(OSTREL_TEST_DATA_DIR) / name;
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
