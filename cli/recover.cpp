// `ostrel recover`: saves the selected files of each volume under
// DIR/<volume>-<type>/ (see paths.h for the layout, file_saver.h for how one
// file is saved). A run can be repeated into the same folder to pick up what
// it missed.
//
// Saving a small file is mostly the output file system's work (create,
// write, rename), so files are saved on several threads: this thread works
// out each file's destination in listing order (names must be claimed in a
// fixed order), savers on worker threads save them, and this thread reports
// the results in the same order.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>

#include "commands.h"
#include "devices.h"
#include "file_saver.h"
#include "listing.h"
#include "ordered_pool.h"
#include "output_tree.h"
#include "paths.h"
#include "text.h"

namespace ostrel::cli {

namespace {

struct totals {
    size_t found = 0, saved = 0, incomplete = 0, failed = 0, skipped = 0, not_tried = 0, overwritten = 0;
    uint64_t bytes = 0;
};

std::string extension_of(const std::string& name) {
    const size_t dot = extension_dot(name);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// The engine's local time text ("2023/05/04 09:10:00", or a date alone) as
// seconds since 1970. mktime looks at the zone files on every call, so the
// start of each hour is converted once and remembered: zones change their
// offset on the hour.
class local_time_cache {
public:
    std::optional<int64_t> seconds(const time_stamp& text) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        if (!parse(text, year, month, day, hour, minute, second)) return std::nullopt;
        if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
            second < 0 || second > 60) {
            return std::nullopt;
        }
        const int64_t key = ((static_cast<int64_t>(year) * 16 + month) * 32 + day) * 32 + hour;
        auto [at, inserted] = hours_.try_emplace(key, 0);
        if (inserted) {
            std::tm parts{};
            parts.tm_year = year - 1900;
            parts.tm_mon = month - 1;
            parts.tm_mday = day;
            parts.tm_hour = hour;
            parts.tm_isdst = -1;
            const std::time_t when = std::mktime(&parts);
            at->second = when == static_cast<std::time_t>(-1) ? invalid : static_cast<int64_t>(when);
        }
        if (at->second == invalid) return std::nullopt;
        return at->second + minute * 60 + second;
    }

private:
    static constexpr int64_t invalid = INT64_MIN;

    // "YYYY/MM/DD hh:mm:ss" or "YYYY/MM/DD": the fields' digits as they stand.
    static bool parse(const time_stamp& stamp, int& year, int& month, int& day, int& hour, int& minute, int& second) {
        const std::string_view text = stamp;
        const auto field = [&text](size_t at, size_t digits, char after, int& value) {
            if (at + digits > text.size()) return false;
            const char* end = text.data() + at + digits;
            if (std::from_chars(text.data() + at, end, value).ptr != end) return false;
            return after == '\0' ? at + digits == text.size() : at + digits < text.size() && text[at + digits] == after;
        };
        if (!field(0, 4, '/', year) || !field(5, 2, '/', month)) return false;
        if (field(8, 2, '\0', day)) return true;  // a date alone
        return field(8, 2, ' ', day) && field(11, 2, ':', hour) && field(14, 2, ':', minute) && field(17, 2, '\0', second);
    }

    std::unordered_map<int64_t, int64_t> hours_;
};

class recovery {
public:
    recovery(const options& opts, progress& shown, interrupt_token& token)
        : opts_(opts), shown_(shown), token_(token), tree_(opts.output_dir) {}

    // Saves what the options select from one scanned volume; false when
    // --path names nothing on it.
    bool volume(const source::volume& v, volume_listing& listing) {
        std::vector<size_t> shown_entries;
        if (!listing.select(opts_.start_path, opts_.deleted, shown_entries)) return false;
        std::vector<size_t> files;
        std::vector<bool> taken(listing.entries().size());
        for (size_t index : shown_entries) {
            if (listing[index].item->folder) continue;
            // A copy at a former path stands for the recycled item: that is
            // saved, once, at the same place.
            const size_t original = listing[index].copy() ? static_cast<size_t>(listing[index].copy_of) : index;
            if (!opts_.types.empty() &&
                std::find(opts_.types.begin(), opts_.types.end(), extension_of(listing[original].item->name)) ==
                    opts_.types.end()) {
                continue;
            }
            if (!taken[original]) {
                taken[original] = true;
                files.push_back(original);
            }
        }
        listing.mark_overwritten(files);
        totals_.found += files.size();
        uint64_t bytes = 0;
        for (size_t index : files) bytes += listing[index].size;
        shown_.begin_saving(files.size(), bytes);
        volume_ = v.index;
        save_all(v, listing, files);
        return true;
    }

    int summary(double seconds, bool stopped) {
        shown_.clear();
        if (opts_.json) {
            std::printf("{\"summary\":true,\"found\":%zu,\"saved\":%zu,\"incomplete\":%zu,\"failed\":%zu,"
                        "\"skipped\":%zu,\"not_tried\":%zu,\"overwritten\":%zu,\"bytes\":%" PRIu64
                        ",\"seconds\":%.2f,\"stopped\":%s,\"disk_full\":%s}\n",
                        totals_.found, totals_.saved, totals_.incomplete, totals_.failed, totals_.skipped,
                        totals_.not_tried, totals_.overwritten, totals_.bytes, seconds, stopped ? "true" : "false",
                        disk_full_ ? "true" : "false");
        } else {
            std::printf("found %zu, saved %zu, incomplete %zu, failed %zu, skipped %zu (already there)", totals_.found,
                        totals_.saved, totals_.incomplete, totals_.failed, totals_.skipped);
            if (totals_.not_tried) std::printf(", not tried %zu", totals_.not_tried);
            std::printf(", %" PRIu64 " bytes, %.1f s%s\n", totals_.bytes, seconds, stopped ? " (stopped)" : "");
            if (totals_.incomplete) {
                shown_.note("note: " + std::to_string(totals_.incomplete) +
                            " files are incomplete and kept as NAME.partial; running the command again retries them");
            }
            if (totals_.overwritten) {
                shown_.note("note: " + std::to_string(totals_.overwritten) +
                            " saved files are deleted files whose data now belongs, all or in part, to other files; "
                            "their contents are likely wrong (ostrel ls marks them overwritten)");
            }
            if (totals_.skipped && !opts_.verbose) {
                shown_.note("note: " + std::to_string(totals_.skipped) + " files were already in " +
                            terminal_text(opts_.output_dir) + " and were left as they were (--verbose lists them)");
            }
        }
        flush_output();
        if (stopped) return exit_interrupted;
        return totals_.failed || totals_.incomplete || totals_.skipped || totals_.not_tried ? exit_partial : exit_ok;
    }

private:
    // What this thread keeps of a file handed to the savers.
    struct planned {
        size_t entry = 0;  // in the listing
        uint64_t size = 0;
        overwrite overwritten = overwrite::none;
        bool renamed = false;
        uint32_t folder = 0;  // the destination folder's number among the claims
    };
    // What is said about it; worked out only when something is.
    struct outcome {
        std::string path, destination;
        uint64_t size = 0;
        overwrite overwritten = overwrite::none;
        bool renamed = false;
    };

    // Files come folder by folder: the encoded names of the last file's
    // folder are kept for the next file.
    struct folder_names {
        size_t entry = no_entry;
        std::vector<std::string> names;
    };
    folder_names folder_above_;

    // Files planned ahead of the reports, at most: bounds the memory held
    // for a volume of any size.
    static constexpr size_t planned_ahead = 4096;

    void save_all(const source::volume& v, const volume_listing& listing, const std::vector<size_t>& files) {
        volume_dir_ = volume_folder(v);
        // A volume folder that is not there yet is filled under a name that
        // says it is partial, and takes its name once the volume is done
        // (file_saver.h). One a killed run left is taken up again.
        const std::string staging = volume_dir_ + std::string(partial_suffix);
        staged_ = !tree_.holds(volume_dir_);
        // Any file in a staged folder that a killed run left may be the one
        // it was copying: all are marked partial, and each one this run finds
        // whole takes its name back (file_saver). The others stay partial,
        // whatever this run selects. A folder that cannot be gone through
        // whole is never given its name: it is left as it is, and this run
        // saves file by file into the volume folder.
        if (staged_ && tree_.holds(staging) && !tree_.mark_partial_below(staging)) {
            staged_ = false;
            shown_.note("ostrel: " + terminal_text(tree_.shown_path({}, staging)) +
                        ", left by an interrupted run, could not be gone through; it is left as it is");
        }
        const std::string folder_on_disk = staged_ ? staging : volume_dir_;
        destination_claims claims;  // one set per volume folder
        folder_above_ = {};
        std::vector<save_job> jobs(std::min(files.size(), planned_ahead));
        std::vector<planned> plans(jobs.size());
        const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
        std::vector<std::unique_ptr<file_saver>> savers;
        for (size_t t = 0; t < threads; ++t) savers.push_back(std::make_unique<file_saver>(opts_.output_dir, made_));
        std::atomic<bool> give_up = false;  // the output disk is full
        size_t done = 0;
        uint64_t done_bytes = 0;
        const auto show_progress = [&] {
            const size_t next = pool_next_;
            if (next >= files.size()) return shown_.saving(done, done_bytes, "");
            shown_.saving(done, done_bytes, listing.display_path(plans[next % jobs.size()].entry));
        };
        const auto collect = [&](size_t job) {
            save_job& j = jobs[job % jobs.size()];
            const planned& p = plans[job % jobs.size()];
            pool_next_ = job + 1;
            report_job(listing, j, p);
            ++done;
            done_bytes += p.size;
            j = save_job{};
        };
        // Saves poll the stop token on the worker threads: the progress line
        // is drawn from here meanwhile.
        poll_listener* const polled = token_.listener;
        token_.listener = nullptr;
        {
            ordered_pool pool(
                threads, [&](size_t t) { savers[t]->own_working_folder(); },
                [&](size_t t, size_t job) {
                    save_job& j = jobs[job % jobs.size()];
                    if (interrupted() || give_up) return;
                    savers[t]->save(j);
                    if (j.disk_full) give_up = true;
                },
                [&](size_t first, size_t available) { return batch_size(plans, first, available); });
            pool_next_ = 0;
            for (size_t job = 0; job < files.size(); ++job) {
                // The oldest planned file must be reported before its place is reused.
                while (job - pool.collected() >= jobs.size()) pool.collect(collect, true, show_progress);
                plan(v, listing, files[job], folder_on_disk, claims, jobs[job % jobs.size()], plans[job % jobs.size()]);
                pool.publish(job + 1);
                pool.collect(collect, false, nullptr);
                if (job % 256 == 0) show_progress();
            }
            while (pool.collect(collect, true, show_progress)) {
            }
        }
        token_.listener = polled;
        shown_.saving(done, done_bytes, "");
        // The savers' folders are closed first: on Windows a folder that is
        // held open cannot be renamed.
        savers.clear();
        if (staged_) publish_volume_folder(folder_on_disk);
    }

    // Gives the staged volume folder its name: what is in it is whole, or
    // carries a .partial name of its own.
    void publish_volume_folder(const std::string& staged) {
        if (!tree_.holds(staged) || tree_.rename_in_root(staged, volume_dir_)) return;
        const std::string reason = std::strerror(errno);
        shown_.note("ostrel: the files saved in " + terminal_text(tree_.shown_path({}, staged)) +
                    " could not be moved to " + terminal_text(tree_.shown_path({}, volume_dir_)) + " (" + reason +
                    "); they are whole, except those named .partial");
    }

    // How many files from `first` on one saver takes at once. Large
    // batches: each one costs the savers and this thread a hand-over, and
    // ending them where a folder ends keeps two savers out of one folder
    // (creating and renaming files takes the folder's lock). Together 6% of
    // the recovery of 100,000 small files against batches of 64. At most
    // 1,024 files or 64 MiB, so that large files are still shared out.
    static size_t batch_size(const std::vector<planned>& plans, size_t first, size_t available) {
        constexpr size_t min_files = 256, max_files = 1024;
        constexpr uint64_t max_bytes = 64ull << 20;
        uint64_t bytes = 0;
        size_t count = 0;
        while (count < available && count < max_files && bytes < max_bytes) {
            const planned& file = plans[(first + count) % plans.size()];
            if (count >= min_files && file.folder != plans[(first + count - 1) % plans.size()].folder) break;
            bytes += file.size;
            ++count;
        }
        return count;
    }

    // Works out where file `index` goes.
    void plan(const source::volume& v, const volume_listing& listing, size_t index, const std::string& volume_dir,
              destination_claims& claims, save_job& job, planned& about) {
        const listed_item& entry = listing[index];
        bool renamed = false;
        std::vector<std::string> folder = claims.claim(destination(listing, index), renamed, 255 - partial_suffix.size());
        job = save_job{};
        job.session = v.session;
        job.node = entry.item->handle;
        job.name = std::move(folder.back());
        folder.pop_back();
        folder.insert(folder.begin(), volume_dir);
        job.folder = std::move(folder);
        job.accessed = times_.seconds(entry.item->accessed);
        job.modified = times_.seconds(entry.item->modified);
        job.size = entry.size;
        job.staged = staged_;
        about = planned{index, entry.size, entry.overwritten, renamed, claims.last_folder()};
    }

    void report_job(const volume_listing& listing, const save_job& job, const planned& plan) {
        const std::string result = job.result;
        if (result == "not tried") {
            ++totals_.not_tried;
            return;
        }
        if (result == "saved") {
            ++totals_.saved;
            totals_.bytes += plan.size;
            totals_.overwritten += plan.overwritten != overwrite::none ? 1 : 0;
        }
        if (result == "failed") ++totals_.failed;
        if (result == "incomplete") ++totals_.incomplete;
        if (result == "skipped") ++totals_.skipped;
        const bool noted = result == "failed" || result == "incomplete" || (opts_.verbose && result == "skipped");
        if (!opts_.json && !plan.renamed && !noted && !job.disk_full) return;  // a saved file goes without saying
        // Where the file is once the volume is done.
        std::vector<std::string> folder = job.folder;
        if (!folder.empty()) folder.front() = volume_dir_;
        const outcome about{listing.display_path(plan.entry), terminal_text(tree_.shown_path(folder, job.name)),
                            plan.size, plan.overwritten, plan.renamed};
        if (about.renamed && !opts_.json) {
            shown_.note("note: " + about.path + " goes to " + about.destination + " (the name was already used)");
        }
        if (job.disk_full) {
            // One line for a full disk, however many saves found it full.
            if (!disk_full_) return output_full(about, job.reason, result == "incomplete");
            return report(about, job.result, job.reason, true);
        }
        report(about, job.result, job.reason);
    }

    // Below the volume folder: the chain of names on the volume, or for a
    // recycled item the path it had before it was deleted.
    std::vector<std::string> destination(const volume_listing& listing, size_t index) {
        const listed_item& entry = listing[index];
        const size_t file_limit = 255 - partial_suffix.size();  // room for the ".partial" it is copied as
        const bool same_folder = !entry.recycled() && entry.path_parent != no_entry;
        if (same_folder && folder_above_.entry == entry.path_parent) {
            std::vector<std::string> encoded = folder_above_.names;
            encoded.push_back(encode_name(entry.name(), tree_.windows_names(), file_limit));
            return encoded;
        }
        std::vector<std::string> names;
        if (entry.recycled()) {
            std::vector<std::string> below;
            for (size_t at = index; at != entry.recycled_by && at != no_entry; at = listing[at].parent) {
                below.insert(below.begin(), listing[at].item->name);
            }
            names = former_path_parts(listing.former_path(entry.recycled_by));
            if (!names.empty()) {
                names.insert(names.end(), below.begin(), below.end());
            } else {
                names = listing.path_parts(index);
            }
        } else {
            names = listing.path_parts(index);
        }
        std::vector<std::string> encoded;
        for (size_t i = 0; i < names.size(); ++i) {
            encoded.push_back(encode_name(names[i], tree_.windows_names(), i + 1 == names.size() ? file_limit : 255));
        }
        if (same_folder) folder_above_ = {entry.path_parent, {encoded.begin(), encoded.end() - 1}};
        return encoded;
    }

    // The output disk is full: every further file would fail the same way.
    void output_full(const outcome& result, const std::string& reason, bool kept) {
        disk_full_ = true;
        report(result, kept ? "incomplete" : "failed", reason, true);
        shown_.note("ostrel: the output disk is full (" + result.destination + "): stopped; free some space and run "
                    "the same command again, it saves only what is missing");
    }

    // Prints one file's result (counted already).
    void report(const outcome& result, const char* what, const std::string& reason, bool quiet = false) {
        const std::string kind = what;
        if (opts_.json) {
            shown_.clear();
            std::printf("{\"volume\":%d,\"path\":%s,\"destination\":%s,\"size\":%" PRIu64 ",\"result\":\"%s\"",
                        volume_, json_string(result.path).c_str(), json_string(result.destination).c_str(),
                        result.size, what);
            if (result.overwritten != overwrite::none) {
                std::printf(",\"overwritten\":\"%s\"", overwrite_name(result.overwritten));
            }
            if (result.renamed) std::printf(",\"renamed\":true");
            if (!reason.empty()) std::printf(",\"reason\":%s", json_string(reason).c_str());
            std::printf("}\n");
            flush_output();
        } else if (!quiet && (kind == "failed" || kind == "incomplete" || (opts_.verbose && kind == "skipped"))) {
            shown_.note(kind + ": volume " + std::to_string(volume_) + " " + result.path + " -> " + result.destination +
                        ": " + reason);
        }
    }

    const options& opts_;
    progress& shown_;
    interrupt_token& token_;
    output_tree tree_;  // for names and paths shown; the savers have their own
    int volume_ = 0;
    std::string volume_dir_;  // the volume's folder in the output folder
    bool staged_ = false;     // filled as volume_dir_.partial first
    size_t pool_next_ = 0;  // the first file not yet reported
    const std::shared_ptr<output_tree::made_folders> made_ = std::make_shared<output_tree::made_folders>();
    local_time_cache times_;
    totals totals_;
    bool disk_full_ = false;
};

}  // namespace

int run_recover(const options& opts) {
    const auto started = std::chrono::steady_clock::now();
    interrupt_token token;
    progress shown;
    recovery work(opts, shown, token);
    volume_tally tally(opts);
    int path_found = 0;
    // The output folder is checked once the source opened, and created only
    // when the first file is saved.
    const auto check_output = [&] {
        std::string error;
        if (check_output_location(opts.source, opts.output_dir, error)) return int{exit_ok};
        print_error(terminal_text(error));
        return int{exit_usage};
    };
    const int status = for_each_volume(
        opts, token, shown,
        [&](source::volume& v) {
            if (!tally.scan(v, token, shown)) return;
            volume_listing listing(v.session, mirror(), true);
            path_found += work.volume(v, listing) ? 1 : 0;
        },
        check_output);
    if (status != exit_ok) return status;
    const int scan_status = tally.status(shown);
    if (tally.scanned() == 0) return scan_status;
    if (opts.start_path && path_found == 0 && !interrupted()) {
        print_error("no file or folder " + terminal_text(*opts.start_path) + " on " + terminal_text(opts.source));
        return exit_partial;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int result = work.summary(seconds, interrupted());
    return result == exit_ok ? scan_status : result;
}

}  // namespace ostrel::cli
