#include "core/sector_bitmap.h"

#include "core/recover_impl.h"
#include "volume/checked_math.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ostrel {

namespace {

// How many of the `unit_count` units (from device byte `base`) lie on the
// device `fd` reads: all of them when the last one reads, otherwise up to the
// first unit a binary search finds unreadable. The counts come from the boot
// sector, and discovery takes a volume cut short while its metadata is
// inside, so a claim of terabytes on a small device must not size the map;
// units past the device's end read as free, and reads there fail anyway.
uint64_t units_on_device(const recover_impl* mapper, uint64_t unit_count, uint64_t base, uint16_t unit) {
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
    return unit_count;
}

size_t chunk_count(uint64_t units) {
    const uint64_t chunks = units / sector_bitmap::chunk_units + (units % sector_bitmap::chunk_units != 0);
    if (chunks > SIZE_MAX / sizeof(void*)) throw std::bad_alloc();  // a 32-bit host
    return static_cast<size_t>(chunks);
}

// Sets bits [from, to) of a chunk.
void set_bits(uint8_t* bits, uint64_t from, uint64_t to) {
    for (; from < to && from % 8 != 0; ++from) bits[from / 8] |= static_cast<uint8_t>(1u << (from % 8));
    const uint64_t whole_bytes = (to - from) / 8;
    std::memset(bits + from / 8, 0xFF, static_cast<size_t>(whole_bytes));
    for (from += whole_bytes * 8; from < to; ++from) bits[from / 8] |= static_cast<uint8_t>(1u << (from % 8));
}

}  // namespace

sector_bitmap::sector_bitmap(uint64_t unit_count, uint64_t base, uint32_t cluster_size, uint16_t unit,
                             int32_t kind, const recover_impl* mapper, std::shared_ptr<const void> keep_alive)
    : mapped_units_(units_on_device(mapper, unit_count, base, unit)),
      unit_count_(unit_count),
      base_(base),
      cluster_size_(cluster_size),
      unit_(unit),
      kind_(kind),
      mapper_(mapper),
      keep_alive_(std::move(keep_alive)) {
    chunks_.resize(chunk_count(mapped_units_));
    full_.resize(chunks_.size());
}

uint64_t sector_bitmap::chunk_end(size_t chunk) const {
    return std::min((chunk + 1) * chunk_units, mapped_units_);
}

uint8_t* sector_bitmap::chunk_bits(size_t chunk) {
    if (!chunks_[chunk]) {
        const uint64_t units = chunk_end(chunk) - chunk * chunk_units;
        chunks_[chunk].reset(new (std::nothrow) uint8_t[static_cast<size_t>((units + 7) / 8)]());
    }
    return chunks_[chunk].get();
}

void sector_bitmap::mark_units(uint64_t first, uint64_t count) {
    if (first >= mapped_units_) return;
    const uint64_t end = count > mapped_units_ - first ? mapped_units_ : first + count;
    while (first < end) {
        const size_t chunk = static_cast<size_t>(first / chunk_units);
        const uint64_t start = chunk * chunk_units;
        const uint64_t stop = std::min(end, chunk_end(chunk));
        if (!full_[chunk]) {
            if (first == start && stop == chunk_end(chunk)) {
                full_[chunk] = true;
                chunks_[chunk].reset();
            } else if (uint8_t* bits = chunk_bits(chunk)) {
                set_bits(bits, first - start, stop - start);
            } else {
                // Out of memory: the chunk counts as occupied. The walks
                // that use the map to stop at folders already seen still
                // end, and the deep scan passes over it.
                full_[chunk] = true;
            }
        }
        first = stop;
    }
}

bool sector_bitmap::test(uint64_t unit) const {
    if (unit >= mapped_units_) return false;
    const size_t chunk = static_cast<size_t>(unit / chunk_units);
    if (full_[chunk]) return true;
    const uint8_t* bits = chunks_[chunk].get();
    const uint64_t at = unit - chunk * chunk_units;
    return bits && (bits[at / 8] >> (at % 8)) & 1u;
}

uint64_t sector_bitmap::next_unit(uint64_t from, bool occupied) const {
    while (from < mapped_units_) {
        const size_t chunk = static_cast<size_t>(from / chunk_units);
        const uint64_t start = chunk * chunk_units;
        const uint64_t end = chunk_end(chunk);
        const uint8_t* bits = chunks_[chunk].get();
        if (full_[chunk] || !bits) {
            if (full_[chunk] == occupied) return from;
            from = end;
            continue;
        }
        // Whole bytes that cannot hold the bit wanted are skipped at once.
        const uint8_t skip_byte = occupied ? 0x00 : 0xFF;
        for (uint64_t at = from - start; at < end - start; ++at) {
            if (at % 8 == 0 && bits[at / 8] == skip_byte) {
                at += 7;
                continue;
            }
            if (static_cast<bool>((bits[at / 8] >> (at % 8)) & 1u) == occupied) return start + at;
        }
        from = end;
    }
    return occupied ? UINT64_MAX : from;
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
        // Bytes of the run, saturating instead of wrapping on hostile counts.
        const uint64_t run_bytes =
            run.count > UINT64_MAX / (cluster_size_ ? cluster_size_ : 1) ? UINT64_MAX : run.count * cluster_size_;
        const int64_t run_left =
            run_bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(run_bytes);
        // Whole units: the last one marked may hold only the run's (or the
        // limit's) last bytes, and it uses up the limit in full. Units beyond
        // the map are not marked but use up the limit all the same.
        const int64_t span = std::min(run_left, byte_limit);
        if (span <= 0) continue;
        mark_units((offset - base_) / unit_, (static_cast<uint64_t>(span) - 1) / unit_ + 1);
        byte_limit -= span;
        if (span % unit_ != 0) byte_limit -= unit_ - span % unit_;
    }
}

}  // namespace ostrel
