#include "commands.h"

#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "devices.h"
#include "listing.h"
#include "sniff.h"
#include "system.h"
#include "text.h"

namespace ostrel::cli {

void print_error(const std::string& message) { std::fprintf(stderr, "ostrel: %s\n", message.c_str()); }

std::string no_file_system_message(const std::string& source) {
    const std::string what = describe_container(source);
    return "no file system found on " + terminal_text(source) + (what.empty() ? "" : ": " + terminal_text(what));
}

int for_each_volume(const options& opts, interrupt_token& token, progress& shown,
                    const std::function<void(source::volume&)>& visit, const std::function<int()>& ready) {
    source src;
    std::string error;
    if (!src.open(opts.source, error)) {
        print_error(terminal_text(error));
        return exit_usage;
    }
    if (ready) {
        if (const int status = ready(); status != exit_ok) return status;
    }
    for (const std::string& mount : read_write_mounts(opts.source)) {
        shown.note("ostrel: warning: " + terminal_text(mount) +
                   " is mounted read-write: what is written there meanwhile can change or spoil what is found "
                   "(unmount it, or mount it read-only, first)");
    }
    token.listener = &shown;
    shown.set_search_probe([&src] { return src.read_position(); }, src.size());
    int count = 0;
    bool selected_seen = false;
    src.walk(token, [&](source::volume& v) {
        if (!v.gap) ++count;
        if (opts.volume && *opts.volume != v.index) return true;
        selected_seen = true;
        shown.begin_volume(volume_label(v), fs_type_name(v.fs_type), v.length);
        visit(v);
        // Nothing after the selected volume matters.
        return !opts.volume.has_value();
    }, opts.deep && !opts.volume);
    shown.clear();
    token.listener = nullptr;
    if (opts.volume && !selected_seen && !interrupted()) {
        print_error("no volume " + std::to_string(*opts.volume) + " on " + terminal_text(opts.source) + " (it has " +
                    std::to_string(count) + (count == 1 ? " volume" : " volumes") + ", numbered from 0)");
        return exit_usage;
    }
    return exit_ok;
}

bool volume_tally::scan(const source::volume& volume, interrupt_token& token, progress& shown) {
    ++visited_;
    const std::string label = "ostrel: " + volume_label(volume) + " (" + fs_type_name(volume.fs_type) + "): ";
    const bool raw = volume.fs_type == OSTREL_FS_RAW;
    if (raw && !opts_.deep) {
        // No folders to read, which is not a failure; only --deep finds files there.
        ++raw_;
        if (opts_.volume) shown.note(label + "no file system found here; only --deep finds files on it");
        return false;
    }
    clear_status();
    const bool scanned = engine().scan_session(volume.session, nullptr, opts_.deep ? 1 : 0, &token, &token) != 0;
    const int32_t status = last_status();
    const bool deep_unavailable = opts_.deep && status == OSTREL_STATUS_OBJECT_NOT_CREATED &&
                                  event_seen(OSTREL_EVENT_DEEP_SCAN_FAILED);
    if (scanned) {
        ++scanned_;
        if (deep_unavailable) {
            shown.note(label + "the deep scan is not available in this version; only the folder tree is listed");
        } else if (opts_.deep && status == OSTREL_STATUS_DEVICE_SEEK_FAILED) {
            deep_failed_ = true;
            shown.note(label + "the deep scan could not position the source and stopped early");
        } else if (token.declined) {
            shown.note(label + "the deep scan was declined; only the folder tree is listed");
        }
        return true;
    }
    if (interrupted()) return false;
    // The engine starts every scan it has with a "scan started" event.
    if ((raw && deep_unavailable) || (status == 0 && !event_seen(OSTREL_EVENT_SCAN_STARTED))) {
        ++unsupported_;
        shown.note(label + (raw ? "the deep scan is not available in this version"
                                : "this version cannot read this file system's folders yet") +
                   "; skipped");
        return false;
    }
    ++failed_;
    std::string problem;
    switch (status) {
    case OSTREL_STATUS_OBJECT_NOT_CREATED: problem = "the scan could not be set up (out of memory?)"; break;
    case OSTREL_STATUS_DEVICE_SEEK_FAILED: problem = "the deep scan could not position the source"; break;
    case OSTREL_STATUS_TABLE_UNREADABLE: problem = "the file allocation table is unreadable"; break;
    default: problem = "the scan failed"; break;
    }
    shown.note(label + problem);
    return false;
}

int volume_tally::status(progress& shown) const {
    if (interrupted()) return exit_interrupted;
    if (scanned_ == 0) {
        if (failed_ == 0 && unsupported_ == 0) {
            // A volume asked for by number has been named already. Without a
            // file system only carving can find files: say how to ask for it.
            if (!opts_.volume) {
                const bool container = !describe_container(opts_.source).empty();
                shown.note("ostrel: " + no_file_system_message(opts_.source) +
                           (opts_.deep || container ? "" : "; only --deep (carving files by their signatures) finds files on it"));
            }
            return exit_partial;
        }
        return exit_nothing_scanned;
    }
    return failed_ > 0 || deep_failed_ ? exit_partial : exit_ok;
}

namespace {

// The zone the engine's times are in, said once per volume. FAT keeps the
// wall-clock time of the machine that wrote it; NTFS and exFAT keep UTC,
// which the engine turns into this machine's local time.
std::string zone_text(int32_t fs_type) {
    if (fs_type == OSTREL_FS_FAT16 || fs_type == OSTREL_FS_FAT32) {
        return "times as recorded on the volume (FAT keeps no time zone)";
    }
    std::string name;
    if (const char* tz = std::getenv("TZ"); tz && *tz) {
        name = tz[0] == ':' ? tz + 1 : tz;
    } else {
#ifndef _WIN32  // Windows names its zone through no file
        char target[256] = {};
        const ssize_t length = ::readlink("/etc/localtime", target, sizeof target - 1);
        if (length > 0) name = std::string(target, static_cast<size_t>(length));
#endif
    }
    if (const size_t zoneinfo = name.find("zoneinfo/"); zoneinfo != std::string::npos) name.erase(0, zoneinfo + 9);
    const std::string utc_offset = "UTC" + utc_offset_text(std::time(nullptr));
    if ((name.empty() || name == "UTC" || name == "Etc/UTC" || name == "UTC0") && utc_offset == "UTC+00:00") {
        return "times in UTC";
    }
    return "times in local time" + (name.empty() ? "" : ", " + terminal_text(name)) + " (" + utc_offset + " now)";
}

// The STATE column, and the JSON "state".
const char* state_of(const listed_item& entry) {
    if (entry.holder) return "former path";
    if (entry.copy()) return "copy";
    if (entry.overwritten == overwrite::all) return "overwritten";
    if (entry.overwritten == overwrite::part) return "part overwritten";
    if (entry.deleted()) return "deleted";
    if (entry.recycled()) return "recycled";
    return "";
}

void print_entry(const source::volume& v, const volume_listing& listing, size_t index, bool json) {
    const listed_item& entry = listing[index];
    const mirrored_item& item = *entry.item;
    if (json) {
        std::string extra;
        if (entry.recycled()) extra += ",\"former_path\":" + json_string(listing.former_path(index));
        if (entry.copy()) extra += ",\"copy_of\":" + json_string(listing.display_path(entry.copy_of, true));
        if (entry.holder) extra += ",\"made_for_former_paths\":true";
        if (!item.folder) extra += std::string(",\"overwritten\":\"") + overwrite_name(entry.overwritten) + "\"";
        std::printf("{\"volume\":%d,\"section\":\"%s\",\"path\":%s,\"name\":%s,\"folder\":%s,\"size\":%" PRIu64
                    ",\"deleted\":%s,\"state\":\"%s\",\"recycled\":%s%s,\"created\":%s,\"accessed\":%s,"
                    "\"modified\":%s,\"attributes\":%u,\"full_path\":%s}\n",
                    v.index, section_name(entry.where), json_string(listing.display_path(index, true)).c_str(),
                    json_string(entry.name()).c_str(), item.folder ? "true" : "false", entry.size,
                    entry.deleted() ? "true" : "false", state_of(entry), entry.recycled() ? "true" : "false",
                    extra.c_str(), json_string(iso_time(item.created)).c_str(),
                    json_string(iso_time(item.accessed)).c_str(), json_string(iso_time(item.modified)).c_str(),
                    item.attributes, json_string(node_path(v.session, item.handle)).c_str());
        return;
    }
    std::string note;
    if (entry.copy()) {
        note = "  (copy of " + listing.display_path(entry.copy_of) + ")";
    } else if (entry.holder) {
        note = "  (not on the volume: made to hold copies at former paths)";
    } else if (entry.recycled() && !listing.former_path(index).empty()) {
        note = "  (was " + terminal_text(listing.former_path(index)) + ")";
    }
    // "%-16s %12s  %-19s  %-19s  %s%s\n", put together by hand: a large
    // volume prints hundreds of thousands of these lines.
    thread_local std::string kept;  // its room is kept for the next line
    std::string& line = kept;
    line.clear();
    const auto pad_right = [&line](std::string_view text, size_t width) {
        line += text;
        if (text.size() < width) line.append(width - text.size(), ' ');
    };
    const auto pad_left = [&line](std::string_view text, size_t width) {
        if (text.size() < width) line.append(width - text.size(), ' ');
        line += text;
    };
    pad_right(state_of(entry), 16);
    line += ' ';
    char size_text[24] = "-";
    if (!item.folder) *std::to_chars(size_text, size_text + sizeof size_text - 1, entry.size).ptr = '\0';
    pad_left(size_text, 12);
    line += "  ";
    append_iso_time(line, item.modified, 19);
    line += "  ";
    append_iso_time(line, item.created, 19);
    line += "  ";
    listing.append_display_path(line, index);
    line += note;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
}

}  // namespace

int run_volumes(const options& opts) {
    interrupt_token token;
    progress shown;
    int found = 0, raw = 0;
    bool header = false;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        ++found;
        raw += v.fs_type == OSTREL_FS_RAW ? 1 : 0;
        shown.clear();
        const char* type = fs_type_name(v.fs_type);
        if (opts.json) {
            std::printf("{\"index\":%d,\"type\":\"%s\",\"start_byte\":%" PRIu64 ",\"start_sector\":%" PRIu64
                        ",\"length_bytes\":%" PRIu64 ",\"length_sectors\":%" PRIu64 "}\n",
                        v.index, type, v.start, v.start / 512, v.length, v.length / 512);
        } else {
            if (!header) {
                std::printf("%-6s %-6s %15s %13s %15s\n", "INDEX", "TYPE", "START BYTE", "START SECTOR", "LENGTH BYTES");
                header = true;
            }
            std::printf("%-6d %-6s %15" PRIu64 " %13" PRIu64 " %15" PRIu64 "  (%s)\n", v.index, type, v.start,
                        v.start / 512, v.length, human_bytes(v.length).c_str());
        }
        flush_output();
    });
    if (status != exit_ok) return status;
    if (interrupted()) return exit_interrupted;
    if (found == raw) {
        shown.note("ostrel: " + no_file_system_message(opts.source));
        return exit_partial;
    }
    return exit_ok;
}

int run_ls(const options& opts) {
    interrupt_token token;
    progress shown;
    volume_tally tally(opts);
    int path_found = 0;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        if (!tally.scan(v, token, shown)) return;
        shown.clear();
        volume_listing listing(v.session, mirror(), true);
        std::vector<size_t> shown_entries;
        if (!listing.select(opts.start_path, opts.deleted, shown_entries)) return;
        ++path_found;
        listing.mark_overwritten(shown_entries);
        // Only the JSON lines ask the engine for more (each item's full path).
        if (!opts.json) v.close_session_early();
        const char* type = fs_type_name(v.fs_type);
        if (!opts.json) {
            std::printf("%s: %s at byte %" PRIu64 ", %" PRIu64 " bytes; %s\n", volume_label(v).c_str(), type, v.start,
                        v.length, zone_text(v.fs_type).c_str());
            std::printf("%-16s %12s  %-19s  %-19s  %s\n", "STATE", "SIZE", "MODIFIED", "CREATED", "PATH");
        }
        size_t folders = 0, files = 0, deleted = 0, overwritten = 0, part_overwritten = 0, recycled = 0, copies = 0;
        section current = section::tree;
        for (size_t index : shown_entries) {
            const listed_item& entry = listing[index];
            if (!opts.json && entry.where != current) {
                current = entry.where;
                std::printf("%s\n", current == section::lost ? "lost folders:" : "carved files:");
            }
            print_entry(v, listing, index, opts.json);
            // Copies and the folders made for them are not counted again.
            if (entry.copy() || entry.holder) {
                copies += entry.copy() && !entry.item->folder ? 1 : 0;
                continue;
            }
            (entry.item->folder ? folders : files) += 1;
            deleted += entry.deleted() ? 1 : 0;
            overwritten += entry.overwritten == overwrite::all ? 1 : 0;
            part_overwritten += entry.overwritten == overwrite::part ? 1 : 0;
            recycled += entry.recycled() ? 1 : 0;
        }
        if (!opts.json) {
            std::printf("%zu folders, %zu files, %zu deleted", folders, files, deleted);
            if (overwritten || part_overwritten) {
                std::printf(" (%zu overwritten, %zu part overwritten)", overwritten, part_overwritten);
            }
            if (recycled) std::printf(", %zu recycled", recycled);
            if (copies) std::printf(", %zu copies at former paths not counted", copies);
            std::printf("%s\n\n", token.stopped || interrupted() ? " (scan stopped early)" : "");
        }
        flush_output();
    });
    if (status != exit_ok) return status;
    const int scan_status = tally.status(shown);
    if (scan_status == exit_interrupted || tally.scanned() == 0) return scan_status;
    if (opts.start_path && path_found == 0) {
        print_error("no file or folder " + terminal_text(*opts.start_path) + " on " + terminal_text(opts.source));
        return exit_partial;
    }
    return scan_status;
}

int run_extents(const options& opts) {
    interrupt_token token;
    progress shown;
    volume_tally tally(opts);
    struct match {
        int volume;
        std::string type, path, text;
        bool has_text;
        uint64_t size;
        std::vector<std::pair<uint64_t, uint64_t>> extents;
    };
    std::vector<match> matches;
    bool folder_named = false;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        if (!tally.scan(v, token, shown)) return;
        const volume_listing listing(v.session, mirror());
        for (size_t index : listing.find(opts.file_path)) {
            const listed_item& entry = listing[index];
            if (entry.item->folder) {
                folder_named = true;
                continue;
            }
            match m{v.index, fs_type_name(v.fs_type), listing.display_path(index), {}, false, entry.size, {}};
            m.has_text = file_extents(v.session, entry.item->handle, m.extents, &m.text);
            matches.push_back(std::move(m));
        }
    });
    if (status != exit_ok) return status;
    const int scan_status = tally.status(shown);
    if (scan_status == exit_interrupted || tally.scanned() == 0) return scan_status;
    if (matches.empty()) {
        print_error(folder_named ? terminal_text(opts.file_path) + " is a folder; extents describe files"
                                 : "no file " + terminal_text(opts.file_path) + " on " + terminal_text(opts.source));
        return exit_partial;
    }
    bool missing = false;
    for (const match& m : matches) {
        // A file without data has no extents: an empty list says so.
        const std::string text = m.has_text ? m.text : m.size == 0 ? "[]" : "";
        if (text.empty()) {
            shown.note("ostrel: the engine has no extent list for " + m.path + " on volume " + std::to_string(m.volume));
            missing = true;
            continue;
        }
        if (opts.json) {
            std::printf("{\"volume\":%d,\"path\":%s,\"size\":%" PRIu64 ",\"extents\":%s}\n", m.volume,
                        json_string(m.path).c_str(), m.size, text.c_str());
            continue;
        }
        std::printf("%s on volume %d (%s): %" PRIu64 " bytes in %zu %s; offsets are bytes from the start of %s\n",
                    m.path.c_str(), m.volume, m.type.c_str(), m.size, m.extents.size(),
                    m.extents.size() == 1 ? "extent" : "extents", terminal_text(opts.source).c_str());
        std::printf("%15s %15s %13s\n", "OFFSET", "LENGTH", "SECTOR");
        for (const auto& [offset, length] : m.extents) {
            std::printf("%15" PRIu64 " %15" PRIu64 " %13" PRIu64 "\n", offset, length, offset / 512);
        }
        // A value kept inside its MFT record: where that record lies.
        if (const size_t at = text.find("\"s\":"); at != std::string::npos) {
            std::printf("the data lies inside the file's MFT record, at byte %s of the source\n",
                        std::to_string(std::strtoull(text.c_str() + at + 4, nullptr, 10)).c_str());
        }
    }
    return missing ? exit_partial : scan_status;
}

}  // namespace ostrel::cli
