#include "ntfs/compression_units.h"

#include <algorithm>
#include <vector>

#include "ntfs/lznt1.h"
#include "volume/checked_math.h"

namespace ostrel {

compression_unit_walk::compression_unit_walk(std::span<const data_run> runs, uint64_t unit_clusters)
    : runs_(runs), unit_clusters_(unit_clusters) {}

std::optional<compression_unit> compression_unit_walk::next() {
    if (unit_clusters_ == 0) return std::nullopt;
    compression_unit unit;
    unit.first_vcn = vcn_;
    uint64_t stored = 0;
    while (unit.clusters < unit_clusters_ && run_ < runs_.size()) {
        const data_run& run = runs_[run_];
        const uint64_t take = std::min(run.count - used_, unit_clusters_ - unit.clusters);
        if (take > 0 && run.first != 0) {
            // A stored run's clusters past the end of 64-bit cluster numbers
            // end the walk: no device holds them.
            const auto first = checked_add(run.first, used_);
            if (!first || !checked_add(*first, take)) {
                run_ = runs_.size();
                break;
            }
            unit.stored.push_back({*first, take});
            stored += take;
        }
        unit.clusters += take;
        used_ += take;
        if (used_ == run.count) {
            ++run_;
            used_ = 0;
        }
    }
    if (unit.clusters == 0) return std::nullopt;
    const auto next_vcn = checked_add(vcn_, unit.clusters);
    if (!next_vcn) return std::nullopt;
    vcn_ = *next_vcn;
    unit.kind = stored == 0                ? unit_kind::sparse
                : stored == unit.clusters ? unit_kind::stored
                                          : unit_kind::compressed;
    return unit;
}

namespace {

// Reads a unit's stored ranges one after another into `out` (which the
// caller sized for them).
bool read_stored(const compression_unit& unit, uint32_t cluster_size, const cluster_reader& read, uint8_t* out) {
    for (const data_run& range : unit.stored) {
        if (!read(range.first, range.count, out)) return false;
        out += range.count * cluster_size;
    }
    return true;
}

}  // namespace

uint64_t read_compressed_runs(std::span<const data_run> runs, uint64_t unit_clusters, uint32_t cluster_size,
                              uint64_t file_size, const cluster_reader& read, const content_sink& sink) {
    if (cluster_size == 0 || unit_clusters == 0) return 0;
    const auto unit_bytes = checked_mul(unit_clusters, cluster_size);
    if (!unit_bytes || *unit_bytes > max_compression_unit_bytes) return 0;

    std::vector<uint8_t> content(static_cast<size_t>(*unit_bytes));
    std::vector<uint8_t> stream;  // a compressed unit's stored clusters
    compression_unit_walk walk(runs, unit_clusters);
    uint64_t delivered = 0;
    while (delivered < file_size) {
        const auto unit = walk.next();
        if (!unit) break;
        // Within the unit size, so within `content`.
        size_t size = static_cast<size_t>(unit->clusters * cluster_size);
        switch (unit->kind) {
        case unit_kind::sparse:
            std::fill_n(content.begin(), size, uint8_t{0});
            break;
        case unit_kind::stored:
            if (!read_stored(*unit, cluster_size, read, content.data())) return delivered;
            break;
        case unit_kind::compressed: {
            uint64_t stored = 0;
            for (const data_run& range : unit->stored) stored += range.count;
            stream.resize(static_cast<size_t>(stored * cluster_size));
            if (!read_stored(*unit, cluster_size, read, stream.data())) return delivered;
            // The stream stands for a whole unit even where the runs end
            // inside it; a corrupt one keeps what decoded and zeros after.
            std::fill(content.begin(), content.end(), uint8_t{0});
            lznt1_decompress(stream, content);
            size = content.size();
            break;
        }
        }
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, file_size - delivered));
        if (!sink(content.data(), piece)) break;
        delivered += piece;
    }
    return delivered;
}

}  // namespace ostrel
