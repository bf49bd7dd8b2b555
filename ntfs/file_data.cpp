#include "ntfs/file_data.h"

#include "platform/descriptor_io.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "core/recover_impl.h"
#include "ntfs/compression_units.h"
#include "volume/checked_math.h"

namespace ostrel {

namespace {

// The read buffer: 32 clusters, or the whole file rounded up to sectors when
// it is smaller. Both sizes come from the disk, so the clusters counted are
// at most 2 MiB, the largest NTFS has: at most 64 MiB, whatever a damaged
// boot sector says (a larger cluster is then read in several pieces).
uint64_t run_buffer_size(uint32_t cluster_size, uint64_t size) {
    constexpr uint32_t largest_cluster = 2 * 1024 * 1024;
    const uint64_t full = uint64_t{std::min(cluster_size, largest_cluster)} * 32;
    return size < full ? (size + sector_bytes - 1) / sector_bytes * sector_bytes : full;
}

uint64_t deliver_zeros(uint64_t length, uint8_t* buffer, uint64_t buffer_size, data_sink sink, void* context,
                       ::stop_token* stop, int32_t* error) {
    std::fill_n(buffer, buffer_size, uint8_t{0});
    uint64_t delivered = 0;
    while (delivered < length) {
        if (is_stopped(stop)) break;
        const auto count = static_cast<uint32_t>(std::min(buffer_size, length - delivered));
        if (!sink(buffer, count, context, 4, error)) break;
        delivered += count;
    }
    return delivered;
}

// Compressed data goes unit by unit through the LZNT1 reader. Windows only
// compresses data on volumes with clusters of at most 4 KiB; the reader
// refuses units it cannot hold.
uint64_t read_compressed(const ntfs_cluster_source& source, const run_list& runs, uint64_t size,
                         uint8_t compression_unit_log2, data_sink sink, void* context, ::stop_token* stop,
                         int32_t* error) {
    const cluster_reader read = [&](uint64_t first, uint64_t count, uint8_t* out) {
        if (is_stopped(stop)) return false;
        const auto offset = checked_mul(first, source.cluster_size);
        const auto bytes = checked_mul(count, source.cluster_size);
        if (!offset || !bytes || *bytes > UINT32_MAX || !checked_add(*offset, source.volume_offset)) return false;
        const int32_t got = read_at(source.device, out, *offset + source.volume_offset, static_cast<uint32_t>(*bytes));
        if (got != static_cast<int32_t>(*bytes)) {
            if (error) *error = platform::last_error();
            return false;
        }
        return true;
    };
    const content_sink deliver = [&](const uint8_t* data, size_t count) {
        // The sink takes at most 4 GiB at a time; a unit is far smaller.
        return sink(data, static_cast<uint32_t>(count), context, 4, error);
    };
    return read_compressed_runs(runs, compression_unit_clusters(compression_unit_log2), source.cluster_size, size,
                                read, deliver);
}

}  // namespace

uint64_t read_ntfs_runs(const ntfs_cluster_source& source, const run_list& runs, uint64_t size,
                        uint8_t compression_unit_log2, data_sink sink, void* context, ::stop_token* stop,
                        int32_t* error) {
    if (source.cluster_size == 0 || size == 0 || !sink) return 0;
    if (compression_unit_log2 != 0) {
        return read_compressed(source, runs, size, compression_unit_log2, sink, context, stop, error);
    }
    const uint64_t buffer_size = run_buffer_size(source.cluster_size, size);
    if (buffer_size == 0 || buffer_size > UINT32_MAX) return 0;
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(buffer_size)]);
    if (!buffer) return 0;

    uint64_t owed = size;
    for (size_t i = 0; i < runs.size() && owed > 0; ++i) {
        if (is_stopped(stop)) break;
        const data_run& run = runs[i];
        // A run hands on no more than its own clusters: when the list was cut
        // (a run leaving the volume), reading on past the last good run would
        // fill the file with whatever follows, so the file comes out short
        // and the caller says it is incomplete.
        const auto run_bytes = checked_mul(run.count, source.cluster_size);
        const uint64_t length = !run_bytes || *run_bytes > owed ? owed : *run_bytes;
        uint64_t delivered;
        if (run.first == 0) {
            delivered = deliver_zeros(length, buffer.get(), buffer_size, sink, context, stop, error);
        } else {
            const auto position = checked_mul(run.first, source.cluster_size);
            const auto device_position = position ? checked_add(*position, source.volume_offset) : std::nullopt;
            if (!device_position) break;
            delivered = copy_range(source.device, buffer.get(), *device_position, length,
                                   static_cast<uint32_t>(buffer_size), sink, context, stop, error);
        }
        owed -= delivered;
        if (delivered < length) break;
    }
    return size - owed;
}

std::vector<uint8_t> read_ntfs_runs_to_memory(const ntfs_cluster_source& source, const run_list& runs,
                                              uint64_t size, uint64_t limit) {
    write_buffer_info data;
    if (size == 0 || size > limit) return {};
    try {
        data.bytes.reserve(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (read_ntfs_runs(source, runs, size, 0, append_to_memory, &data, nullptr, nullptr) != size) return {};
    return std::move(data.bytes);
}

}  // namespace ostrel
