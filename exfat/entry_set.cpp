#include "exfat/entry_set.h"

#include "exfat/allocation_bitmap.h"

namespace ostrel::exfat {

namespace {

bool is_benign(uint8_t type) {
    switch (type) {
        case entry_allocation_bitmap:
        case entry_upcase_table:
        case entry_volume_label:
        case entry_label_deleted:
        case entry_guid:
        case entry_padding:
        case entry_acl: return true;
        default: return false;
    }
}

struct test_limits {
    uint64_t volume_bytes;
    uint64_t lowest_cluster;
    uint64_t cluster_limit;
};

// A Stream Extension's own fields: a name, a length inside the volume, and a
// first cluster inside the limits when there is data.
bool stream_fields_plausible(byte_view entry, const test_limits& limits) {
    if (entry.u8_or(stream_entry::name_length) == 0) return false;
    const uint64_t length = entry.u64_or(stream_entry::valid_data_length);
    if (length >= limits.volume_bytes) return false;
    if (length == 0) return true;
    const uint32_t first = entry.u32_or(stream_entry::first_cluster);
    return first >= limits.lowest_cluster && first < limits.cluster_limit;
}

bool name_entry_plausible(byte_view entry) {
    return entry.u8_or(name_entry::flags) == 0 && entry.u16_or(name_entry::characters) != 0;
}

// The set of the File entry at `offset`, as far as it lies inside `bytes`.
bool set_plausible(byte_view bytes, size_t offset, unsigned secondary_count, const test_limits& limits) {
    const byte_view stream = bytes.sub(offset + entry_bytes, entry_bytes);
    if (stream.empty()) return true;  // the set goes on past the buffer
    if (!is_stream_entry(stream[0]) || !stream_fields_plausible(stream, limits)) return false;
    if (uint64_t{secondary_count - 1} * name_entry::units < stream.u8_or(stream_entry::name_length)) return false;
    for (unsigned i = 2; i <= secondary_count; ++i) {
        const byte_view name = bytes.sub(offset + i * entry_bytes, entry_bytes);
        if (name.empty()) break;
        if (!is_name_entry(name[0])) return false;
    }
    return true;
}

}  // namespace

bool is_exfat_directory_buffer(byte_view bytes, uint64_t volume_bytes, uint64_t lowest_cluster,
                               uint64_t cluster_limit) {
    if (bytes.size() < 512 || bytes[0] == entry_end) return false;
    const test_limits limits{volume_bytes, lowest_cluster, cluster_limit};
    bool accepted = false;
    size_t offset = 0;
    while (bytes.contains(offset, entry_bytes)) {
        const byte_view entry = bytes.sub(offset, entry_bytes);
        const uint8_t type = entry[0];
        if (is_file_entry(type)) {
            const unsigned secondary_count = entry.u8_or(file_entry::secondary_count);
            if (secondary_count < 2) return false;
            if (offset >= 4 * size_t{secondary_count} + 4) {
                if (!set_plausible(bytes, offset, secondary_count, limits)) return false;
                accepted = true;
                offset += (size_t{secondary_count} + 1) * entry_bytes;
            } else {
                offset += entry_bytes;  // the entries behind it are judged one by one
            }
        } else if (is_stream_entry(type)) {
            const byte_view next = bytes.sub(offset + entry_bytes, entry_bytes);
            if (!next.empty() && !is_name_entry(next[0])) return false;
            if (!stream_fields_plausible(entry, limits)) return false;
            accepted = true;
            offset += entry_bytes;
        } else if (is_name_entry(type)) {
            if (!name_entry_plausible(entry)) return false;
            accepted = true;
            offset += entry_bytes;
        } else if (is_benign(type)) {
            offset += entry_bytes;
        } else if (type == entry_end) {
            // The end of the entries: only after a complete-looking set.
            for (size_t i = 0; i < entry_bytes; ++i) {
                if (entry[i] != 0) return false;
            }
            const byte_view previous = offset >= entry_bytes ? bytes.sub(offset - entry_bytes, entry_bytes) : byte_view();
            return accepted && !previous.empty() && is_name_entry(previous[0]) && name_entry_plausible(previous);
        } else {
            return false;
        }
    }
    return accepted;
}

}  // namespace ostrel::exfat
