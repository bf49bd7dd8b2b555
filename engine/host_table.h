// The process-wide host table and the calls the engine makes through it.
//
// Every call re-reads the table, so after `shut_down` all callbacks fall
// silent while work in progress keeps running.
#pragma once

#include <atomic>
#include <cstdint>

#include "ostrel/ostrel.h"

namespace ostrel {

// Written only by initialize/shut_down; read by every thread without locks.
// Atomics give plain loads and stores with defined behaviour across threads.
extern std::atomic<host_callbacks*> host_table;
extern std::atomic<uint8_t> is_windows10;

// The bound table or null.
inline host_callbacks* bound_host() { return host_table.load(std::memory_order_acquire); }

// on_event, when bound and present.
void send_event(int32_t code, float value = 0.0f);
// on_status, when bound and present.
void send_status(int32_t code);
// One log line of UTF-16 text, when bound and present.
void send_log_line(const char16_t* line);

// The size the engine asks `alloc_record` for: 140 on the 32-bit reference
// layout, the widened record elsewhere.
constexpr uint32_t item_record_size = sizeof(tagItemRecord);

}  // namespace ostrel
