// Positioned reads on device descriptors and the engine's one copy loop.
//
// Every table and record read goes through read_at or read_sector_at, which
// put the descriptor's running position back where they found it; only the
// boot-sector search and copy_range read at the running position.
#pragma once

#include <cstdint>

struct stop_token;

namespace ostrel {

// Opens `path` for reading three times (scan, recovery, preview), each an
// independent descriptor. The second and third opens happen only for
// non-null out-pointers. On any failure every descriptor opened here is
// closed and 0 returned; otherwise the scan descriptor.
int32_t open_device_triple(const char16_t* path, int32_t* d_recovery, int32_t* d_preview);

// Reads up to `size` bytes at `offset`; the count, or 0 when the descriptor
// or buffer is missing, the seek lands elsewhere, or the read fails.
int32_t read_at(int32_t fd, void* buffer, uint64_t offset, uint32_t size);
// As read_at, but a read the device refused (a bad sector) gives -1, told
// apart from the 0 of a read at or past the end.
int32_t read_at_or_fail(int32_t fd, void* buffer, uint64_t offset, uint32_t size);

// Reads exactly 512 bytes at `offset` (offset 0: at the current position).
bool read_sector_at(int32_t fd, void* buffer, uint64_t offset);

// A data sink: (buffer, count, context, unused, error out) -> keep going.
using data_sink = bool (*)(const uint8_t* buffer, uint32_t count, void* context, uint32_t unused,
                           int32_t* error);

// Sink writing to the descriptor that `context` points to (an int32).
bool write_chunk(const uint8_t* buffer, uint32_t count, void* context, uint32_t unused, int32_t* error);

// Copies `length` bytes from `offset` on the device to `sink`, reading whole
// 512-byte sectors through `buffer` (of `buffer_size` bytes) and handing on
// only the bytes asked for. Polls `stop` before every read. Returns the bytes
// handed to the sink; a failed read stores the error number through `error`.
uint64_t copy_range(int32_t fd, uint8_t* buffer, uint64_t offset, uint64_t length, uint32_t buffer_size,
                    data_sink sink, void* context, stop_token* stop, int32_t* error);

// True when a stop token is given and reports stopped.
bool is_stopped(stop_token* token);

// The engine's duplicate of a caller's descriptor: 0 (and the given log
// line) when duplication fails.
int32_t duplicate_descriptor(int32_t fd, const char* failure_message);

inline constexpr uint32_t sector_bytes = 512;

}  // namespace ostrel
