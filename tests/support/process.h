// Runs a program as a child process with standard input from the null
// device and collects what it prints and how it ended: fork and exec on
// POSIX systems, CreateProcessW with a pipe on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ostrel::test {

struct process_result {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    int signal = 0;   // the signal that ended it (POSIX)
    std::string out;
    std::string err;  // with `terminal_columns`: what the terminal received
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
};

struct process_options {
    std::vector<std::pair<std::string, std::string>> env = {};  // set for the program
    uint64_t file_size_limit = 0;         // RLIMIT_FSIZE, POSIX only; 0: none
    std::string stdout_path = {};         // instead of a pipe
    unsigned short terminal_columns = 0;  // standard error on a terminal this wide, POSIX only
};

// `program` is a path; arguments and paths are UTF-8.
process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const process_options& options = {});

}  // namespace ostrel::test
