// The mirrored tree of one scanned volume in listing order, split into the
// ordinary tree, lost folders (with what hangs below them) and carved files,
// with what the command works out about each item: what the recycle bin
// restored, the copies the engine placed at former paths and the folders it
// made to hold them, and which deleted files now lie under live ones.
// `ls`, `recover` and `extents` all walk the same list, so a path that `ls`
// prints is the path the other two understand.
#pragma once

#include <cstdint>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host.h"

namespace ostrel::cli {

enum class section : uint8_t { tree, lost, carved };

// How much of a deleted file's data now belongs to live files.
enum class overwrite : uint8_t { none, part, all };

inline constexpr size_t no_entry = std::numeric_limits<size_t>::max();

// An entry number held in four bytes, as the mirror holds its places: a
// large volume lists hundreds of thousands of items, each with four links.
class entry_ref {
public:
    entry_ref(size_t index = no_entry)  // NOLINT(google-explicit-constructor): stands in for size_t
        : value_(index == no_entry ? UINT32_MAX : static_cast<uint32_t>(index)) {}
    operator size_t() const { return value_ == UINT32_MAX ? no_entry : value_; }  // NOLINT

private:
    uint32_t value_;
};

struct listed_item {
    const mirrored_item* item = nullptr;
    uint64_t size = 0;
    // The entry whose path this one's continues (no_entry: the path starts
    // here, below the volume root or, for lost and carved items, "$Lost").
    // Paths are built from these links when needed rather than kept.
    entry_ref path_parent;
    uint32_t depth = 1;  // names in the path, "$Lost" included
    entry_ref parent;    // the listed parent folder
    // The restored item this one is, or lies in (no_entry: not recycled);
    // where it was before deletion is `volume_listing::former_path`.
    entry_ref recycled_by;
    // A copy the engine placed at a former path: the entry it copies.
    entry_ref copy_of;
    section where = section::tree;
    bool holder = false;  // a folder made only to hold such copies
    overwrite overwritten = overwrite::none;

    // The name as it is on the volume: a restored item keeps its "$R..." name.
    const std::string& name() const { return item->volume_or_own_name(); }
    bool recycled() const { return recycled_by != no_entry; }
    bool restored() const { return item->restored; }
    bool copy() const { return copy_of != no_entry; }
    // Deleted as found on the volume (a made folder is not).
    bool deleted() const { return item->deleted && !holder; }
};

class volume_listing {
public:
    // Lists the tree of `tree`, the volume of `session` (for paths and
    // extents). With `overwrite_marks`, what mark_overwritten needs is
    // gathered meanwhile.
    volume_listing(recover_session* session, const tree_mirror& tree, bool overwrite_marks = false);
    volume_listing(const volume_listing&) = delete;  // a thread may be reading it
    volume_listing& operator=(const volume_listing&) = delete;

    const std::vector<listed_item>& entries() const { return entries_; }
    const listed_item& operator[](size_t index) const { return entries_[index]; }

    // The entries to show, in listing order: those at or below `path` (a
    // file or folder as `ls` shows it: exact, or else ignoring ASCII case),
    // and with `deleted_only` only deleted, recycled, lost and carved items
    // and the folders leading to them. False when `path` names nothing.
    bool select(const std::optional<std::string>& path, bool deleted_only, std::vector<size_t>& out) const;

    // The entries whose path is exactly `path` (the same matching).
    std::vector<size_t> find(const std::string& path) const;

    // Compares the extents of the deleted files among `which` with those of
    // every live file of the volume and sets their `overwritten`.
    void mark_overwritten(const std::vector<size_t>& which);

    // "/docs/a.txt", "/docs/" for a folder, "$Lost/Dir1000/b.txt"; names
    // escaped for a terminal unless `raw`.
    std::string display_path(size_t index, bool raw = false) const;
    void append_display_path(std::string& out, size_t index, bool raw = false) const;

    // The names of that path, "$Lost" first for lost and carved items.
    std::vector<std::string> path_parts(size_t index) const;

    // Where a recycled entry was before deletion ("" when not recycled or
    // not known).
    const std::string& former_path(size_t index) const;

private:
    struct live_extent {
        size_t place;  // the file's place in the mirror
        uint64_t start, end;
    };
    // The extents of every file the mirror holds as not deleted, by start.
    // Read from the mirror alone, so that it can run while the entries are
    // made; which of them count is settled against the entries afterwards.
    std::vector<live_extent> live_file_extents() const;
    bool path_matches(size_t index, const std::vector<std::string>& typed, bool ignore_case) const;
    void link_recycled();
    void find_copies(size_t restored);
    void pair_copies(size_t original, size_t copy, size_t depth);
    void mark_holders();
    size_t child_named(size_t parent, const std::string& name, bool ignore_case) const;
    std::vector<size_t> match(const std::vector<std::string>& typed) const;

    recover_session* session_;
    const tree_mirror& tree_;
    std::vector<listed_item> entries_;
    std::vector<size_t> entry_of_;  // by place in the mirror; no_entry for items not listed
    std::vector<std::vector<size_t>> children_;
    std::vector<size_t> tops_;  // tree entries without a listed parent
    std::unordered_map<size_t, std::string> former_paths_;  // recycled entries only
    std::future<std::vector<live_extent>> live_extents_;
};

const char* section_name(section where);
const char* overwrite_name(overwrite state);

// The engine's full path of a node (UTF-8), "" when it has none; for a
// recycled item its former path.
std::string node_path(recover_session* session, ostrel_handle node);

// The file's extents as (device offset, length) pairs, parsed from the
// engine's text; false when the engine has none.
bool file_extents(recover_session* session, ostrel_handle node, std::vector<std::pair<uint64_t, uint64_t>>& out,
                  std::string* text = nullptr);

// Natural order: ASCII case ignored, runs of digits compared by value.
bool natural_less(const std::string& a, const std::string& b);

}  // namespace ostrel::cli
