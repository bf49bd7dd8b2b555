// The two exported functions.
#include "engine/host_table.h"
#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/os_version.h"

extern "C" OSTREL_EXPORT int32_t OSTREL_CALL initialize(host_callbacks* host, engine_ops* ops) {
    ostrel::host_table.store(host, std::memory_order_release);
    if (!host) return 0;
    // Word 4 is never called, yet a table without it is refused all the same.
    if (!host->on_event || !host->add_item || !host->alloc_record || !host->reserved || !host->on_status ||
        !host->log_line) {
        return -1;
    }
    if (!ops) return -2;
    ostrel::fill_engine_ops(*ops);
    ostrel::is_windows10.store(ostrel::platform::query_is_windows10() ? 1 : 0, std::memory_order_release);
    return 1;
}

extern "C" OSTREL_EXPORT void OSTREL_CALL shut_down(void) {
    ostrel::host_table.store(nullptr, std::memory_order_release);
}
