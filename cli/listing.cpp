#include "listing.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace ostrel::cli {

namespace {

constexpr size_t max_depth = 4096;  // deeper chains are not real folder trees

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

class walker {
public:
    walker(const tree_mirror& tree, bool deleted_only) : tree_(tree), deleted_only_(deleted_only) {}

    std::vector<listed_item> run() {
        const mirrored_item* root = volume_root();
        for (ostrel_handle top : sorted(tree_.tops())) {
            const mirrored_item* item = tree_.find(top);
            if (!item) continue;
            if (item == root) {
                // The root itself is not listed; its children are "/name".
                visited_.insert(root->handle);
                for (ostrel_handle child : sorted(root->children)) visit(child, section::tree, {}, 1);
            } else {
                visit(top, section::tree, {}, 1);
            }
        }
        // The tree first, then lost folders, then carved files.
        std::vector<listed_item> all = std::move(tree_items_);
        all.insert(all.end(), lost_items_.begin(), lost_items_.end());
        all.insert(all.end(), carved_items_.begin(), carved_items_.end());
        return all;
    }

    const mirrored_item* volume_root() const {
        for (ostrel_handle top : tree_.tops()) {
            const mirrored_item* item = tree_.find(top);
            if (item && item->folder && !item->lost && !item->carved) return item;
        }
        return nullptr;
    }

private:
    std::vector<ostrel_handle> sorted(const std::vector<ostrel_handle>& handles) const {
        std::vector<const mirrored_item*> items;
        for (ostrel_handle h : handles) {
            if (const mirrored_item* item = tree_.find(h)) items.push_back(item);
        }
        std::stable_sort(items.begin(), items.end(), [](const mirrored_item* a, const mirrored_item* b) {
            if (a->folder != b->folder) return !a->folder;  // files first
            return natural_less(a->name, b->name);
        });
        std::vector<ostrel_handle> out;
        for (const mirrored_item* item : items) out.push_back(item->handle);
        return out;
    }

    // Returns whether the item (or something below it) was listed in the
    // section the caller is in: a lost folder below a live one is listed
    // under $Lost and does not make its live parent show with --deleted.
    bool visit(ostrel_handle handle, section where, std::vector<std::string> parts, size_t depth) {
        const mirrored_item* item = tree_.find(handle);
        if (!item || depth > max_depth || !visited_.insert(handle).second) return false;
        const section incoming = where;
        if (where == section::tree && (item->lost || item->carved)) {
            where = item->carved && !item->folder ? section::carved : section::lost;
            parts = {"$Lost"};
        } else if (where == section::lost && item->carved && !item->folder) {
            where = section::carved;
        }
        parts.push_back(item->name);
        auto& out = where == section::tree ? tree_items_ : where == section::lost ? lost_items_ : carved_items_;
        const size_t slot = out.size();
        out.push_back({item, where, parts});
        bool below = false;
        for (ostrel_handle child : sorted(item->children)) {
            below = visit(child, where, parts, depth + 1) || below;
        }
        const bool shown = !deleted_only_ || item->deleted || where != section::tree || below;
        if (!shown) {
            // Nothing was added after the slot when nothing below was shown.
            out.erase(out.begin() + static_cast<std::ptrdiff_t>(slot));
        }
        return shown && where == incoming;
    }

    const tree_mirror& tree_;
    bool deleted_only_;
    std::unordered_set<ostrel_handle> visited_;
    std::vector<listed_item> tree_items_, lost_items_, carved_items_;
};

std::vector<std::string> split_typed(const std::string& typed) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : typed) {
        if (c == '/' || c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

bool same_text(const std::string& a, const std::string& b, bool ignore_case) {
    if (!ignore_case) return a == b;
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::vector<listed_item> list_tree(const tree_mirror& tree, bool deleted_only) {
    return walker(tree, deleted_only).run();
}

std::string display_path(const listed_item& entry) {
    std::string path = entry.where == section::tree ? "/" : "";
    for (size_t i = 0; i < entry.parts.size(); ++i) {
        if (i) path += '/';
        path += entry.parts[i];
    }
    if (entry.item->folder) path += '/';
    return path;
}

bool path_matches(const listed_item& entry, const std::string& typed, bool ignore_case) {
    const std::vector<std::string> parts = split_typed(typed);
    if (parts.size() != entry.parts.size()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!same_text(parts[i], entry.parts[i], ignore_case)) return false;
    }
    return true;
}

std::string root_name(const tree_mirror& tree) {
    const mirrored_item* root = walker(tree, false).volume_root();
    return root ? root->name : std::string();
}

const char* section_name(section where) {
    switch (where) {
    case section::lost: return "lost";
    case section::carved: return "carved";
    default: return "tree";
    }
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
