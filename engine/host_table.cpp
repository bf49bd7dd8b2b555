#include "engine/host_table.h"

namespace ostrel {

std::atomic<host_callbacks*> host_table{nullptr};
std::atomic<uint8_t> is_windows10{0};

void send_event(int32_t code, float value) {
    host_callbacks* host = bound_host();
    if (host && host->on_event) host->on_event(code, value);
}

void send_status(int32_t code) {
    host_callbacks* host = bound_host();
    if (host && host->on_status) host->on_status(code);
}

void send_log_line(const char16_t* line) {
    host_callbacks* host = bound_host();
    if (host && host->log_line) host->log_line(reinterpret_cast<const ostrel_char*>(line));
}

}  // namespace ostrel
