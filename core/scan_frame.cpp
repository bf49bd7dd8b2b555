#include "core/scan_frame.h"

#include "core/recover_impl.h"
#include "core/report/report.h"
#include "engine/host_table.h"
#include "ostrel/ostrel.h"
#include "volume/device_io.h"

namespace ostrel {

std::vector<std::u16string> split_path(std::u16string_view path, bool keep_empty) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        const bool at_end = i == path.size();
        if (!at_end && path[i] != u'\\' && path[i] != u'/') continue;
        const std::u16string_view part = path.substr(start, i - start);
        if (!part.empty() || (keep_empty && !at_end)) parts.emplace_back(part);
        start = i + 1;
    }
    return parts;
}

bool fail_scan(int32_t status) {
    report_status(status);
    send_event(OSTREL_EVENT_SCAN_FAILED);
    return false;
}

int32_t deep_scan_allowed(recover_impl& engine) {
    if (is_stopped(engine.stop_token)) return 0;
    host_callbacks* host = bound_host();
    if (!host || !host->continue_deep_scan) return 1;
    return host->continue_deep_scan();
}

void finish_directory_phase(recover_impl& engine) {
    if (is_stopped(engine.stop_token)) return;
    send_event(OSTREL_EVENT_DIRECTORY_DONE);
    if (!engine.deep_scan) return;
    const int32_t answer = deep_scan_allowed(engine);
    if (answer == 1) {
        send_event(OSTREL_EVENT_DEEP_SCAN_STARTED);
        if (!engine.run_deep_scan()) {
            report_status(OSTREL_STATUS_OBJECT_NOT_CREATED);
            send_event(OSTREL_EVENT_DEEP_SCAN_FAILED);
        }
        if (!is_stopped(engine.stop_token)) send_event(OSTREL_EVENT_DEEP_SCAN_DONE);
    } else if (answer == 2 && engine.stop_token) {
        engine.stop_token->on_deep_scan_declined();
    }
}

bool equal_ignoring_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x -= 32;
        if (y >= u'a' && y <= u'z') y -= 32;
        if (x != y) return false;
    }
    return true;
}

}  // namespace ostrel
