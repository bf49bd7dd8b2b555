#include "commands.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "listing.h"
#include "text.h"

namespace ostrel::cli {

void print_error(const std::string& message) { std::fprintf(stderr, "ostrel: %s\n", message.c_str()); }

int for_each_volume(const options& opts, interrupt_token& token, progress& shown,
                    const std::function<void(source::volume&)>& visit) {
    source src;
    std::string error;
    if (!src.open(opts.source, error)) {
        print_error(error);
        return exit_usage;
    }
    int count = 0;
    bool selected_seen = false;
    src.walk(token, [&](source::volume& v) {
        ++count;
        if (opts.volume && *opts.volume != v.index) return true;
        selected_seen = true;
        shown.begin_volume(v.index, fs_type_name(v.fs_type));
        visit(v);
        // Nothing after the selected volume matters.
        return !opts.volume.has_value();
    });
    shown.clear();
    if (opts.volume && !selected_seen && !interrupted()) {
        print_error("no volume " + std::to_string(*opts.volume) + " on " + opts.source + " (it has " +
                    std::to_string(count) + (count == 1 ? " volume" : " volumes") + ", numbered from 0)");
        return exit_usage;
    }
    return exit_ok;
}

std::string engine_start_path(const std::string& typed) {
    std::string path;
    for (char c : typed) path += c == '/' ? '\\' : c;
    while (!path.empty() && path.front() == '\\') path.erase(path.begin());
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (path.empty()) return {};  // "/" is the whole volume
    // The engine takes the first component of a start path as the name of
    // the volume itself, in the drive form of its own paths ("C:\docs").
    // Users name folders from the volume root, so the command supplies that
    // component; the letter is arbitrary (every engine drops it, and the
    // destination mapping drops drive letters), and a path typed with one
    // already is passed on as it is.
    const size_t first_end = path.find('\\');
    const std::string first = path.substr(0, first_end);
    const bool has_drive = first.size() == 2 && first[1] == ':' && std::isalpha(static_cast<unsigned char>(first[0]));
    return has_drive ? path : "C:\\" + path;
}

bool scan_volume(const source::volume& volume, const options& opts, interrupt_token& token, std::string& problem) {
    const std::string start = opts.start_path ? engine_start_path(*opts.start_path) : "";
    const wide_string start_path = to_wide(start);
    clear_status();
    const bool scanned = engine().scan_session(volume.session, start.empty() ? nullptr : start_path.c_str(),
                                               opts.deep ? 1 : 0, &token, &token) != 0;
    if (scanned) {
        // The tree is there; a deep scan that could not run is worth saying.
        if (opts.deep && (last_status() == OSTREL_STATUS_OBJECT_NOT_CREATED ||
                          last_status() == OSTREL_STATUS_DEVICE_SEEK_FAILED)) {
            problem = last_status() == OSTREL_STATUS_OBJECT_NOT_CREATED
                          ? "the deep scan could not be set up; only the folder tree is listed"
                          : "the deep scan could not position the source and stopped early";
        }
        return true;
    }
    switch (last_status()) {
    case OSTREL_STATUS_EMPTY_START_PATH: problem = "the start path names no folder"; break;
    case OSTREL_STATUS_START_PATH_NOT_FOUND: problem = "folder '" + opts.start_path.value_or("") + "' not found"; break;
    case OSTREL_STATUS_OBJECT_NOT_CREATED: problem = "the engine could not set up the scan"; break;
    case OSTREL_STATUS_DEVICE_SEEK_FAILED: problem = "the deep scan could not position the source"; break;
    case OSTREL_STATUS_TABLE_UNREADABLE: problem = "the file allocation table is unreadable"; break;
    default:
        if (interrupted()) {
            problem = "stopped";
        } else {
            problem = "the scan is not supported for this volume";
        }
    }
    return false;
}

bool nothing_to_scan(const source::volume& volume, const options& opts, progress& shown) {
    if (volume.fs_type != OSTREL_FS_RAW || opts.deep) return false;
    if (opts.volume) {
        shown.note("ostrel: volume " + std::to_string(volume.index) +
                   " (raw) holds no folders; only --deep finds files on it");
    }
    return true;
}

std::string node_path(recover_session* session, ostrel_handle node) {
    std::vector<ostrel_char> buffer(512);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int32_t needed = engine().node_path(session, node, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (needed <= 0) return {};
        if (static_cast<size_t>(needed) <= buffer.size()) return to_utf8(buffer.data());
        buffer.assign(static_cast<size_t>(needed), 0);
    }
    return {};
}

namespace {

// The extent text of a file; false when the engine has none.
bool extent_text(recover_session* session, ostrel_handle node, std::string& text) {
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int32_t result = engine().extent_text(session, node, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (result < 0) return false;
        if (result == 0) {
            text = buffer.data();
            return true;
        }
        buffer.assign(buffer.size() + static_cast<size_t>(result), 0);
    }
    return false;
}

int finish(bool stopped, int volumes, int unscanned, bool partial) {
    if (stopped) return exit_interrupted;
    if (volumes > 0 && unscanned == volumes) return exit_nothing_scanned;
    return unscanned > 0 || partial ? exit_partial : exit_ok;
}

void print_item(const source::volume& v, const listed_item& entry, bool json) {
    const mirrored_item& item = *entry.item;
    const uint64_t size = item.folder ? 0 : engine().node_size(item.handle);
    if (json) {
        std::printf("{\"volume\":%d,\"section\":\"%s\",\"path\":%s,\"name\":%s,\"folder\":%s,\"size\":%" PRIu64
                    ",\"deleted\":%s,\"created\":%s,\"accessed\":%s,\"modified\":%s,\"attributes\":%u,"
                    "\"full_path\":%s}\n",
                    v.index, section_name(entry.where), json_string(display_path(entry)).c_str(),
                    json_string(item.name).c_str(), item.folder ? "true" : "false", size,
                    item.deleted ? "true" : "false", json_string(item.created).c_str(),
                    json_string(item.accessed).c_str(), json_string(item.modified).c_str(), item.attributes,
                    json_string(node_path(v.session, item.handle)).c_str());
        return;
    }
    const std::string size_text = item.folder ? "-" : std::to_string(size);
    std::printf("%c %12s  %-19s  %-19s  %s\n", item.deleted ? 'D' : ' ', size_text.c_str(), item.modified.c_str(),
                item.created.c_str(), display_path(entry).c_str());
}

}  // namespace

int run_volumes(const options& opts) {
    interrupt_token token;
    progress shown;
    int found = 0;
    bool header = false;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        ++found;
        shown.clear();
        const char* type = fs_type_name(v.fs_type);
        if (opts.json) {
            std::printf("{\"index\":%d,\"type\":\"%s\",\"start_byte\":%" PRIu64 ",\"start_sector\":%" PRIu64
                        ",\"length_bytes\":%" PRIu64 ",\"length_sectors\":%" PRIu64 "}\n",
                        v.index, type, v.start, v.start / 512, v.length, v.length / 512);
        } else {
            if (!header) {
                std::printf("%-6s %-6s %15s %13s %15s\n", "index", "type", "start byte", "start sector", "length bytes");
                header = true;
            }
            std::printf("%-6d %-6s %15" PRIu64 " %13" PRIu64 " %15" PRIu64 "  (%s)\n", v.index, type, v.start,
                        v.start / 512, v.length, human_bytes(v.length).c_str());
        }
        std::fflush(stdout);
    });
    if (status != exit_ok) return status;
    if (interrupted()) return exit_interrupted;
    if (found == 0) shown.note("no volumes found on " + opts.source);
    return exit_ok;
}

int run_ls(const options& opts) {
    interrupt_token token;
    progress shown;
    int volumes = 0, unscanned = 0;
    bool partial = false;  // a deep scan that could not run
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        if (nothing_to_scan(v, opts, shown)) return;
        ++volumes;
        const char* type = fs_type_name(v.fs_type);
        std::string problem;
        if (!scan_volume(v, opts, token, problem)) {
            ++unscanned;
            shown.note("ostrel: volume " + std::to_string(v.index) + " (" + type + "): " + problem);
            return;
        }
        if (!problem.empty()) {
            partial = true;
            shown.note("ostrel: volume " + std::to_string(v.index) + " (" + type + "): " + problem);
        }
        shown.clear();
        const std::vector<listed_item> entries = list_tree(mirror(), opts.deleted);
        if (!opts.json) {
            std::printf("volume %d: %s at byte %" PRIu64 ", %" PRIu64 " bytes\n", v.index, type, v.start, v.length);
        }
        size_t folders = 0, files = 0, deleted = 0;
        section current = section::tree;
        for (const listed_item& entry : entries) {
            if (!opts.json && entry.where != current) {
                current = entry.where;
                std::printf("%s\n", current == section::lost ? "lost folders:" : "carved files:");
            }
            print_item(v, entry, opts.json);
            (entry.item->folder ? folders : files) += 1;
            deleted += entry.item->deleted ? 1 : 0;
        }
        if (!opts.json) {
            std::printf("%zu folders, %zu files, %zu deleted%s\n\n", folders, files, deleted,
                        token.stopped || interrupted() ? " (scan stopped early)" : "");
        }
        std::fflush(stdout);
    });
    if (status != exit_ok) return status;
    return finish(interrupted(), volumes, unscanned, partial);
}

int run_extents(const options& opts) {
    interrupt_token token;
    progress shown;
    int volumes = 0, unscanned = 0;
    struct match {
        int volume;
        std::string path;
        std::string text;
        bool has_text;
        uint64_t size;
    };
    std::vector<match> matches;
    bool folder_named = false;
    const int status = for_each_volume(opts, token, shown, [&](source::volume& v) {
        if (nothing_to_scan(v, opts, shown)) return;
        ++volumes;
        options whole = opts;
        whole.start_path.reset();
        std::string problem;
        if (!scan_volume(v, whole, token, problem)) {
            ++unscanned;
            shown.note("ostrel: volume " + std::to_string(v.index) + " (" + fs_type_name(v.fs_type) + "): " + problem);
            return;
        }
        if (!problem.empty()) {
            shown.note("ostrel: volume " + std::to_string(v.index) + " (" + fs_type_name(v.fs_type) + "): " + problem);
        }
        const std::vector<listed_item> entries = list_tree(mirror(), false);
        for (bool ignore_case : {false, true}) {
            bool any = false;
            for (const listed_item& entry : entries) {
                if (!path_matches(entry, opts.file_path, ignore_case)) continue;
                if (entry.item->folder) {
                    folder_named = true;
                    continue;
                }
                match m{v.index, display_path(entry), {}, false, engine().node_size(entry.item->handle)};
                m.has_text = extent_text(v.session, entry.item->handle, m.text);
                matches.push_back(std::move(m));
                any = true;
            }
            if (any) break;  // an exact match hides matches that differ in case
        }
    });
    if (status != exit_ok) return status;
    if (interrupted()) return exit_interrupted;
    if (matches.empty()) {
        if (volumes > 0 && unscanned == volumes) return exit_nothing_scanned;
        print_error(folder_named ? opts.file_path + " is a folder; extents describe files"
                                 : "no file " + opts.file_path + " on " + opts.source);
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
        } else if (matches.size() == 1) {
            std::printf("%s\n", text.c_str());
        } else {
            std::printf("volume %d %s: %s\n", m.volume, m.path.c_str(), text.c_str());
        }
    }
    return missing ? exit_partial : exit_ok;
}

}  // namespace ostrel::cli
