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
    exit_partial = 1,  // files not saved, a volume not read, no such file, no file system, output not written
    exit_usage = 2,    // bad usage, unreadable source, unknown volume, unusable output folder
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

// Opens the source, calls `ready` (when given; a non-zero answer ends the
// command with that status), warns when the source is mounted read-write,
// and calls `visit` for each volume the options select. Returns exit_usage (after
// printing the error) when the source cannot be opened or --volume names a
// volume the source does not have, else exit_ok.
int for_each_volume(const options& opts, interrupt_token& token, progress& shown,
                    const std::function<void(source::volume&)>& visit, const std::function<int()>& ready = {});

// What came of the volumes a command visited, and the status that follows.
class volume_tally {
public:
    explicit volume_tally(const options& opts) : opts_(opts) {}

    // Scans one volume (always whole: --path is applied to the listing).
    // True when there is a tree to use; everything worth saying about the
    // volume has been said through `shown`.
    bool scan(const source::volume& volume, interrupt_token& token, progress& shown);
    int scanned() const { return scanned_; }
    // exit_ok, or the status for what went wrong; prints "no file system
    // found" when that is why nothing was scanned.
    int status(progress& shown) const;

private:
    const options& opts_;
    int visited_ = 0, raw_ = 0, scanned_ = 0, failed_ = 0, unsupported_ = 0;
    bool deep_failed_ = false;
};

// "no file system found on SOURCE", with what the file is when its first
// bytes say so.
std::string no_file_system_message(const std::string& source);

}  // namespace ostrel::cli
