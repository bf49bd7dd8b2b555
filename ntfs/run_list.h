// Data runs of non-resident NTFS attributes, and the size rules that go with
// them.
#pragma once

#include <cstdint>

#include "core/node.h"
#include "volume/byte_view.h"

namespace ostrel {

// Decodes a run list (the bytes from its first header byte to wherever the
// attribute ends) until it covers ceil(data_size / cluster_size) clusters or
// meets a 0 header byte. Each run is (start cluster, cluster count) in file
// order; a run with no offset field is sparse and gets start 0 without moving
// the running start. The list is cut, keeping what came before, at a length
// or offset field wider than 8 bytes, a negative length, a start that is
// negative or not below `total_clusters`, or the end of `bytes`.
run_list decode_runs(byte_view bytes, uint64_t data_size, uint32_t cluster_size, uint64_t total_clusters);

// The byte size of a non-resident attribute from its allocated, data and
// initialized sizes (header offsets 0x28, 0x30, 0x38): the data size, unless
// it is negative or larger than a positive allocated size, then the
// initialized size; when that comes to 0 with both data and initialized 0,
// the allocated size.
uint64_t attribute_data_size(byte_view attribute);

// The size $MFT's own record gives the MFT: the data size, or the
// initialized size when the data size exceeds the allocated size.
uint64_t mft_data_size(byte_view attribute);

// The run list bytes of a non-resident attribute: from its run-list offset
// (header 0x20) to the end of `attribute`.
byte_view run_list_bytes(byte_view attribute);

}  // namespace ostrel
