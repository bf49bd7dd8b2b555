#include "core/sector_bitmap.h"

#include "core/recover_impl.h"
#include "volume/checked_math.h"

#include <algorithm>
#include <new>

namespace ostrel {

namespace {

// The bytes of a map of the units of `unit_count` (from device byte `base`)
// that lie on the device `fd` reads: all of them when the last one reads,
// otherwise up to the first unit a binary search finds unreadable. The
// counts come from the boot sector, and discovery takes a volume cut short
// while its metadata is inside, so a claim of terabytes on a small device
// must not size the map; units past the device's end read as free, and
// reads there fail anyway.
size_t map_bytes(const recover_impl* mapper, uint64_t unit_count, uint64_t base, uint16_t unit) {
    if (unit == 0) return 0;  // such a map marks nothing
    const int32_t fd = mapper ? mapper->d_scan : 0;
    auto readable = [&](uint64_t index) {
        const auto at = checked_mul(index, unit);
        const auto offset = at ? checked_add(base, *at) : std::nullopt;
        uint8_t byte;
        return offset && read_at(fd, &byte, *offset, 1) == 1;
    };
    if (fd > 0 && unit_count > 0 && !readable(unit_count - 1)) {
        uint64_t low = 0, high = unit_count - 1;  // unit `high` does not read
        if (!readable(0)) {
            high = 0;
        } else {
            while (high - low > 1) {
                const uint64_t middle = low + (high - low) / 2;
                if (readable(middle)) {
                    low = middle;
                } else {
                    high = middle;
                }
            }
        }
        unit_count = high;
    }
    const uint64_t bytes = (unit_count + 7) / 8;
    if (bytes > SIZE_MAX) throw std::bad_alloc();  // a 32-bit host
    return static_cast<size_t>(bytes);
}

}  // namespace

sector_bitmap::sector_bitmap(uint64_t unit_count, uint64_t base, uint32_t cluster_size, uint16_t unit,
                             int32_t kind, const recover_impl* mapper, std::shared_ptr<const void> keep_alive)
    : bits_(map_bytes(mapper, unit_count, base, unit), 0),
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
