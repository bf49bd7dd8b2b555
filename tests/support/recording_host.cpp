#include "tests/support/recording_host.h"

#include <cstring>
#include <stdexcept>

#include "platform/wide_text.h"

namespace ostrel::test {

namespace {
recording_host* active = nullptr;
}

struct callbacks {
    static void OSTREL_CALL on_event(int32_t code, float value) { active->events.emplace_back(code, value); }
    static void OSTREL_CALL on_status(int32_t code) { active->statuses.push_back(code); }
    static void OSTREL_CALL log_line(const ostrel_char* line) { active->log_lines.push_back(to_utf8(line)); }
    static tagItemRecord* OSTREL_CALL alloc_record(uint32_t size) {
        if (active->fail_alloc || size != sizeof(tagItemRecord)) return nullptr;
        return &active->records_.emplace_back();
    }
    static int32_t OSTREL_CALL add_item(uint32_t kind, uint32_t group, tagItemRecord* record) {
        recording_host& host = *active;
        if (host.mirror_tree && record->parent != 0 && !host.known_.count(record->parent)) {
            host.refused.emplace_back(kind, record->handle);
            return -1;
        }
        recorded_item item;
        item.kind = kind;
        item.group = group;
        item.record = *record;
        item.name_null = record->name == nullptr;
        item.name = to_utf8(record->name);
        item.created = to_utf8(record->created);
        item.accessed = to_utf8(record->accessed);
        item.modified = to_utf8(record->modified);
        host.known_.insert(record->handle);
        host.latest_[record->handle] = host.items.size();
        host.items.push_back(std::move(item));
        return 0;
    }
    static int32_t OSTREL_CALL continue_deep_scan() {
        ++active->deep_scan_questions;
        return active->deep_scan_answer;
    }
};

recording_host::recording_host(bool bind) {
    if (active) throw std::logic_error("one recording host at a time");
    active = this;
    static int reserved_word;
    table.on_event = callbacks::on_event;
    table.add_item = callbacks::add_item;
    table.alloc_record = callbacks::alloc_record;
    table.reserved = &reserved_word;
    table.log_line = callbacks::log_line;
    table.on_status = callbacks::on_status;
    table.continue_deep_scan = callbacks::continue_deep_scan;
    if (bind) initialize(&table, &ops);
}

recording_host::~recording_host() {
    shut_down();
    active = nullptr;
}

recording_host* recording_host::current() { return active; }

std::vector<int32_t> recording_host::event_codes() const {
    std::vector<int32_t> codes;
    for (const auto& [code, value] : events) codes.push_back(code);
    return codes;
}

std::vector<const recorded_item*> recording_host::items_named(const std::string& name) const {
    std::vector<const recorded_item*> found;
    for (const auto& item : items) {
        if (item.name == name) found.push_back(&item);
    }
    return found;
}

const recorded_item* recording_host::latest(uintptr_t handle) const {
    const auto it = latest_.find(handle);
    return it == latest_.end() ? nullptr : &items[it->second];
}

std::string recording_host::mirrored_path(uintptr_t handle) const {
    std::string path;
    for (int depth = 0; handle && depth < 1000; ++depth) {
        const recorded_item* item = latest(handle);
        if (!item) break;
        path = path.empty() ? item->name : item->name + "\\" + path;
        handle = item->record.parent;
    }
    return path;
}

bool recording_host::logged(const std::string& text) const {
    for (const auto& line : log_lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

void recording_host::clear() {
    events.clear();
    statuses.clear();
    log_lines.clear();
    items.clear();
    refused.clear();
    known_.clear();
    latest_.clear();
}

std::string to_utf8(const ostrel_char* text) {
    if (!text) return {};
    const auto* wide = reinterpret_cast<const char16_t*>(text);
    return platform::utf16_to_utf8(std::u16string_view(wide, platform::wide_length(wide)));
}

std::u16string to_utf16(const std::string& text) { return platform::utf8_to_utf16(text); }

}  // namespace ostrel::test
