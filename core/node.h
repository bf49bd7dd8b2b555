// The result tree: reference-counted file and folder nodes.
//
// Folders own their children through shared pointers in two name-ordered
// multimaps; children point back through weak pointers. Attaching a child
// with add_file/add_folder reports it to the host at once, so the host's view
// grows while the scan runs. A node's handle is its address: the host names
// nodes by it, so it must stay stable while the tree lives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class tagFolderInfo;
class tagFileInfo;

using name_ptr = std::shared_ptr<std::u16string>;

// One run of a node's data. For file-system nodes (first cluster, cluster
// count); for carved files (device byte offset, byte length).
struct data_run {
    uint64_t first = 0;
    uint64_t count = 0;
    bool operator==(const data_run&) const = default;
};
using run_list = std::vector<data_run>;

// Natural order of shared names; a null name orders as the empty one.
struct natural_name_less {
    bool operator()(const name_ptr& a, const name_ptr& b) const;
};

using file_map = std::multimap<name_ptr, std::shared_ptr<tagFileInfo>, natural_name_less>;
using folder_map = std::multimap<name_ptr, std::shared_ptr<tagFolderInfo>, natural_name_less>;

// Each timestamp text area holds 19 UTF-16 units and a terminator.
inline constexpr size_t time_text_units = 20;

// What files and folders share: the parent link, the name, the deleted flag
// and the operations that fill an item record.
class tree_node {
public:
    tree_node();
    virtual ~tree_node();
    tree_node(const tree_node&) = default;
    tree_node& operator=(const tree_node&) = delete;

    // The attribute word of the node's info block (FAT: the attribute byte).
    virtual uint32_t attributes() const = 0;
    // Writes up to three time texts (creation, last access, last
    // modification) into 20-unit areas; an absent time leaves its area as is.
    virtual void describe(char16_t* created, char16_t* accessed, char16_t* modified) const = 0;
    // The node's file-system info block, or null.
    virtual const void* base_info() const = 0;
    virtual bool is_folder() const = 0;

    // The node's handle: its address, the host's only way to name it.
    uintptr_t handle() const { return reinterpret_cast<uintptr_t>(this); }
    // The node behind a handle the host gave back (no validation possible).
    static tree_node* from_handle(uintptr_t handle) { return reinterpret_cast<tree_node*>(handle); }

    const std::u16string& name_text() const;
    void set_name(std::u16string text) { name = std::make_shared<std::u16string>(std::move(text)); }

    std::weak_ptr<tagFolderInfo> parent;
    name_ptr name;  // created empty; a clone shares it
    uint8_t deleted = 0;
};

class tagFileInfo : public tree_node {
public:
    bool is_folder() const final { return false; }
    // A new node of the same class, with the same parent link and name object
    // and copies of the other fields.
    virtual std::shared_ptr<tagFileInfo> clone() const = 0;

    run_list runs;
    uint64_t size = 0;
    // 0: found through file-system metadata; 1-4: produced by the deep scan
    // (1 lost FAT directory, 2 NTFS record in free space, 3 lost exFAT
    // directory, 4 a carved byte range).
    uint8_t source_kind = 0;
};

class tagFolderInfo : public tree_node, public std::enable_shared_from_this<tagFolderInfo> {
public:
    bool is_folder() const final { return true; }

    // Insert the child after any equal names, make this folder its parent,
    // then report it to the host (kind 0x100 for files, 1 for folders).
    void add_file(const name_ptr& key, const std::shared_ptr<tagFileInfo>& file);
    void add_folder(const name_ptr& key, const std::shared_ptr<tagFolderInfo>& folder);

    // Insertions that the host is not told about.
    void insert_file_unreported(const name_ptr& key, const std::shared_ptr<tagFileInfo>& file);
    void insert_folder_unreported(const name_ptr& key, const std::shared_ptr<tagFolderInfo>& folder);

    // A new, empty folder of the same class (for folders the engine creates
    // itself, such as the former path of a recycled item).
    virtual std::shared_ptr<tagFolderInfo> make_sibling_folder() const = 0;

    file_map files;
    folder_map folders;
    // The item group sent with this folder's children; new folders take
    // their parent's value.
    uint32_t group = 0;
};

// Nodes with no file-system info: attribute 0, no time texts. Used for the
// engine's own folders and in tests.
class plain_file_info : public tagFileInfo {
public:
    uint32_t attributes() const override { return 0; }
    void describe(char16_t*, char16_t*, char16_t*) const override {}
    const void* base_info() const override { return nullptr; }
    std::shared_ptr<tagFileInfo> clone() const override { return std::make_shared<plain_file_info>(*this); }
};

class plain_folder_info : public tagFolderInfo {
public:
    plain_folder_info() = default;
    plain_folder_info(const plain_folder_info&) = delete;
    uint32_t attributes() const override { return 0; }
    void describe(char16_t*, char16_t*, char16_t*) const override {}
    const void* base_info() const override { return nullptr; }
    std::shared_ptr<tagFolderInfo> make_sibling_folder() const override {
        return std::make_shared<plain_folder_info>();
    }
};

// A new shared name.
inline name_ptr make_name(std::u16string text) { return std::make_shared<std::u16string>(std::move(text)); }

// A non-owning shared pointer to a node the host handed back: the engine
// never deletes host-given nodes.
template <typename Node>
std::shared_ptr<Node> borrow_node(Node* node) {
    return std::shared_ptr<Node>(node, [](Node*) {});
}

}  // namespace ostrel
