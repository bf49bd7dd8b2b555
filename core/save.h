// Saving found files and describing where their data lies.
#pragma once

#include <cstdint>
#include <string>

#include "core/node.h"

struct stop_token;

namespace ostrel {

class recover_impl;

// Creates the destination exclusively; -1 with `error` set on failure, and
// status 7 sent when it already exists (a saved file never replaces another).
int create_destination(const char16_t* destination, int32_t& error);

// The buffer save_runs copies through: 64 clusters, or less for a small file.
uint64_t save_runs_buffer_size(uint32_t cluster_size, uint64_t size);

// The buffer a copy of `size` bytes uses when `full_buffer` is the normal
// size: `size` rounded up to whole sectors when that is smaller.
uint32_t copy_buffer_size(uint64_t size, uint32_t full_buffer);

// Saves a carved file: one contiguous byte range (the node's first run holds
// device offset and length) read from `device`.
bool save_byte_range(int32_t device, const tagFileInfo& node, const char16_t* destination, ::stop_token* stop,
                     int32_t& error);

// The decimal digits of `value` appended to `out`.
void append_decimal(std::string& out, long long value);
void append_decimal(std::string& out, unsigned long long value);

// One extent entry {"o":…, "l":…}, unsigned or signed, with or without the
// trailing comma.
std::string format_extent(uint64_t offset, uint64_t length, bool is_signed, bool last);

// The extent text of a node whose runs are clusters of `engine`'s volume.
std::string cluster_extent_text(const recover_impl& engine, const tagFileInfo& node, bool is_signed);

}  // namespace ostrel
