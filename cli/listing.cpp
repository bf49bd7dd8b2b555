#include "listing.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <cstdlib>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "paths.h"
#include "text.h"

namespace ostrel::cli {

namespace {

constexpr size_t max_depth = 4096;  // deeper chains are not real folder trees

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool same_text(const std::string& a, const std::string& b, bool ignore_case) {
    if (!ignore_case) return a == b;
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// Walks the mirrored tree depth first, files before folders in natural
// order, into three lists: the tree, lost folders, carved files. The lists
// hold only places and links; the entries are made once, at the end, in
// their final array.
class walker {
public:
    explicit walker(const tree_mirror& tree) : tree_(tree) {}

    std::vector<listed_item> run() {
        visited_.assign(tree_.size(), false);
        lists_[0].reserve(tree_.size());
        const mirrored_item* root = volume_root();
        for (uint32_t top : sorted(tree_.tops())) {
            const mirrored_item& item = tree_.at(top);
            if (&item == root) {
                // The root itself is not listed; its children are "/name".
                visited_[top] = true;
                for (uint32_t child : sorted(root->children)) visit(child, section::tree, {}, 1);
            } else {
                visit(top, section::tree, {}, 1);
            }
        }
        // The tree first, then lost folders, then carved files; the links to
        // path parents become indices of the joined list.
        const size_t offsets[3] = {0, lists_[0].size(), lists_[0].size() + lists_[1].size()};
        std::vector<listed_item> all(offsets[2] + lists_[2].size());
        for (size_t list = 0; list < 3; ++list) {
            for (size_t i = 0; i < lists_[list].size(); ++i) {
                const step& found = lists_[list][i];
                listed_item& entry = all[offsets[list] + i];
                entry.item = &tree_.at(found.place);
                entry.where = static_cast<section>(list);
                entry.depth = found.depth;
                entry.path_parent = found.above.list == no_list ? no_entry : offsets[found.above.list] + found.above.index;
            }
        }
        return all;
    }

private:
    static constexpr uint32_t no_list = 3;
    struct position {
        uint32_t list = no_list;
        uint32_t index = 0;
    };
    // One listed item: its place in the mirror, and the entry its path continues.
    struct step {
        uint32_t place;
        uint32_t depth;
        position above;
    };

    const mirrored_item* volume_root() const {
        for (uint32_t top : tree_.tops()) {
            const mirrored_item& item = tree_.at(top);
            if (item.folder && !item.lost && !item.carved) return &item;
        }
        return nullptr;
    }

    std::vector<uint32_t> sorted(std::vector<uint32_t> places) const {
        const auto before = [this](uint32_t a, uint32_t b) {
            const mirrored_item& x = tree_.at(a);
            const mirrored_item& y = tree_.at(b);
            if (x.folder != y.folder) return !x.folder;  // files first
            return natural_less(x.volume_or_own_name(), y.volume_or_own_name());
        };
        // Items often arrive in name order already (created one after another).
        if (!std::is_sorted(places.begin(), places.end(), before)) std::stable_sort(places.begin(), places.end(), before);
        return places;
    }

    // `above` is the entry whose path this item's continues.
    void visit(uint32_t place, section where, position above, uint32_t depth) {
        if (depth > max_depth || visited_[place]) return;
        visited_[place] = true;
        const mirrored_item& item = tree_.at(place);
        if (where == section::tree && (item.lost || item.carved)) {
            // A lost or carved item found below the tree starts a "$Lost" path.
            where = item.carved && !item.folder ? section::carved : section::lost;
            above = {};
            depth = 2;
        } else if (where == section::lost && item.carved && !item.folder) {
            where = section::carved;
        }
        const auto list = static_cast<uint32_t>(where);
        lists_[list].push_back({place, depth, above});
        if (item.children.empty()) return;
        const position here{list, static_cast<uint32_t>(lists_[list].size() - 1)};
        for (uint32_t child : sorted(item.children)) visit(child, where, here, depth + 1);
    }

    const tree_mirror& tree_;
    std::vector<bool> visited_;  // by place in the mirror
    std::vector<step> lists_[3];  // by section
};

// A typed path split into names: at "/" when it has one (so that a name
// shown with an escaped "\" can be typed back), else at "\".
std::vector<std::string> split_typed(const std::string& typed) {
    const char separator = typed.find('/') != std::string::npos ? '/' : '\\';
    std::vector<std::string> parts;
    std::string part;
    for (char c : typed) {
        if (c == separator) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// How much of [start, end) merged, sorted extents (with `start` and `end`)
// cover.
template <typename Extents>
uint64_t covered_bytes(const Extents& live, uint64_t start, uint64_t end) {
    uint64_t covered = 0;
    auto it = std::upper_bound(live.begin(), live.end(), start,
                               [](uint64_t at, const auto& extent) { return at < extent.start; });
    if (it != live.begin()) --it;
    for (; it != live.end() && it->start < end; ++it) {
        const uint64_t from = std::max(start, it->start), to = std::min(end, it->end);
        if (from < to) covered += to - from;
    }
    return covered;
}

}  // namespace

volume_listing::volume_listing(recover_session* session, const tree_mirror& tree, bool overwrite_marks)
    : session_(session), tree_(tree) {
    // Every live file's extents, asked for on a second thread while this one
    // makes, sizes and links the entries: the engine answers queries on
    // several threads once its scan is done, and the mirror is only read.
    if (overwrite_marks) live_extents_ = std::async(std::launch::async, [this] { return live_file_extents(); });
    entries_ = walker(tree).run();
    entry_of_.assign(tree.size(), no_entry);
    for (size_t i = 0; i < entries_.size(); ++i) entry_of_[tree.index_of(*entries_[i].item)] = i;
    children_.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        listed_item& entry = entries_[i];
        if (!entry.item->folder) entry.size = engine().node_size(entry.item->handle);
        const size_t parent = entry.item->parent ? entry_of_[entry.item->parent_index] : no_entry;
        if (parent != no_entry) {
            entry.parent = parent;
            children_[parent].push_back(i);
        } else if (entry.where == section::tree) {
            tops_.push_back(i);
        }
    }
    link_recycled();
    mark_holders();
}

void volume_listing::link_recycled() {
    // Parents come before their children in listing order.
    for (size_t i = 0; i < entries_.size(); ++i) {
        listed_item& entry = entries_[i];
        if (entry.where != section::tree) continue;
        if (entry.restored()) {
            entry.recycled_by = i;
        } else if (entry.parent != no_entry) {
            entry.recycled_by = entries_[entry.parent].recycled_by;
        }
        if (entry.recycled()) former_paths_[i] = node_path(session_, entry.item->handle);
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].where == section::tree && entries_[i].restored()) find_copies(i);
    }
}

size_t volume_listing::child_named(size_t parent, const std::string& name, bool ignore_case) const {
    const std::vector<size_t>& candidates = parent == no_entry ? tops_ : children_[parent];
    for (size_t child : candidates) {
        if (entries_[child].where == section::tree && same_text(entries_[child].item->name, name, ignore_case)) {
            return child;
        }
    }
    return no_entry;
}

// The engine places a copy of each restored item at its former path; the
// copy is the entry found there with the same name, size and extents.
void volume_listing::find_copies(size_t restored) {
    const std::vector<std::string> parts = former_path_parts(former_path(restored));
    if (parts.empty()) return;
    size_t at = no_entry;
    for (const std::string& name : parts) {
        size_t next = child_named(at, name, false);
        if (next == no_entry) next = child_named(at, name, true);
        if (next == no_entry) return;
        at = next;
    }
    // A copy never lies inside its original.
    for (size_t up = at; up != no_entry; up = entries_[up].parent) {
        if (up == restored) return;
    }
    pair_copies(restored, at, 0);
}

void volume_listing::pair_copies(size_t original, size_t copy, size_t depth) {
    listed_item& a = entries_[original];
    listed_item& b = entries_[copy];
    if (original == copy || depth > max_depth || b.copy() || b.restored() || a.item->folder != b.item->folder) return;
    if (!a.item->folder) {
        std::string text_a, text_b;
        std::vector<std::pair<uint64_t, uint64_t>> extents_a, extents_b;
        const bool has_a = file_extents(session_, a.item->handle, extents_a, &text_a);
        const bool has_b = file_extents(session_, b.item->handle, extents_b, &text_b);
        if (a.size != b.size || has_a != has_b || text_a != text_b) return;
        b.copy_of = original;
        return;
    }
    b.copy_of = original;
    for (size_t child : children_[original]) {
        const size_t match = child_named(copy, entries_[child].item->name, false);
        if (match != no_entry) pair_copies(child, match, depth + 1);
    }
}

void volume_listing::mark_holders() {
    // Children come after their parents: walking backwards settles them first.
    for (size_t i = entries_.size(); i-- > 0;) {
        listed_item& entry = entries_[i];
        if (entry.where != section::tree || !entry.item->folder || entry.copy() || entry.recycled() ||
            !entry.item->deleted || entry.item->has_times || children_[i].empty()) {
            continue;
        }
        entry.holder = std::all_of(children_[i].begin(), children_[i].end(),
                                   [&](size_t child) { return entries_[child].copy() || entries_[child].holder; });
    }
}

bool volume_listing::path_matches(size_t index, const std::vector<std::string>& typed, bool ignore_case) const {
    const listed_item& entry = entries_[index];
    if (entry.depth != typed.size()) return false;
    const auto same_name = [&](const std::string& want, const std::string& name) {
        return same_text(want, name, ignore_case) || same_text(want, terminal_name(name), ignore_case);
    };
    // From the item up: the last typed name first.
    const auto above_matches = [&](size_t from) {
        size_t k = typed.size() - 1;
        for (size_t at = from; at != no_entry; at = entries_[at].path_parent) {
            if (k-- == 0 || !same_name(typed[k], entries_[at].name())) return false;
        }
        return k == (entry.where == section::tree ? 0u : 1u) && (entry.where == section::tree || same_name(typed[0], "$Lost"));
    };
    if (same_name(typed.back(), entry.name()) && above_matches(entry.path_parent)) return true;
    // A restored item also answers to the name the bin gave back.
    return entry.restored() && same_text(typed.back(), entry.item->name, ignore_case) && above_matches(entry.path_parent);
}

std::vector<size_t> volume_listing::match(const std::vector<std::string>& typed) const {
    std::vector<size_t> found;
    if (typed.empty()) return found;
    for (bool ignore_case : {false, true}) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (path_matches(i, typed, ignore_case)) found.push_back(i);
        }
        if (!found.empty()) break;  // an exact match hides matches that differ in case
    }
    return found;
}

std::vector<size_t> volume_listing::find(const std::string& path) const { return match(split_typed(path)); }

bool volume_listing::select(const std::optional<std::string>& path, bool deleted_only, std::vector<size_t>& out) const {
    std::vector<bool> selected(entries_.size(), true);
    if (path) {
        const std::vector<std::string> typed = split_typed(*path);
        if (!typed.empty()) {
            std::fill(selected.begin(), selected.end(), false);
            std::vector<size_t> roots = match(typed);
            if (roots.empty() && !(typed.size() == 1 && same_text(typed[0], "$Lost", true))) return false;
            // Everything below a named folder; "$Lost" names every lost and carved item.
            for (size_t i = 0; i < entries_.size(); ++i) {
                const size_t parent = entries_[i].parent;
                selected[i] = std::find(roots.begin(), roots.end(), i) != roots.end() ||
                              (parent != no_entry && selected[parent] && entries_[parent].where == entries_[i].where) ||
                              (typed.size() == 1 && same_text(typed[0], "$Lost", true) && entries_[i].where != section::tree);
            }
        }
    }
    std::vector<bool> shown = selected;
    if (deleted_only) {
        std::vector<bool> below(entries_.size(), false);
        for (size_t i = entries_.size(); i-- > 0;) {
            const listed_item& entry = entries_[i];
            const bool wanted = entry.deleted() || entry.recycled() || entry.copy() || entry.where != section::tree;
            shown[i] = selected[i] && (wanted || below[i]);
            // A lost folder below a live one does not make the live one show.
            if (shown[i] && entry.parent != no_entry && entries_[entry.parent].where == entry.where) {
                below[entry.parent] = true;
            }
        }
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (shown[i]) out.push_back(i);
    }
    return true;
}

std::vector<volume_listing::live_extent> volume_listing::live_file_extents() const {
    std::vector<live_extent> live;
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (size_t place = 0; place < tree_.size(); ++place) {
        const mirrored_item& item = tree_.at(place);
        if (item.folder || item.deleted) continue;
        extents.clear();
        if (!file_extents(session_, item.handle, extents)) continue;
        for (const auto& [offset, length] : extents) {
            if (length) live.push_back({place, offset, offset + length});
        }
    }
    // Sorted where they are gathered: on a large volume the sort is a good
    // part of the work, and it is off the listing's thread there.
    std::sort(live.begin(), live.end(), [](const live_extent& a, const live_extent& b) {
        return std::tie(a.start, a.end) < std::tie(b.start, b.end);
    });
    return live;
}

void volume_listing::mark_overwritten(const std::vector<size_t>& which) {
    const auto deleted_file = [&](size_t i) {
        return !entries_[i].item->folder && entries_[i].deleted() && entries_[i].where != section::carved;
    };
    const bool gathered = live_extents_.valid();
    std::vector<live_extent> live = gathered ? live_extents_.get() : std::vector<live_extent>{};
    if (std::none_of(which.begin(), which.end(), deleted_file)) return;
    if (!gathered) live = live_file_extents();
    // Only files listed in the tree count; a copy at a former path holds the
    // bytes of the file it copies.
    std::erase_if(live, [&](const live_extent& extent) {
        const size_t entry = entry_of_[extent.place];
        return entry == no_entry || entries_[entry].where != section::tree || entries_[entry].copy();
    });
    // Merged in place: a large volume has a live extent for every file.
    size_t merged = 0;
    for (size_t i = 0; i < live.size(); ++i) {
        if (merged > 0 && live[i].start <= live[merged - 1].end) {
            live[merged - 1].end = std::max(live[merged - 1].end, live[i].end);
        } else {
            live[merged++] = live[i];
        }
    }
    live.resize(merged);
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (size_t i : which) {
        if (!deleted_file(i)) continue;
        extents.clear();
        if (!file_extents(session_, entries_[i].item->handle, extents)) continue;
        uint64_t total = 0, covered = 0;
        for (const auto& [offset, length] : extents) {
            total += length;
            covered += covered_bytes(live, offset, offset + length);
        }
        entries_[i].overwritten = covered == 0 ? overwrite::none : covered >= total ? overwrite::all : overwrite::part;
    }
}

const std::string& volume_listing::former_path(size_t index) const {
    static const std::string none;
    const auto found = former_paths_.find(index);
    return found == former_paths_.end() ? none : found->second;
}

std::vector<std::string> volume_listing::path_parts(size_t index) const {
    std::vector<std::string> parts;
    for (size_t at = index; at != no_entry && parts.size() <= max_depth; at = entries_[at].path_parent) {
        parts.push_back(entries_[at].name());
    }
    if (entries_[index].where != section::tree) parts.push_back("$Lost");
    std::reverse(parts.begin(), parts.end());
    return parts;
}

std::string volume_listing::display_path(size_t index, bool raw) const {
    std::string path;
    append_display_path(path, index, raw);
    return path;
}

void volume_listing::append_display_path(std::string& out, size_t index, bool raw) const {
    const listed_item& entry = entries_[index];
    thread_local std::vector<size_t> chain;  // the item first; kept for the next path
    chain.clear();
    for (size_t at = index; at != no_entry && chain.size() <= max_depth; at = entries_[at].path_parent) {
        chain.push_back(at);
    }
    if (entry.where != section::tree) out += "$Lost";
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
        out += '/';
        if (raw) {
            out += entries_[*at].name();
        } else {
            append_terminal_name(out, entries_[*at].name());
        }
    }
    if (entry.item->folder) out += '/';
}

const char* section_name(section where) {
    switch (where) {
    case section::lost: return "lost";
    case section::carved: return "carved";
    default: return "tree";
    }
}

const char* overwrite_name(overwrite state) {
    switch (state) {
    case overwrite::all: return "all";
    case overwrite::part: return "part";
    default: return "none";
    }
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

bool file_extents(recover_session* session, ostrel_handle node, std::vector<std::pair<uint64_t, uint64_t>>& out,
                  std::string* text_out) {
    // One buffer for every call: a listing asks the extents of every file.
    thread_local std::vector<char> buffer(4096);
    bool found = false;
    for (int attempt = 0; attempt < 4 && !found; ++attempt) {
        const int32_t result = engine().extent_text(session, node, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (result < 0) return false;
        if (result == 0) {
            found = true;
        } else {
            buffer.resize(buffer.size() + static_cast<size_t>(result));
        }
    }
    if (!found) return false;
    const std::string_view text(buffer.data(), strnlen(buffer.data(), buffer.size()));
    // [{"o":8192, "l":4096},{"o":65536, "l":904}]; other keys are skipped.
    const auto number_after = [&](size_t from, size_t to, std::string_view key, uint64_t& value) {
        const size_t at = text.find(key, from);
        if (at == std::string_view::npos || at >= to) return false;
        const char* start = text.data() + at + key.size();
        return std::from_chars(start, text.data() + to, value).ec == std::errc{};
    };
    for (size_t open = text.find('{'); open != std::string_view::npos; open = text.find('{', open + 1)) {
        size_t close = text.find('}', open);
        if (close == std::string_view::npos) close = text.size();
        uint64_t offset = 0, length = 0;
        if (number_after(open, close, "\"o\":", offset) && number_after(open, close, "\"l\":", length)) {
            out.emplace_back(offset, length);
        }
    }
    if (text_out) *text_out = std::string(text);
    return true;
}

bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            // Compare by value: strip leading zeros, then longer is larger.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            if (ei - si != ej - sj) return ei - si < ej - sj;
            if (const int c = a.compare(si, ei - si, b, sj, ej - sj); c != 0) return c < 0;
            i = ei, j = ej;
            continue;
        }
        const char ca = lower(a[i]), cb = lower(b[j]);
        if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
        ++i, ++j;
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;  // a total order: ties broken by exact bytes
}

}  // namespace ostrel::cli
