#include "tests/support/process.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace ostrel::test {

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

std::vector<std::string> process_result::out_lines() const { return split_lines(out); }
std::vector<std::string> process_result::err_lines() const { return split_lines(err); }

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                           static_cast<int>(out.size()));
    out.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return out;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except before a quote.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// This process's environment with `changes` applied, as a block.
std::wstring environment_with(const std::vector<std::pair<std::string, std::string>>& changes) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* at = block; *at; at += wcslen(at) + 1) entries.emplace_back(at);
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) {
        const std::wstring key = wide(name) + L"=";
        std::erase_if(entries, [&](const std::wstring& e) { return _wcsnicmp(e.c_str(), key.c_str(), key.size()) == 0; });
        entries.push_back(key + wide(value));
    }
    std::wstring block;
    for (const std::wstring& e : entries) block += e + L'\0';
    return block + L'\0';
}

HANDLE inheritable_file(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const process_options& options) {
    process_result result;
    scratch_dir dir;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return result;
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    if (!options.stdout_path.empty()) {
        CloseHandle(out_write);
        out_write = inheritable_file(wide(options.stdout_path), GENERIC_WRITE, OPEN_EXISTING);
    }
    const std::filesystem::path err_file = dir / "stderr";
    const HANDLE in = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE err = inheritable_file(err_file.wstring(), GENERIC_WRITE, CREATE_ALWAYS);

    std::wstring command = quoted(wide(program));
    for (const std::string& arg : args) command += L" " + quoted(wide(arg));
    std::wstring environment = environment_with(options.env);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out_write;
    startup.hStdError = err;
    PROCESS_INFORMATION child{};
    const bool started = CreateProcessW(wide(program).c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &child);
    // Only the child holds the write end now: reading ends when it exits.
    for (HANDLE handle : {out_write, in, err}) CloseHandle(handle);
    if (started) {
        std::array<char, 4096> buffer{};
        DWORD got = 0;
        while (ReadFile(out_read, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
            result.out.append(buffer.data(), got);
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(child.hProcess, &code)) result.status = static_cast<int>(code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(out_read);
    result.err = read_whole(err_file);
    return result;
}

#else

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           const process_options& options) {
    process_result result;
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
        if (options.file_size_limit) {
            rlimit limit{options.file_size_limit, options.file_size_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::signal(SIGXFSZ, SIG_DFL);
        for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
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
    if (terminal < 0) result.err = read_whole(err_file);
    return result;
}

#endif

}  // namespace ostrel::test
