#include "file_saver.h"

#include <cerrno>
#include <cstring>

#if defined(__linux__)
#include <sched.h>
#endif

#include "host.h"
#include "paths.h"
#include "text.h"

namespace ostrel::cli {

namespace {

// The outcome of one save, reported through events on this thread.
class save_watch final : public host_listener {
public:
    void on_event(int32_t code, float value) override {
        if (code == OSTREL_EVENT_SAVE_DONE) error = static_cast<int>(value);
    }
    int error = 0;
};

}  // namespace

#ifndef EDQUOT
#define EDQUOT ENOSPC  // Windows reports a full quota as a full disk
#endif
bool file_saver::is_disk_full(int error) { return error == ENOSPC || error == EDQUOT; }

bool file_saver::own_working_folder() {
#if defined(__linux__)
    // The working folder is shared by the threads of a process unless a
    // thread asks for its own.
    if (::unshare(CLONE_FS) == 0) {
        tree_.allow_working_folder();
        return true;
    }
#endif
    return false;
}

void file_saver::finish(save_job& job, const char* result, std::string reason) {
    job.result = result;
    job.reason = std::move(reason);
}

void file_saver::save(save_job& job) {
    const std::string partial = job.name + std::string(partial_suffix);
    std::string error;
    int error_number = 0;
    bool fresh = false;
    const int fd = tree_.open_folder(job.folder, error, error_number, &fresh);
    if (fd < 0) {
        job.disk_full = is_disk_full(error_number);
        return finish(job, "failed", terminal_text(error));
    }
    // A folder this run created holds only names this run claimed, so
    // neither name can be there; elsewhere, look first. (Were one to appear
    // meanwhile, the exclusive creation and the no-replace rename still leave
    // it as it is.)
    if (!fresh && !clear_the_way(fd, job, partial)) return;

    // In a staged folder the copy takes its own name from the start.
    const std::string& copy = job.staged ? job.name : partial;
    save_watch watch;
    set_listener(&watch);
    clear_status();
    const bool saved =
        engine().save_file(job.session, job.node, to_wide(tree_.engine_path(fd, job.folder, copy)).c_str()) != 0;
    set_listener(nullptr);
    if (saved && watch.error == 0) {
        output_tree::set_times(fd, copy, job.accessed, job.modified);
        if (!job.staged && !output_tree::publish(fd, partial, job.name)) {
            return finish(job, "incomplete",
                          "copied, but it could not take its name (" + std::string(std::strerror(errno)) +
                              "); kept as " + terminal_text(partial));
        }
        return finish(job, "saved");
    }
    if (last_status() == OSTREL_STATUS_DESTINATION_EXISTS) {
        return finish(job, "failed", terminal_text(copy) + " appeared while saving; left as it was");
    }
    bool kept = output_tree::exists(fd, copy);
    if (kept && job.staged && !output_tree::publish(fd, job.name, partial)) {
        // What cannot be marked partial must not stay under the file's name.
        output_tree::remove_file(fd, job.name);
        kept = false;
    }
    const std::string kept_text = kept ? "; what was copied is kept as " + terminal_text(partial) : "";
    const char* result = kept ? "incomplete" : "failed";
    if (interrupted()) return finish(job, result, "stopped by Ctrl-C" + kept_text);
    job.disk_full = is_disk_full(watch.error);
    const std::string reason = watch.error ? std::strerror(watch.error) : "the engine could not copy all of the data";
    finish(job, result, reason + kept_text);
}

bool file_saver::clear_the_way(int fd, save_job& job, const std::string& partial) {
    const auto stop = [&](const char* result, std::string reason) {
        finish(job, result, std::move(reason));
        return false;
    };
    if (output_tree::exists(fd, job.name)) return stop("skipped", "already exists; left as it was");
    bool regular = false;
    if (output_tree::exists(fd, partial, &regular)) {
        // Left by a run that was cut off. Of its full size it is whole (the
        // engine writes a file in order, and a copy that failed is short)
        // and takes its name; otherwise it is copied again.
        if (regular && output_tree::file_size(fd, partial) == job.size &&
            output_tree::publish(fd, partial, job.name)) {
            output_tree::set_times(fd, job.name, job.accessed, job.modified);
            return stop("skipped", "already exists; left as it was");
        }
        if (!regular || !output_tree::remove_file(fd, partial)) {
            return stop("failed", terminal_text(partial) + " is in the way and cannot be removed");
        }
    }
    return true;
}

}  // namespace ostrel::cli
