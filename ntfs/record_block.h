// MFT records read for saving, through a block of the records around them.
//
// Saving a folder's small files reads their MFT records one after another
// (their data lives there), and a folder's records mostly lie side by side:
// one read per record costs more than copying the bytes. Each thread keeps
// the block of records it read last, and a record inside it needs no read
// of its own. A block belongs to the engine that read it, by a number never
// given twice, so a later session on a descriptor of the same number is
// never served another source's bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace ostrel {

// A number for an engine's blocks, different from every earlier one.
uint64_t new_record_block_owner();

// Reads `size` bytes at device offset `offset` of `fd` into `out`, from this
// thread's block when `owner` read one holding them, else through a new
// block. False unless all `size` bytes were read.
bool read_record_through_block(int32_t fd, uint64_t owner, uint64_t offset, uint32_t size, std::vector<uint8_t>& out);

}  // namespace ostrel
