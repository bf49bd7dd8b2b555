// The fifteen operations of the host's operation table: thin, defensive
// entry points that check their pointers, forward to the session's engine or
// to volume discovery, and turn results into plain values. Nothing is thrown
// across this boundary: each operation catches and returns its neutral value.
#include <cstring>
#include <exception>
#include <string>

#include "core/report/report.h"
#include "engine/host_table.h"
#include "engine/log.h"
#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "volume/device_io.h"
#include "volume/volume_discovery.h"

namespace ostrel {

namespace {

const char16_t* as_text(const ostrel_char* text) { return reinterpret_cast<const char16_t*>(text); }

tagFileInfo* file_from_handle(ostrel_handle node) {
    if (!node) return nullptr;
    tree_node* any = tree_node::from_handle(node);
    return any->is_folder() ? nullptr : static_cast<tagFileInfo*>(any);
}

// Runs `body`, turning any escaping exception into `neutral`.
template <typename Result, typename Body>
Result guarded(Result neutral, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return neutral;
    }
}

// Opens `path` three times and looks for a volume from *position.
recover_session* open_device_path(const std::u16string& path, uint64_t* position, uint64_t end, stop_token* token) {
    int32_t d_recovery = 0, d_preview = 0;
    const int32_t d_scan = open_device_triple(path.c_str(), &d_recovery, &d_preview);
    if (d_scan <= 0 || d_recovery <= 0 || d_preview <= 0) {
        log_recovery("%s 打开失败\n", {std::u16string_view(path)});
        for (int32_t fd : {d_scan, d_recovery, d_preview}) {
            if (fd > 0) platform::close_descriptor(fd);
        }
        return nullptr;
    }
    recover_session* session = open_descriptors(d_scan, d_recovery, d_preview, position, end, token);
    for (int32_t fd : {d_scan, d_recovery, d_preview}) platform::close_descriptor(fd);
    return session;
}

recover_session* OSTREL_CALL op_open_drive_letter(ostrel_char letter, stop_token* token) {
    return guarded<recover_session*>(nullptr, [&] {
        const std::u16string path = u"\\\\.\\" + std::u16string(1, static_cast<char16_t>(letter)) + u":";
        uint64_t position = 0;
        return open_device_path(path, &position, 0, token);
    });
}

recover_session* OSTREL_CALL op_open_physical_disk(int32_t disk_number, uint64_t* position, uint64_t end,
                                                   stop_token* token) {
    return guarded<recover_session*>(nullptr, [&]() -> recover_session* {
        if (!position) return nullptr;
        const std::u16string path = format_message("\\\\.\\PhysicalDrive%d", {disk_number});
        return open_device_path(path, position, end, token);
    });
}

void OSTREL_CALL op_close_session(recover_session* s) {
    if (!s) return;
    guarded<int>(0, [&] {
        s->root.reset();
        if (s->engine) s->engine->close();
        s->engine.reset();
        s->root.reset();
        return 0;
    });
    delete s;
}

uint8_t OSTREL_CALL op_scan_session(recover_session* s, const ostrel_char* start_path, uint8_t deep_scan,
                                    stop_token* token, stop_token* save_token) {
    return guarded<uint8_t>(0, [&]() -> uint8_t {
        if (!s || !s->engine) return 0;
        recover_impl& engine = *s->engine;
        engine.deep_scan = deep_scan != 0;
        engine.stop_token = token;
        engine.save_token = save_token;
        s->root.reset();
        if (!engine.scan(s->root, as_text(start_path))) return 0;
        if (token && token->is_stopped()) token->on_stopped();
        return 1;
    });
}

uint8_t OSTREL_CALL op_save_file(recover_session* s, ostrel_handle node, const ostrel_char* destination) {
    return guarded<uint8_t>(0, [&]() -> uint8_t {
        send_event(OSTREL_EVENT_SAVE_STARTED);
        tagFileInfo* file = file_from_handle(node);
        if (!s || !s->engine || !file) {
            send_event(OSTREL_EVENT_SAVE_BAD_ARGUMENT);
            return 0;
        }
        int32_t error = 0;
        const bool saved = s->engine->save(borrow_node(file), as_text(destination), error);
        send_event(OSTREL_EVENT_SAVE_DONE, saved ? 0.0f : static_cast<float>(error));
        return saved ? 1 : 0;
    });
}

uint64_t OSTREL_CALL op_node_size(ostrel_handle node) {
    const tagFileInfo* file = file_from_handle(node);
    return file ? file->size : 0;
}

int32_t OSTREL_CALL op_session_fs_type(recover_session* s) {
    return s && s->engine ? s->engine->fs_type() : 0;
}

recover_session* OSTREL_CALL op_open_descriptors(int32_t d_scan, int32_t d_recovery, int32_t d_preview,
                                                 uint64_t* position, uint64_t end, stop_token* token) {
    return guarded<recover_session*>(nullptr, [&]() -> recover_session* {
        if (!position) return nullptr;
        return open_descriptors(d_scan, d_recovery, d_preview, position, end, token);
    });
}

int32_t OSTREL_CALL op_session_descriptors(recover_session* s, int32_t* d_recovery, int32_t* d_preview) {
    if (!s || !s->engine) return 0;
    if (d_recovery) *d_recovery = s->engine->d_recovery;
    if (d_preview) *d_preview = s->engine->d_preview;
    return s->engine->d_scan;
}

uint64_t OSTREL_CALL op_session_volume_offset(recover_session* s) {
    return s && s->engine ? s->engine->volume_offset : 0;
}

recover_session* OSTREL_CALL op_open_raw_range(int32_t d_scan, uint64_t start, uint64_t length) {
    return guarded<recover_session*>(nullptr, [&] { return make_raw_engine(d_scan, start, length); });
}

const ostrel_char* OSTREL_CALL op_node_name(ostrel_handle node) {
    if (!node) return nullptr;
    const tree_node* any = tree_node::from_handle(node);
    return any->name ? reinterpret_cast<const ostrel_char*>(any->name->c_str()) : nullptr;
}

int32_t OSTREL_CALL op_extent_text(recover_session* s, ostrel_handle node, char* buffer, uint32_t buffer_size) {
    return guarded<int32_t>(-1, [&]() -> int32_t {
        tagFileInfo* file = file_from_handle(node);
        if (!s || !s->engine || !file) return -1;
        const std::string text = s->engine->extent_text(borrow_node(file));
        if (text.empty()) return -1;
        if (text.size() < buffer_size && buffer) {
            std::memcpy(buffer, text.c_str(), text.size() + 1);
            return 0;
        }
        return static_cast<int32_t>(text.size() - buffer_size + 1);
    });
}

int32_t OSTREL_CALL op_node_path(recover_session* s, ostrel_handle node, ostrel_char* buffer, uint32_t buffer_chars) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (!s || !s->engine || !node || !buffer) return 0;
        const tree_node* any = tree_node::from_handle(node);
        if (!any->name) return 0;
        return s->engine->full_path(*any, reinterpret_cast<char16_t*>(buffer), buffer_chars);
    });
}

uint8_t OSTREL_CALL op_session_deep_scan_flag(recover_session* s) {
    return s && s->engine && s->engine->deep_scan ? 1 : 0;
}

}  // namespace

void fill_engine_ops(engine_ops& ops) {
    ops.open_drive_letter = op_open_drive_letter;
    ops.open_physical_disk = op_open_physical_disk;
    ops.close_session = op_close_session;
    ops.scan_session = op_scan_session;
    ops.save_file = op_save_file;
    ops.node_size = op_node_size;
    ops.session_fs_type = op_session_fs_type;
    ops.open_descriptors = op_open_descriptors;
    ops.session_descriptors = op_session_descriptors;
    ops.session_volume_offset = op_session_volume_offset;
    ops.open_raw_range = op_open_raw_range;
    ops.node_name = op_node_name;
    ops.extent_text = op_extent_text;
    ops.node_path = op_node_path;
    ops.session_deep_scan_flag = op_session_deep_scan_flag;
}

}  // namespace ostrel
