#include "host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "text.h"

namespace ostrel::cli {

namespace {

struct host_state {
    host_callbacks table{};
    engine_ops ops{};
    tree_mirror tree;
    bool verbose = false;
    // Every record handed out comes back through add_item. An accepted one is
    // copied and kept as the next one to hand out (or freed); a refused one
    // comes back once its parent is known, or is freed by reset_mirror when
    // the engine gives up on it.
    std::unordered_set<tagItemRecord*> refused;
    tagItemRecord* spare = nullptr;
    std::thread releaser;  // letting go of the last volume's mirror

    void release_old_mirror(std::shared_ptr<void> old) {
        wait_for_release();
        try {
            releaser = std::thread([held = std::move(old)]() mutable { held.reset(); });
        } catch (const std::system_error&) {
            // No thread to be had: `old` is let go of here instead.
        }
    }
    void wait_for_release() {
        if (releaser.joinable()) releaser.join();
    }
    ~host_state() { wait_for_release(); }
};

host_state& state() {
    static host_state s;
    return s;
}

// Callbacks arrive on the thread that called the operation, and saves run on
// several threads: who listens and what was reported are each thread's own.
struct thread_state {
    host_listener* listener = nullptr;
    int32_t status = 0;
    uint32_t events = 0;  // bit n: event n was sent since the last clear
};

thread_state& this_thread() {
    thread_local thread_state t;
    return t;
}

volatile std::sig_atomic_t interrupt_flag = 0;

void OSTREL_CALL on_event(int32_t code, float value) {
    thread_state& t = this_thread();
    if (code >= 0 && code < 32) t.events |= 1u << code;
    if (t.listener) t.listener->on_event(code, value);
}

int32_t OSTREL_CALL add_item(uint32_t kind, uint32_t group, tagItemRecord* record) {
    host_state& s = state();
    if (!record) return 0;
    const int32_t answer = s.tree.accept(kind, group, *record);
    if (answer == -1) {
        // Sent again once its parent is known, or freed by reset_mirror.
        try {
            s.refused.insert(record);
        } catch (...) {
            // Untracked, it would only be lost at exit; asking again still works.
        }
        return -1;
    }
    if (!s.refused.empty()) s.refused.erase(record);
    // Kept for the next item: one record at a time is all the engine needs.
    if (!s.spare) {
        s.spare = record;
    } else {
        std::free(record);
    }
    return answer;
}

tagItemRecord* OSTREL_CALL alloc_record(uint32_t size) {
    host_state& s = state();
    // At least our own record size, whatever the engine asks for: we read
    // every field of it.
    const size_t bytes = size > sizeof(tagItemRecord) ? size : sizeof(tagItemRecord);
    if (bytes == sizeof(tagItemRecord) && s.spare) {
        tagItemRecord* record = s.spare;
        s.spare = nullptr;
        std::memset(record, 0, sizeof *record);
        return record;
    }
    return static_cast<tagItemRecord*>(std::calloc(1, bytes));
}

void OSTREL_CALL log_line(const ostrel_char* line) {
    if (!state().verbose || !line) return;
    std::string text = to_utf8(line);
    if (text.empty() || text.back() != '\n') text += '\n';
    std::fputs(text.c_str(), stderr);
}

void OSTREL_CALL on_status(int32_t code) { this_thread().status = code; }

int32_t OSTREL_CALL continue_deep_scan() {
    // The deep scan is chosen up front with --deep; the engine only asks when
    // it was requested, so the answer is always "run it".
    return 1;
}

void on_interrupt(int) {
    interrupt_flag = 1;
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

tree_mirror::tree_mirror() { clear(); }

int32_t tree_mirror::accept(uint32_t kind, uint32_t group, const tagItemRecord& record) {
    const ostrel_handle parent = record.parent == record.handle ? 0 : record.parent;
    uint32_t parent_index = mirrored_item::no_parent;
    if (parent != 0 && parent == last_parent_) {
        // Items mostly arrive folder by folder: no table lookup for them.
        parent_index = last_parent_index_;
    } else if (parent != 0) {
        parent_index = places_.find(parent);
        if (parent_index == handle_index::none) return -1;
        last_parent_ = parent;
        last_parent_index_ = parent_index;
    }
    if (items_.size() >= UINT32_MAX) return 0;  // more than any volume holds: dropped
    const auto [place, is_new] = places_.try_emplace(record.handle, static_cast<uint32_t>(items_.size()));
    if (is_new) items_.emplace_back().place = place;
    mirrored_item& item = items_[place];
    const bool renamed = kind == OSTREL_KIND_FILE_RENAMED || kind == OSTREL_KIND_FOLDER_RENAMED;
    if (is_new) {
        item.handle = record.handle;
        item.folder = kind == OSTREL_KIND_FOLDER || kind == OSTREL_KIND_FOLDER_RENAMED;
        if (!item.folder) ++files_;
    } else if (item.parent != parent) {
        unlink(item);
    }
    // The first report of a restored item carries its name in the bin.
    if (renamed) item.restored = true;
    // Kept only for renamed items: the listing shows it for them alone.
    if (renamed && !item.volume_name) {
        item.volume_name = std::make_unique<const std::string>(is_new ? to_utf8(record.name) : item.name);
    }
    if (is_new || item.parent != parent) {
        item.parent = parent;
        item.parent_index = parent_index;
        (parent != 0 ? items_[parent_index].children : tops_).push_back(place);
    }
    item.group = group;
    item.carved = item.carved || kind == OSTREL_KIND_CARVED_FILE || group == OSTREL_GROUP_CARVED_RETYPED;
    item.lost = item.lost || group == OSTREL_GROUP_LOST;
    item.deleted = record.deleted != 0;
    item.attributes = record.attributes;
    item.name = to_utf8(record.name);
    item.created.assign(record.created);
    item.accessed.assign(record.accessed);
    item.modified.assign(record.modified);
    item.has_times = !item.created.empty() || !item.modified.empty() || !item.accessed.empty();
    if (host_listener* listener = this_thread().listener) listener->on_item(item);
    return 0;
}

void tree_mirror::unlink(mirrored_item& item) {
    std::vector<uint32_t>& siblings = item.parent ? items_[item.parent_index].children : tops_;
    std::erase(siblings, item.place);
}

const mirrored_item* tree_mirror::find(ostrel_handle handle) const {
    const uint32_t place = places_.find(handle);
    return place == handle_index::none ? nullptr : &items_[place];
}

bool tree_mirror::in_lost_area(ostrel_handle handle) const {
    const mirrored_item* item = find(handle);
    // Bounded by the number of items, so a parent cycle cannot hang us.
    for (size_t steps = 0; item && steps <= items_.size(); ++steps) {
        if (item->lost || item->carved) return true;
        item = item->parent ? &items_[item->parent_index] : nullptr;
    }
    return false;
}

std::vector<std::string> tree_mirror::name_chain(ostrel_handle handle) const {
    std::vector<std::string> names;
    const mirrored_item* item = find(handle);
    for (size_t steps = 0; item && steps <= items_.size(); ++steps) {
        names.insert(names.begin(), item->name);
        item = item->parent ? &items_[item->parent_index] : nullptr;
    }
    return names;
}

std::shared_ptr<void> tree_mirror::take() {
    struct held {
        std::deque<mirrored_item> items;
        handle_index places;
    };
    auto old = std::make_shared<held>(held{std::move(items_), std::move(places_)});
    clear();
    return old;
}

void tree_mirror::clear() {
    places_.clear();
    items_.clear();
    items_.shrink_to_fit();  // a deque keeps its blocks otherwise
    tops_.clear();
    files_ = 0;
    last_parent_ = 0;
}

bool bind_engine(std::string& error) {
    host_state& s = state();
    s.table.on_event = on_event;
    s.table.add_item = add_item;
    s.table.alloc_record = alloc_record;
    static int reserved_word = 0;
    s.table.reserved = &reserved_word;  // must be non-null; never called
    s.table.log_line = log_line;
    s.table.on_status = on_status;
    s.table.continue_deep_scan = continue_deep_scan;
    const int32_t result = initialize(&s.table, &s.ops);
    if (result != 1) {
        error = "the recovery engine refused its host table (initialize returned " + std::to_string(result) + ")";
        return false;
    }
    return true;
}

void unbind_engine() {
    shut_down();
    reset_mirror();
    state().wait_for_release();
}

const engine_ops& engine() { return state().ops; }
tree_mirror& mirror() { return state().tree; }

void reset_mirror(bool process_ending) {
    host_state& s = state();
    if (s.tree.size() != 0 && process_ending) {
        // Kept reachable, so that leak checkers see nothing lost.
        static auto* const left = new std::vector<std::shared_ptr<void>>;
        std::shared_ptr<void> old = s.tree.take();
        try {
            left->push_back(old);
        } catch (const std::bad_alloc&) {
            s.release_old_mirror(std::move(old));
        }
    } else if (s.tree.size() != 0) {
        // Letting go of a large volume's mirror takes as long as closing the
        // engine's session, which the command does next: it is done on a
        // thread of its own meanwhile.
        s.release_old_mirror(s.tree.take());
    } else {
        s.tree.clear();
    }
    for (tagItemRecord* record : s.refused) std::free(record);
    s.refused.clear();
    std::free(s.spare);
    s.spare = nullptr;
}

void set_listener(host_listener* listener) { this_thread().listener = listener; }
void set_verbose(bool verbose) { state().verbose = verbose; }
int32_t last_status() { return this_thread().status; }
bool event_seen(int32_t code) { return code >= 0 && code < 32 && (this_thread().events & (1u << code)) != 0; }
void clear_status() {
    this_thread().status = 0;
    this_thread().events = 0;
}

void install_interrupt_handler() { std::signal(SIGINT, on_interrupt); }
bool interrupted() { return interrupt_flag != 0; }

}  // namespace ostrel::cli
