// ostrel: finds the volumes on a disk or disk image, lists what can be
// recovered from them, and saves it. The source is only ever read.
#include <cstdio>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>

#include "commands.h"
#include "host.h"
#include "options.h"
#include "output.h"
#include "system.h"

int main(int argc, char** argv) {
    using namespace ostrel::cli;
#if defined(__GLIBC__)
    // A scan builds hundreds of thousands of small nodes and frees them per
    // volume. glibc's fast bins hold freed small blocks apart and sweep them
    // all at the next large free, which cost a tenth of listing a 100,000-file
    // volume; without them blocks are merged as they are freed.
    mallopt(M_MXFAST, 0);
#endif
    std::vector<std::string> arguments = start_process(argc, argv);
    // A listing of a large volume is megabytes: written to a file or a pipe,
    // it goes out in large pieces (a terminal still gets it line by line).
    if (!stdout_is_terminal()) {
        static char output_buffer[1 << 20];
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    options opts;
    std::string error;
    if (!parse_options(static_cast<int>(pointers.size()), pointers.data(), opts, error)) {
        print_error(error + " (ostrel --help shows the usage)");
        return exit_usage;
    }
    if (opts.command == "help" || opts.command == "usage") {
        std::fputs(usage_text, stdout);
        return opts.command == "help" ? exit_ok : exit_usage;
    }
    if (opts.command == "version") {
        std::fputs(version_text, stdout);
        return exit_ok;
    }
    if (!bind_engine(error)) {
        print_error(error);
        return exit_usage;
    }
    set_verbose(opts.verbose);
    install_interrupt_handler();
    int status = exit_ok;
    try {
        if (opts.command == "volumes") {
            status = run_volumes(opts);
        } else if (opts.command == "ls") {
            status = run_ls(opts);
        } else if (opts.command == "recover") {
            status = run_recover(opts);
        } else {
            status = run_extents(opts);
        }
    } catch (const std::exception& e) {
        print_error(std::string("unexpected failure: ") + e.what());
        status = exit_usage;
    }
    unbind_engine();
    // Results that did not reach standard output (a full disk, a closed
    // pipe) are not a success.
    if (std::string reason; !output_written(reason)) {
        print_error("cannot write the output" + (reason.empty() ? "" : ": " + reason));
        if (status == exit_ok) status = exit_partial;
    }
    return status;
}
