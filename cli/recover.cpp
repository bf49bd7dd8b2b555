// `ostrel recover`: saves the selected files of each volume under
// DIR/<volume>-<type>/ (see paths.h for the layout). The engine creates every
// destination exclusively, so nothing that exists is ever overwritten: such a
// file is reported as skipped, and a run can be repeated into the same folder
// to pick up what it missed.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <tuple>

#include "commands.h"
#include "listing.h"
#include "paths.h"
#include "text.h"

namespace ostrel::cli {

namespace {

namespace fs = std::filesystem;

struct totals {
    size_t found = 0, saved = 0, failed = 0, skipped = 0, duplicates = 0;
    uint64_t bytes = 0;
};

// The outcome of one save, reported through events and statuses.
class save_watch final : public host_listener {
public:
    void on_event(int32_t code, float value) override {
        if (code == OSTREL_EVENT_SAVE_DONE) error = static_cast<int>(value);
    }
    int error = 0;
};

std::string extension_of(const std::string& name) {
    const size_t dot = extension_dot(name);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

bool exists_no_follow(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

class recovery {
public:
    recovery(const options& opts, progress& shown) : opts_(opts), shown_(shown) {}

    void volume(const source::volume& v) {
        const std::vector<listed_item> entries = list_tree(mirror(), opts_.deleted);
        std::vector<const listed_item*> selected;
        for (const listed_item& entry : entries) {
            if (entry.item->folder) continue;
            if (!opts_.types.empty() &&
                std::find(opts_.types.begin(), opts_.types.end(), extension_of(entry.item->name)) == opts_.types.end()) {
                continue;
            }
            selected.push_back(&entry);
        }
        totals_.found += selected.size();
        const fs::path volume_dir = fs::path(opts_.output_dir) / (std::to_string(v.index) + "-" + fs_type_name(v.fs_type));
        const std::string root = root_name(mirror());
        destination_claims claims;  // one set per volume folder
        std::set<std::tuple<std::string, uint64_t, std::string>> copies;
        size_t done = 0;
        for (const listed_item* entry : selected) {
            if (interrupted()) break;
            shown_.saving(done, selected.size(), totals_.bytes, entry->item->name, engine().node_size(entry->item->handle));
            save_one(v, *entry, volume_dir, root, claims, copies);
            ++done;
        }
        if (!selected.empty()) shown_.saving(done, selected.size(), totals_.bytes);
    }

    int summary(double seconds, bool stopped, int volumes, int unscanned) {
        shown_.clear();
        if (opts_.json) {
            std::printf("{\"summary\":true,\"found\":%zu,\"saved\":%zu,\"failed\":%zu,\"skipped\":%zu,"
                        "\"duplicates\":%zu,\"bytes\":%" PRIu64 ",\"seconds\":%.2f,\"stopped\":%s}\n",
                        totals_.found, totals_.saved, totals_.failed, totals_.skipped, totals_.duplicates,
                        totals_.bytes, seconds, stopped ? "true" : "false");
        } else {
            std::printf("found %zu, saved %zu, failed %zu, skipped %zu (already there), %" PRIu64 " bytes, %.1f s",
                        totals_.found, totals_.saved, totals_.failed, totals_.skipped, totals_.bytes, seconds);
            if (totals_.duplicates) std::printf(", %zu duplicates saved once", totals_.duplicates);
            std::printf("%s\n", stopped ? " (stopped)" : "");
            if (totals_.skipped && !opts_.verbose) {
                shown_.note("note: " + std::to_string(totals_.skipped) + " files were already in " + opts_.output_dir +
                            " and were left as they were (--verbose lists them)");
            }
        }
        std::fflush(stdout);
        if (stopped) return exit_interrupted;
        if (volumes > 0 && unscanned == volumes) return exit_nothing_scanned;
        return unscanned || totals_.failed || totals_.skipped ? exit_partial : exit_ok;
    }

private:
    // Lost and carved items keep the names the listing gives them; files of
    // the tree take the engine's full path, which for an item from the recycle
    // bin is the path it had before it was deleted.
    std::vector<std::string> relative_path(const source::volume& v, const listed_item& entry, const std::string& root) {
        if (entry.where == section::tree) {
            const std::string engine_path = node_path(v.session, entry.item->handle);
            if (!engine_path.empty()) return tree_destination(engine_path, root);
        }
        std::vector<std::string> parts;
        for (const auto& part : entry.parts) parts.push_back(safe_component(part));
        return parts;
    }

    void save_one(const source::volume& v, const listed_item& entry, const fs::path& volume_dir,
                  const std::string& root, destination_claims& claims,
                  std::set<std::tuple<std::string, uint64_t, std::string>>& copies) {
        const ostrel_handle node = entry.item->handle;
        const uint64_t size = engine().node_size(node);
        const std::string shown_path = display_path(entry);
        renamed_ = false;
        std::vector<std::string> parts = relative_path(v, entry, root);

        // A file the recycle bin restored appears twice: in the bin under its
        // former name and as a copy at its former place, both with the same
        // path and the same bytes on disk. One file is enough.
        std::vector<char> extents(4096);
        if (engine().extent_text(v.session, node, extents.data(), static_cast<uint32_t>(extents.size())) == 0) {
            if (!copies.emplace(join_path(parts), size, extents.data()).second) {
                ++totals_.duplicates;
                report(v, shown_path, "", size, "duplicate", "same path and same data as a file already saved");
                return;
            }
        }

        bool renamed = false;
        parts = claims.claim(parts, renamed);
        fs::path destination = volume_dir;
        for (const auto& part : parts) destination /= part;
        renamed_ = renamed;
        if (renamed && !opts_.json) {
            shown_.note("note: " + shown_path + " goes to " + destination.string() + " (the name was already used)");
        }

        std::error_code ec;
        fs::create_directories(destination.parent_path(), ec);
        if (ec) {
            ++totals_.failed;
            report(v, shown_path, destination.string(), size, "failed",
                   "cannot create " + destination.parent_path().string() + ": " + ec.message());
            return;
        }
        const bool existed = exists_no_follow(destination);
        save_watch watch;
        set_listener(&watch);
        clear_status();
        const bool saved = engine().save_file(v.session, node, to_wide(destination.string()).c_str()) != 0;
        set_listener(&shown_);
        if (saved) {
            ++totals_.saved;
            totals_.bytes += size;
            report(v, shown_path, destination.string(), size, "saved", "");
        } else if (existed || last_status() == OSTREL_STATUS_DESTINATION_EXISTS) {
            ++totals_.skipped;
            report(v, shown_path, destination.string(), size, "skipped", "already exists; left as it was");
        } else if (interrupted()) {
            // Cut off by Ctrl-C: the part written is incomplete and ours (it
            // did not exist before this call), so it goes.
            fs::remove(destination, ec);
            report(v, shown_path, destination.string(), size, "stopped", "stopped by Ctrl-C; nothing kept");
        } else {
            ++totals_.failed;
            std::string reason = watch.error ? std::strerror(watch.error) : "the engine could not copy the data";
            if (exists_no_follow(destination)) reason += " (what was copied is kept)";
            report(v, shown_path, destination.string(), size, "failed", reason);
        }
    }

    void report(const source::volume& v, const std::string& path, const std::string& destination, uint64_t size,
                const char* result, const std::string& reason) {
        if (opts_.json) {
            shown_.clear();
            std::printf("{\"volume\":%d,\"path\":%s,\"destination\":%s,\"size\":%" PRIu64 ",\"result\":\"%s\"",
                        v.index, json_string(path).c_str(), json_string(destination).c_str(), size, result);
            if (renamed_) std::printf(",\"renamed\":true");
            if (!reason.empty()) std::printf(",\"reason\":%s", json_string(reason).c_str());
            std::printf("}\n");
            std::fflush(stdout);
        } else if (std::strcmp(result, "failed") == 0 || std::strcmp(result, "stopped") == 0 ||
                   (opts_.verbose && std::strcmp(result, "skipped") == 0)) {
            shown_.note(std::string(result) + ": volume " + std::to_string(v.index) + " " + path +
                        (destination.empty() ? "" : " -> " + destination) + ": " + reason);
        }
    }

    const options& opts_;
    progress& shown_;
    totals totals_;
    bool renamed_ = false;  // the current file got a numbered name
};

}  // namespace

int run_recover(const options& opts) {
    const auto started = std::chrono::steady_clock::now();
    std::error_code ec;
    fs::create_directories(opts.output_dir, ec);
    if (ec || !fs::is_directory(opts.output_dir, ec)) {
        print_error("cannot use " + opts.output_dir + " as the output folder: " +
                    (ec ? ec.message() : std::string("not a folder")));
        return exit_usage;
    }
    interrupt_token token;
    progress shown;
    recovery work(opts, shown);
    int volumes = 0, unscanned = 0, unscanned_deep = 0;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        if (nothing_to_scan(v, opts, shown)) return;
        ++volumes;
        std::string problem;
        const bool scanned = scan_volume(v, opts, token, problem);
        if (!problem.empty()) {
            shown.note("ostrel: volume " + std::to_string(v.index) + " (" + fs_type_name(v.fs_type) + "): " + problem);
        }
        if (!scanned) {
            ++unscanned;
            return;
        }
        if (!problem.empty()) ++unscanned_deep;
        work.volume(v);
    });
    if (status != exit_ok) return status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int result = work.summary(seconds, interrupted(), volumes, unscanned);
    // A deep scan that could not run leaves the result incomplete.
    return result == exit_ok && unscanned_deep ? exit_partial : result;
}

}  // namespace ostrel::cli
