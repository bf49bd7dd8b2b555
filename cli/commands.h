// The four commands. Each returns the process exit status.
#pragma once

#include <functional>
#include <string>

#include "options.h"
#include "output.h"
#include "source.h"

namespace ostrel::cli {

enum exit_status {
    exit_ok = 0,
    exit_partial = 1,      // some files not saved, some volumes not scanned, or no such file
    exit_usage = 2,        // bad usage, unreadable source, unknown volume
    exit_nothing_scanned = 3,
    exit_interrupted = 130,  // 128 + SIGINT, as shells report it
};

int run_volumes(const options& opts);
int run_ls(const options& opts);
int run_recover(const options& opts);
int run_extents(const options& opts);

// Shared by the commands -------------------------------------------------

// Prints "ostrel: <message>" as one line on standard error.
void print_error(const std::string& message);

// Opens the source and calls `visit` for each volume the options select.
// Returns exit_usage (after printing the error) when the source cannot be
// opened or --volume names a volume the source does not have, else exit_ok.
int for_each_volume(const options& opts, interrupt_token& token, progress& shown,
                    const std::function<void(source::volume&)>& visit);

// The engine's form of a --path folder: "docs/a" becomes "C:\\docs\\a"
// ("" for the whole volume).
std::string engine_start_path(const std::string& typed);

// Runs the scan of one volume. False with a one-line `problem` when no tree
// came out of it; true with a `problem` when the tree is there but the
// requested deep scan could not run.
bool scan_volume(const source::volume& volume, const options& opts, interrupt_token& token, std::string& problem);

// True (after a note when the volume was asked for by number) for a raw
// volume when no deep scan was requested: it has no folders to read, which
// is not a failure.
bool nothing_to_scan(const source::volume& volume, const options& opts, progress& shown);

// The engine's full path of a node (UTF-8), "" when it has none.
std::string node_path(recover_session* session, ostrel_handle node);

}  // namespace ostrel::cli
