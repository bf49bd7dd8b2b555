#include "fuzz/fuzz_support.h"

#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "carve/deep_scan_engine.h"
#include "core/node.h"
#include "core/recover_impl.h"
#include "engine/session.h"
#include "ntfs/ntfs_nodes.h"
#include "ntfs/ntfs_recover.h"

namespace ostrel::fuzz {

namespace {

// Reads a text up to its terminator, the way a host copies it. The sum keeps
// the reads from being optimised away.
volatile size_t text_sum = 0;

void read_text(const ostrel_char* text, size_t limit) {
    if (!text) return;
    size_t sum = 0;
    size_t i = 0;
    for (; i < limit && text[i] != 0; ++i) sum += text[i];
    if (i == limit) __builtin_trap();  // no terminator where the interface promises one
    text_sum = text_sum + sum;
}

tagItemRecord record_slot;

void OSTREL_CALL on_event(int32_t, float) {}
void OSTREL_CALL on_status(int32_t) {}
void OSTREL_CALL log_line(const ostrel_char* line) { read_text(line, 1u << 20); }
tagItemRecord* OSTREL_CALL alloc_record(uint32_t size) { return size == sizeof(tagItemRecord) ? &record_slot : nullptr; }
int32_t OSTREL_CALL add_item(uint32_t, uint32_t, tagItemRecord* record) {
    read_text(record->name, 1u << 20);
    read_text(record->created, time_text_units);
    read_text(record->accessed, time_text_units);
    read_text(record->modified, time_text_units);
    return 0;
}
int32_t OSTREL_CALL continue_deep_scan() { return 1; }

struct bound_host {
    host_callbacks table{};
    engine_ops ops{};
    int reserved = 0;

    bound_host() {
        table.on_event = on_event;
        table.add_item = add_item;
        table.alloc_record = alloc_record;
        table.reserved = &reserved;
        table.log_line = log_line;
        table.on_status = on_status;
        table.continue_deep_scan = continue_deep_scan;
        if (initialize(&table, &ops) != 1) __builtin_trap();
    }
};

// Takes data until the budget is spent, then asks the reader to stop: a
// hostile size must not turn one input into gigabytes of zeros.
struct data_budget {
    uint64_t left;
};

bool take_data(const uint8_t* buffer, uint32_t count, void* context, uint32_t, int32_t*) {
    auto* budget = static_cast<data_budget*>(context);
    if (count > 0) text_sum = text_sum + buffer[0] + buffer[count - 1];
    if (count >= budget->left) return false;
    budget->left -= count;
    return true;
}

// Enough of the tree to reach every kind of node the seeds hold, few enough
// to keep an execution short.
constexpr size_t max_walked_nodes = 64;
constexpr uint64_t data_bytes_per_file = 16 * 1024;

void read_file(recover_session* session, tagFileInfo& file) {
    const engine_ops& ops = engine();
    const auto handle = file.handle();
    ops.node_size(handle);
    char extents[128];  // long texts take the "buffer too short" path
    ops.extent_text(session, handle, extents, sizeof extents);
    if (file.source_kind != 0) return;  // carved data is a plain byte range

    recover_impl& engine = *session->engine;
    never_stop token;
    data_budget budget{data_bytes_per_file};
    int32_t error = 0;
    try {
        if (auto* ntfs = dynamic_cast<ntfs_recover*>(&engine)) {
            if (auto* ntfs_file = dynamic_cast<tagNtfsFileInfoEx*>(&file)) {
                ntfs->read_file_data(engine.d_recovery, *ntfs_file, take_data, &budget, &token, &error);
                return;
            }
        }
        engine.save_runs(engine.d_recovery, file.runs, file.size, take_data, &budget, &token, &error);
    } catch (const std::bad_alloc&) {
        // Saving reports a failed save the same way.
    }
}

}  // namespace

const engine_ops& engine() {
    static bound_host host;
    return host.ops;
}

void for_each_volume(int fd, uint64_t size, const std::function<void(recover_session*)>& visit, int max_volumes) {
    const engine_ops& ops = engine();
    never_stop token;
    uint64_t position = 0;
    for (int i = 0; i < max_volumes && position < size; ++i) {
        const uint64_t before = position;
        recover_session* session = ops.open_descriptors(fd, fd, fd, &position, size, &token);
        if (!session) break;
        ops.session_fs_type(session);
        ops.session_volume_offset(session);
        int32_t recovery = 0, preview = 0;
        ops.session_descriptors(session, &recovery, &preview);
        visit(session);
        ops.close_session(session);
        if (position <= before) break;
    }
}

void walk_tree(recover_session* session) {
    if (!session || !session->engine) return;
    const engine_ops& ops = engine();
    if (const auto& sweep = session->engine->deep_scan_engine) {
        size_t carved = 0;
        for (const auto& [name, file] : sweep->carved_files) {
            if (++carved > max_walked_nodes) break;
            ops.node_name(file->handle());
            read_file(session, *file);
        }
    }
    if (!session->root) return;
    std::vector<std::shared_ptr<tagFolderInfo>> to_visit{session->root};
    std::unordered_set<const tree_node*> seen;
    size_t walked = 0;
    ostrel_char path[300];
    while (!to_visit.empty() && walked < max_walked_nodes) {
        const std::shared_ptr<tagFolderInfo> folder = to_visit.back();
        to_visit.pop_back();
        // A restored recycle-bin folder may sit in two places; walk it once.
        if (!seen.insert(folder.get()).second) continue;
        ops.node_name(folder->handle());
        ops.node_path(session, folder->handle(), path, sizeof path / sizeof path[0]);
        for (const auto& [name, file] : folder->files) {
            if (++walked > max_walked_nodes) return;
            ops.node_path(session, file->handle(), path, sizeof path / sizeof path[0]);
            read_file(session, *file);
        }
        for (const auto& [name, child] : folder->folders) to_visit.push_back(child);
    }
}

void scan_and_walk(recover_session* session, bool deep_scan, bool rescan_below_root) {
    const engine_ops& ops = engine();
    never_stop token;
    if (!ops.scan_session(session, nullptr, deep_scan ? 1 : 0, &token, &token)) return;
    walk_tree(session);
    if (!rescan_below_root || !session->root || session->root->folders.empty()) return;
    const auto& first = session->root->folders.begin()->second;
    if (!first->name) return;
    const std::u16string start = u"C:\\" + *first->name;
    if (ops.scan_session(session, reinterpret_cast<const ostrel_char*>(start.c_str()), 0, &token, &token)) {
        walk_tree(session);
    }
}

}  // namespace ostrel::fuzz
