// The command's side of the engine interface: the callback table (a global,
// because callbacks carry no context), the mirror of the tree the engine
// reports item by item, and the stop token that Ctrl-C trips.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handle_index.h"
#include "ostrel/ostrel.h"

namespace ostrel::cli {

// A time text of the item record (at most 19 characters), kept inline: a
// listing of a large volume holds three per item.
struct time_stamp {
    char text[20] = {};
    // From an item record's field (20 units, not always terminated). The
    // engine writes digits, "/", ":" and a space; anything else is "?".
    void assign(const ostrel_char (&field)[20]) {
        size_t n = 0;
        for (; n < sizeof text - 1 && field[n]; ++n) {
            const auto unit = static_cast<char16_t>(field[n]);
            text[n] = unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
        }
        text[n] = '\0';
    }
    operator std::string_view() const { return text; }
    bool empty() const { return text[0] == '\0'; }
    const char* c_str() const { return text; }
};

// One item as the engine last described it. A large volume is mirrored item
// by item, so this is kept small: what only restored items have is held
// apart.
struct mirrored_item {
    static constexpr uint32_t no_parent = UINT32_MAX;

    ostrel_handle handle = 0;
    ostrel_handle parent = 0;
    uint32_t place = 0;                 // this item's place in the mirror
    uint32_t parent_index = no_parent;  // the parent's place in the mirror
    uint32_t group = 0;
    uint32_t attributes = 0;
    bool folder = false;
    bool deleted = false;
    bool carved = false;  // found by signature: kind 0x200, or re-sent in group 3
    bool lost = false;    // reported in group 2: a lost folder or orphan subtree
    bool restored = false;  // renamed by the recycle bin (kinds 0x400 and 0x2)
    bool has_times = false;
    std::string name;  // UTF-8; "" when the record had no name
    // For a restored item, the "$R..." name it was first reported with.
    std::unique_ptr<const std::string> volume_name;
    time_stamp created, accessed, modified;
    std::vector<uint32_t> children;  // places in the mirror, in the order they arrived

    // The name the item has on the volume: a restored item's name in the bin.
    const std::string& volume_or_own_name() const { return volume_name && !volume_name->empty() ? *volume_name : name; }
};

// The host's copy of the tree. An item is accepted only when its parent is
// already known (or it has none); the engine answers a refusal by reporting
// the parent first and sending the item again.
//
// Items are kept in one array in the order they first arrived, and linked by
// their places in it; a flat table finds an item's place from its handle.
class tree_mirror {
public:
    tree_mirror();

    // add_item's answer: -1 to ask for the parent first, else 0.
    int32_t accept(uint32_t kind, uint32_t group, const tagItemRecord& record);

    const mirrored_item* find(ostrel_handle handle) const;
    const mirrored_item& at(size_t index) const { return items_[index]; }
    size_t index_of(const mirrored_item& item) const { return item.place; }
    // Items without a known parent, in the order they arrived.
    const std::vector<uint32_t>& tops() const { return tops_; }
    size_t size() const { return items_.size(); }
    size_t files() const { return files_; }
    // True for an item that is lost or carved, or that lies below one.
    bool in_lost_area(ostrel_handle handle) const;
    // The names from the topmost known ancestor down to the item.
    std::vector<std::string> name_chain(ostrel_handle handle) const;
    void clear();
    // Empties the mirror like clear(), handing what it held to the caller,
    // who may let go of it on another thread.
    std::shared_ptr<void> take();

private:
    void unlink(mirrored_item& item);

    std::deque<mirrored_item> items_;  // grows without moving what it holds
    handle_index places_;
    std::vector<uint32_t> tops_;
    size_t files_ = 0;
    ostrel_handle last_parent_ = 0;  // the parent found last, and its place
    uint32_t last_parent_index_ = 0;
};

// What the command wants to hear while an operation runs.
class host_listener {
public:
    virtual void on_event(int32_t /*code*/, float /*value*/) {}
    virtual void on_item(const mirrored_item& /*item*/) {}

protected:
    ~host_listener() = default;
};

// Binds the callback table; false (with `error` set) when the engine refuses.
bool bind_engine(std::string& error);
void unbind_engine();
const engine_ops& engine();

tree_mirror& mirror();
// Forgets the mirrored tree and frees the records of refused items. When
// the command is about to end, the tree itself is not freed: the system lets
// go of the whole process at once, faster than freeing it item by item.
void reset_mirror(bool process_ending = false);
// Each thread has its own listener, last status and events.
void set_listener(host_listener* listener);
// Engine log lines go to standard error only when this is set.
void set_verbose(bool verbose);
// The last status code the engine sent since the last clear (0: none), and
// whether an event was sent since then.
int32_t last_status();
bool event_seen(int32_t code);
void clear_status();

// Ctrl-C: the first press asks the running scan or copy to stop at its next
// poll; a second press ends the process the usual way.
void install_interrupt_handler();
bool interrupted();

// Told each time the engine polls for a stop: long work without events (the
// volume search, a large copy) still moves the progress line.
class poll_listener {
public:
    virtual void on_poll() = 0;

protected:
    ~poll_listener() = default;
};

class interrupt_token final : public stop_token {
public:
    uint8_t is_stopped() override {
        if (listener) listener->on_poll();
        return interrupted() ? 1 : 0;
    }
    void on_stopped() override { stopped = true; }
    void on_deep_scan_declined() override { declined = true; }
    // Saves poll this token on several threads at once; the listener is
    // told only while one thread works (it is cleared for parallel saves).
    std::atomic<bool> stopped = false;
    std::atomic<bool> declined = false;
    poll_listener* listener = nullptr;
};

}  // namespace ostrel::cli
