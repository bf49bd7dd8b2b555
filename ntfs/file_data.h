// Reading an NTFS file's data from its runs.
#pragma once

#include <cstdint>

#include "core/node.h"
#include "volume/device_io.h"

struct stop_token;

namespace ostrel {

// Where cluster runs of one volume lie on a device.
struct ntfs_cluster_source {
    int32_t device = 0;
    uint32_t cluster_size = 0;
    uint64_t volume_offset = 0;
};

// Hands `size` bytes of the data the runs describe to `sink`, run by run, in
// reads of up to 32 clusters; the last run is cut (or stretched) to what is
// still owed. A sparse run (start cluster 0, where only the boot sector can
// lie) delivers zeros rather than the volume's first clusters. Data stored
// in compression units (`compression_unit_log2` not 0) is delivered
// decompressed. Returns the bytes delivered; a failed read stores the error
// number through `error` and ends the read.
uint64_t read_ntfs_runs(const ntfs_cluster_source& source, const run_list& runs, uint64_t size,
                        uint8_t compression_unit_log2, data_sink sink, void* context, ::stop_token* stop,
                        int32_t* error);

// Reads the runs into memory, at most `limit` bytes; empty when the size is
// above the limit or the read comes up short.
std::vector<uint8_t> read_ntfs_runs_to_memory(const ntfs_cluster_source& source, const run_list& runs,
                                              uint64_t size, uint64_t limit);

}  // namespace ostrel
