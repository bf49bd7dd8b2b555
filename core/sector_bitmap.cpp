#include "core/sector_bitmap.h"

#include "core/recover_impl.h"

#include <algorithm>

namespace ostrel {

sector_bitmap::sector_bitmap(uint64_t unit_count, uint64_t base, uint32_t cluster_size, uint16_t unit,
                             int32_t kind, const recover_impl* mapper, std::shared_ptr<const void> keep_alive)
    : bits_((unit_count + 7) / 8, 0),
      unit_count_(unit_count),
      base_(base),
      cluster_size_(cluster_size),
      unit_(unit),
      kind_(kind),
      mapper_(mapper),
      keep_alive_(std::move(keep_alive)) {}

void sector_bitmap::mark(uint64_t unit) {
    if (unit / 8 < bits_.size()) bits_[unit / 8] |= static_cast<uint8_t>(1u << (unit % 8));
}

bool sector_bitmap::test(uint64_t unit) const {
    return unit / 8 < bits_.size() && (bits_[unit / 8] >> (unit % 8)) & 1u;
}

uint64_t sector_bitmap::cluster_offset(uint64_t cluster) const {
    const bool mapped_by_engine = kind_ == 2 || kind_ == 3 || kind_ == 5;
    if (mapped_by_engine && mapper_) return mapper_->cluster_to_offset(cluster);
    return base_ + cluster * cluster_size_;
}

bool sector_bitmap::test_cluster(uint64_t cluster) const {
    if (unit_ == 0) return false;
    const uint64_t offset = cluster_offset(cluster);
    if (offset < base_) return false;
    return test((offset - base_) / unit_);
}

void sector_bitmap::mark_runs(const run_list& runs, int64_t byte_limit) {
    if (unit_ == 0) return;
    for (const data_run& run : runs) {
        if (byte_limit <= 0) return;
        if (kind_ == 4 && run.first == 0) continue;  // sparse
        const uint64_t offset = cluster_offset(run.first);
        if (offset < base_) continue;
        uint64_t unit = (offset - base_) / unit_;
        // Bytes of the run, saturating instead of wrapping on hostile counts.
        const uint64_t run_bytes =
            run.count > UINT64_MAX / (cluster_size_ ? cluster_size_ : 1) ? UINT64_MAX : run.count * cluster_size_;
        int64_t run_left = run_bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(run_bytes);
        while (run_left > 0 && byte_limit > 0) {
            if (unit / 8 >= bits_.size()) {
                // Units beyond the map are ignored but still use up the limit.
                const int64_t steps = (std::min(run_left, byte_limit) + unit_ - 1) / unit_;
                byte_limit -= steps * unit_;
                break;
            }
            mark(unit++);
            run_left -= unit_;
            byte_limit -= unit_;
        }
    }
}

}  // namespace ostrel
