#include "exfat/entry_parser.h"

#include <algorithm>

#include "exfat/allocation_bitmap.h"
#include "exfat/allocation_table.h"
#include "exfat/entry_set.h"
#include "volume/device_io.h"

namespace ostrel {

run_list exfat_clip_to_heap(run_list runs, uint64_t cluster_count) {
    const uint64_t heap_end = cluster_count + 2;
    for (size_t i = 0; i < runs.size(); ++i) {
        data_run& run = runs[i];
        if (run.first < 2 || run.first >= heap_end) {
            runs.resize(i);
            break;
        }
        if (run.count > heap_end - run.first) {
            run.count = heap_end - run.first;
            runs.resize(i + 1);
            break;
        }
    }
    return runs;
}

run_list exfat_set_extents(const exfat_set_geometry& geometry, uint8_t flags, uint32_t first_cluster,
                           uint64_t size, bool deleted) {
    const uint64_t heap_end = geometry.cluster_count + 2;
    // Clusters 0 and 1 name no position, and one past the heap lies outside
    // the volume (or in the next one on a disk): no extent may lead there.
    if (geometry.cluster_size == 0 || first_cluster < 2 || first_cluster >= heap_end) return {};
    const uint64_t clusters = size / geometry.cluster_size + (size % geometry.cluster_size != 0);
    if (flags == exfat::flags_fat_chain) {
        if (!geometry.table) return {};
        // A chain cleared on deletion leaves the first cluster alone: the
        // file is taken from the clusters still free rather than read on
        // straight into live files (see free_clusters_from).
        if (deleted && geometry.allocation && clusters > 1 &&
            geometry.table->classify(first_cluster).kind == exfat::entry_class::free) {
            run_list runs = exfat::free_clusters_from(*geometry.allocation, geometry.cluster_count, first_cluster,
                                                      clusters);
            if (!runs.empty()) return runs;
        }
        return exfat_clip_to_heap(exfat::follow_chain(*geometry.table, first_cluster), geometry.cluster_count);
    }
    return {{first_cluster, std::min(clusters, heap_end - first_cluster)}};
}

exfat_entry_parser::exfat_entry_parser(const exfat_set_geometry& geometry, ::stop_token* stop, set_sink sink)
    : geometry_(geometry), stop_(stop), sink_(std::move(sink)) {}

void exfat_entry_parser::open(byte_view file_entry) {
    pending_ = open_set{};
    pending_.record = std::make_shared<tagExFatFileInfoEx>();
    static_cast<exfat_finfo&>(*pending_.record) = exfat_finfo::from_file_entry(file_entry);
}

bool exfat_entry_parser::take_stream(open_set& set, byte_view stream) {
    const unsigned name_length = stream.u8_or(exfat::stream_entry::name_length);
    const uint64_t size = stream.u64_or(exfat::stream_entry::valid_data_length);
    // A set without a name cannot be placed in a folder, and one longer than
    // the volume describes no data it could hold: both are damage.
    if (name_length == 0 || (geometry_.volume_bytes != 0 && size >= geometry_.volume_bytes)) return false;
    tagExFatFileInfoEx& record = *set.record;
    record.deleted = stream[0] == exfat::entry_stream_deleted;
    record.size = size;
    record.runs = exfat_set_extents(geometry_, stream.u8_or(exfat::stream_entry::flags),
                                    stream.u32_or(exfat::stream_entry::first_cluster), size, record.deleted != 0);
    set.has_stream = true;
    set.name_length = name_length;
    set.name.clear();
    set.name.reserve(name_length);  // at most 255 units
    return true;
}

void exfat_entry_parser::take_name(open_set& set, byte_view name) {
    const size_t take = std::min<size_t>(set.name_length - set.name.size(), exfat::name_entry::units);
    for (size_t i = 0; i < take; ++i) set.name.push_back(name.u16_or(exfat::name_entry::characters + 2 * i));
}

void exfat_entry_parser::finish(open_set& set) {
    std::shared_ptr<tagExFatFileInfoEx> record = std::move(set.record);
    record->set_name(std::move(set.name));
    set = open_set{};
    sink_(std::move(record));
}

size_t exfat_entry_parser::parse_whole_set(byte_view piece, size_t offset) {
    const size_t secondary_count = piece.u8_or(offset + exfat::file_entry::secondary_count);
    const size_t set_bytes = (secondary_count + 1) * exfat::entry_bytes;
    if (secondary_count < 2 || !piece.contains(offset, set_bytes)) return 0;
    const byte_view stream = piece.sub(offset + exfat::entry_bytes, exfat::entry_bytes);
    if (!exfat::is_stream_entry(stream[0])) return 0;
    if (!take_stream(pending_, stream)) {
        pending_ = open_set{};
        return set_bytes;  // a broken set is skipped whole
    }
    // The name entries are taken as they come, without looking at their type.
    for (size_t i = 2; i <= secondary_count; ++i) {
        take_name(pending_, piece.sub(offset + i * exfat::entry_bytes, exfat::entry_bytes));
    }
    if (pending_.name.size() < pending_.name_length) {
        // Too few name entries for the name: what follows is read entry by
        // entry, as for a set that does not fit, with only the File entry's
        // fields kept.
        tagExFatFileInfoEx& record = *pending_.record;
        record.deleted = 0;
        record.size = 0;
        record.runs.clear();
        pending_.has_stream = false;
        pending_.name_length = 0;
        pending_.name.clear();
        return 0;
    }
    finish(pending_);
    return set_bytes;
}

void exfat_entry_parser::parse(byte_view piece) {
    for (size_t offset = 0; piece.contains(offset, exfat::entry_bytes);) {
        if (is_stopped(stop_)) return;
        const byte_view entry = piece.sub(offset, exfat::entry_bytes);
        const uint8_t type = entry[0];
        if (exfat::is_file_entry(type)) {
            open(entry);
            const size_t spanned = parse_whole_set(piece, offset);
            offset += spanned ? spanned : exfat::entry_bytes;
            continue;
        }
        if (pending_.record && exfat::is_stream_entry(type)) {
            if (!take_stream(pending_, entry)) pending_ = open_set{};
        } else if (pending_.record && pending_.has_stream && exfat::is_name_entry(type)) {
            take_name(pending_, entry);
            if (pending_.name.size() == pending_.name_length) finish(pending_);
        }
        // Volume labels and every other type are passed over.
        offset += exfat::entry_bytes;
    }
}

}  // namespace ostrel
