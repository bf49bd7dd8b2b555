// Saving one file into the output folder, the part of `recover` that runs on
// worker threads: each thread has a saver of its own, with its own open
// folders (and, where the system allows, its own working folder).
//
// A file never passes for a whole one before it is, whatever cuts it short
// (Ctrl-C, a killed process, a full disk, a read error). In a volume folder
// that already existed, a file is copied to NAME.partial and takes its own
// name only once the engine reports it complete. A volume folder this run
// makes is filled as VOLUME.partial instead (`staged` jobs), where files are
// copied under their own names, and takes its name when the volume is done
// (recover.cpp): one rename for the volume instead of one a file, which was a
// fifth of the work of saving many small files. A file cut short there is
// renamed NAME.partial at once. The engine creates every destination
// exclusively and no rename replaces a file: whatever exists is left as it
// was and reported as skipped. A NAME.partial left by an earlier run takes its
// name when it has the file's full size, and is copied again otherwise; a
// VOLUME.partial left by a killed run has all its files marked so first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel/ostrel.h"
#include "output_tree.h"

namespace ostrel::cli {

// One file to save, worked out in listing order before a saver takes it.
struct save_job {
    recover_session* session = nullptr;
    ostrel_handle node = 0;
    std::vector<std::string> folder;  // below the output folder, the volume's folder first
    std::string name;                 // the file's name there
    std::optional<int64_t> accessed, modified;  // seconds since 1970, kept on the copy
    uint64_t size = 0;    // what the engine reports: a complete copy has this size
    bool staged = false;  // `folder` starts with a VOLUME.partial folder

    // What came of it: "saved", "skipped", "incomplete", "failed", or
    // "not tried" (stopped, or the output disk full, before its turn).
    const char* result = "not tried";
    std::string reason;      // for the user, when not saved
    bool disk_full = false;  // the output disk is full: later files need not be tried
};

class file_saver {
public:
    file_saver(const std::string& output_dir, std::shared_ptr<output_tree::made_folders> made)
        : tree_(output_dir, std::move(made)) {}

    // Gives this thread a working folder of its own, so that the engine can
    // be handed plain names in it; false where the system cannot.
    bool own_working_folder();

    // Saves `job` and sets what came of it.
    void save(save_job& job);

    static bool is_disk_full(int error);

private:
    void finish(save_job& job, const char* result, std::string reason = {});
    // Before a save in a folder this run did not create: false (with the
    // job's result set) when the file is not to be copied.
    bool clear_the_way(int fd, save_job& job, const std::string& partial);

    output_tree tree_;
};

}  // namespace ostrel::cli
