// The mirrored tree in listing order, split into the ordinary tree, lost
// folders (with what hangs below them) and carved files. `ls`, `recover`
// and `extents` all walk the same list, so a path that `ls` prints is the
// path the other two understand.
#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace ostrel::cli {

enum class section { tree, lost, carved };

struct listed_item {
    const mirrored_item* item = nullptr;
    section where = section::tree;
    // Names below the volume root; lost and carved items start with "$Lost".
    std::vector<std::string> parts;
};

// Depth first, a folder's files before its subfolders, names in natural
// order. With `deleted_only`, only deleted items, everything lost or carved,
// and the folders leading to them.
std::vector<listed_item> list_tree(const tree_mirror& tree, bool deleted_only);

// "/docs/a.txt", "/docs/" for a folder, "$Lost/Dir1000/b.txt".
std::string display_path(const listed_item& entry);

// Whether `typed` (slashes or backslashes, leading separator optional)
// names the entry. Exact, or else ignoring ASCII case.
bool path_matches(const listed_item& entry, const std::string& typed, bool ignore_case);

// The name of the volume's root folder as the engine reported it ("" when
// the root never was reported).
std::string root_name(const tree_mirror& tree);

const char* section_name(section where);

// Natural order: ASCII case ignored, runs of digits compared by value.
bool natural_less(const std::string& a, const std::string& b);

}  // namespace ostrel::cli
