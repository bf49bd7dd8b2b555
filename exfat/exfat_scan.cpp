#include "exfat/exfat_scan.h"

#include <algorithm>
#include <new>

#include "core/recycle/recycle_bin.h"
#include "core/report/report.h"
#include "core/scan_frame.h"
#include "core/sector_bitmap.h"
#include "engine/host_table.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_recover.h"
#include "ostrel/ostrel.h"
#include "volume/checked_math.h"
#include "volume/device_io.h"

namespace ostrel {

namespace {

// Folder data is read 32 clusters at a time, 8 for clusters above 8 MiB.
constexpr uint64_t piece_clusters = 32;
constexpr uint64_t large_piece_clusters = 8;
constexpr uint64_t large_cluster_bytes = 0x800001;
// 8 of the largest clusters exFAT has (32 MiB): the cluster size comes from
// the boot sector and must not size a buffer beyond what a volume can need.
constexpr uint64_t max_piece_bytes = 8 * (uint64_t(32) << 20);

// Real paths stay far below this depth (a Windows path ends at 32,767
// characters); a deeper walk only comes from damaged folders pointing into
// each other, and each level costs a walk up its ancestors.
constexpr int max_folder_depth = 1024;

// Mark limits are signed byte counts; sizes beyond that mark what the
// extents hold.
int64_t mark_limit(uint64_t size) { return static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)); }

}  // namespace

exfat_directory_walk::exfat_directory_walk(exfat_recover& engine, sector_bitmap& bitmap)
    : engine_(engine), bitmap_(bitmap) {
    const exfat_geometry& g = engine_.boot_geometry();
    set_geometry_ = {engine_.table.get(), engine_.cluster_size(), g.cluster_count, engine_.volume_size(),
                     engine_.volume_bitmap.get()};
}

bool exfat_directory_walk::stopped() const { return is_stopped(engine_.stop_token); }

void exfat_directory_walk::read_extents(const run_list& extents, bool deleted, exfat_entry_parser& parser,
                                        bool mark_units) {
    const uint64_t cluster_bytes = engine_.cluster_size();
    if (extents.empty() || cluster_bytes == 0) return;
    const exfat_geometry& g = engine_.boot_geometry();
    uint64_t longest = 0;
    for (const data_run& run : extents) longest = std::max(longest, run.count);
    // Extents lie inside the cluster heap (at most 2^32 clusters of 32 MiB),
    // so their byte counts do not overflow; the buffer is no larger than a
    // piece or the longest extent.
    const uint64_t piece = std::min({cluster_bytes * (cluster_bytes >= large_cluster_bytes ? large_piece_clusters
                                                                                           : piece_clusters),
                                     max_piece_bytes, longest * cluster_bytes});
    if (piece == 0) return;
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(piece));
    } catch (const std::bad_alloc&) {
        return;
    }
    for (const data_run& run : extents) {
        const auto position = g.cluster_offset(run.first, engine_.volume_offset);
        if (!position) continue;
        const uint64_t total = run.count * cluster_bytes;
        for (uint64_t done = 0; done < total;) {
            if (stopped()) return;
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(piece, total - done));
            // A read that falls short ends the folder.
            if (read_at(engine_.d_scan, buffer.data(), *position + done, want) != static_cast<int32_t>(want)) return;
            const byte_view bytes(buffer.data(), want);
            if (mark_units && bitmap_.unit() != 0) {
                for (size_t unit = 0; unit + 512 <= want; unit += 512) {
                    if (!exfat::is_exfat_directory_buffer(bytes.sub(unit, 512), set_geometry_.volume_bytes,
                                                          g.root_cluster, g.cluster_count)) {
                        continue;
                    }
                    const uint64_t at = *position + done + unit;
                    if (at >= bitmap_.base()) bitmap_.mark((at - bitmap_.base()) / bitmap_.unit());
                }
            }
            // In a deleted folder, pieces reused by other data hold no entries.
            const bool skip = deleted && !exfat::is_exfat_directory_buffer(bytes, set_geometry_.volume_bytes,
                                                                           g.root_cluster, g.cluster_count);
            if (!skip) parser.parse(bytes);
            done += want;
        }
    }
}

void exfat_directory_walk::read_folder(const std::shared_ptr<tagExFatFolderInfoEx>& folder, const run_list& extents,
                                       int depth, bool mark_units) {
    // A set never continues into another folder, so each folder gets its own
    // parser and with it its own open set.
    exfat_entry_parser parser(set_geometry_, engine_.stop_token, [&](std::shared_ptr<tagExFatFileInfoEx> record) {
        record->parent = folder;
        if (folder->deleted) record->deleted = 1;
        if (record->is_directory()) {
            queue_.push_back({std::move(record), folder, depth + 1});
            return;
        }
        folder->add_file(record->name, record);
        // Only live files occupy their clusters: a deleted file's space stays
        // open to carving.
        if (!record->deleted) bitmap_.mark_runs(record->runs, mark_limit(record->size));
    });
    read_extents(extents, folder->deleted, parser, mark_units);
}

void exfat_directory_walk::walk_root(const std::shared_ptr<tagExFatFolderInfoEx>& root, const run_list& extents) {
    if (!extents.empty()) live_walked_.insert(extents.front().first);
    read_folder(root, extents, 0, true);
}

void exfat_directory_walk::walk_folder(const std::shared_ptr<tagExFatFolderInfoEx>& folder, const run_list& extents) {
    int depth = 0;
    for (auto up = folder->parent.lock(); up && depth < max_folder_depth; up = up->parent.lock()) ++depth;
    if (!folder->deleted) bitmap_.mark_runs(extents, INT64_MAX);
    if (!extents.empty()) (folder->deleted ? deleted_walked_ : live_walked_).insert(extents.front().first);
    read_folder(folder, extents, depth, false);
}

bool exfat_directory_walk::should_walk(const queued_folder& queued) {
    const tagExFatFileInfoEx& record = *queued.record;
    if (record.runs.empty() || queued.depth > max_folder_depth) return false;
    const uint64_t first = record.runs.front().first;
    // A live folder is walked once: walking it marks its clusters. The set
    // of walked folders also ends the walk where the map cannot tell (a
    // volume length too short for the folder's sectors).
    if (!record.deleted) return !bitmap_.test_cluster(first) && live_walked_.insert(first).second;
    // Deleted folders are never marked. One that repeats an ancestor's
    // cluster would walk itself again without end, and one whose cluster
    // another deleted folder walked already would add the same entries
    // again (and, on a damaged volume, multiply them level by level).
    for (std::shared_ptr<tagFolderInfo> up = queued.parent; up; up = up->parent.lock()) {
        const auto* folder = dynamic_cast<const tagExFatFolderInfoEx*>(up.get());
        if (folder && folder->first_cluster == first) return false;
    }
    return deleted_walked_.insert(first).second;
}

std::shared_ptr<tagExFatFolderInfoEx> exfat_directory_walk::attach(const queued_folder& queued) {
    const tagExFatFileInfoEx& record = *queued.record;
    auto folder = std::make_shared<tagExFatFolderInfoEx>();
    static_cast<exfat_finfo&>(*folder) = record;
    folder->name = record.name;
    folder->deleted = record.deleted || queued.parent->deleted;
    folder->first_cluster = record.runs.empty() ? 0 : record.runs.front().first;
    folder->group = queued.parent->group;
    queued.parent->add_folder(folder->name, folder);
    return folder;
}

void exfat_directory_walk::walk_queue() {
    while (!queue_.empty() && !stopped()) {
        const queued_folder queued = std::move(queue_.front());
        queue_.pop_front();
        if (!should_walk(queued)) continue;
        const tagExFatFileInfoEx& record = *queued.record;
        if (!record.deleted) bitmap_.mark_runs(record.runs, mark_limit(record.size));
        read_folder(attach(queued), record.runs, queued.depth, false);
    }
}

std::optional<std::pair<std::shared_ptr<tagExFatFolderInfoEx>, run_list>>
exfat_directory_walk::navigate(const std::shared_ptr<tagExFatFolderInfoEx>& root, const run_list& root_extents,
                               const std::vector<std::u16string>& components) {
    std::shared_ptr<tagExFatFolderInfoEx> current = root;
    run_list extents = root_extents;
    for (const std::u16string& component : components) {
        if (stopped()) return std::nullopt;
        std::shared_ptr<tagExFatFolderInfoEx> reused;
        for (const auto& [name, child] : current->folders) {
            if (navigated_.count(child.get()) && name && equal_ignoring_case(*name, component)) {
                reused = std::static_pointer_cast<tagExFatFolderInfoEx>(child);
                break;
            }
        }
        if (reused) {
            extents = navigated_[reused.get()];
            current = reused;
            continue;
        }
        std::shared_ptr<tagExFatFileInfoEx> live, deleted;
        exfat_entry_parser parser(set_geometry_, engine_.stop_token, [&](std::shared_ptr<tagExFatFileInfoEx> record) {
            if (!record->is_directory() || !equal_ignoring_case(record->name_text(), component)) return;
            std::shared_ptr<tagExFatFileInfoEx>& slot = record->deleted || current->deleted ? deleted : live;
            if (!slot) slot = std::move(record);
        });
        read_extents(extents, current->deleted, parser, false);
        const std::shared_ptr<tagExFatFileInfoEx> match = live ? live : deleted;
        if (!match) return std::nullopt;
        auto folder = std::make_shared<tagExFatFolderInfoEx>();
        static_cast<exfat_finfo&>(*folder) = *match;
        folder->name = match->name;
        folder->deleted = match->deleted || current->deleted;
        folder->first_cluster = match->runs.empty() ? 0 : match->runs.front().first;
        folder->group = current->group;
        current->insert_folder_unreported(folder->name, folder);
        navigated_[folder.get()] = match->runs;
        extents = match->runs;
        current = folder;
    }
    return std::make_pair(current, extents);
}

bool exfat_recover::scan(std::shared_ptr<tagFolderInfo>& root_out, const char16_t* path) {
    if (d_scan < 1 || !boot_sector) return false;
    send_event(OSTREL_EVENT_SCAN_STARTED);
    std::vector<std::u16string> components;
    if (path) {
        start_path = path;
        components = split_path(start_path);
        if (!components.empty()) components.erase(components.begin());  // the volume itself
        if (components.empty()) return fail_scan(OSTREL_STATUS_EMPTY_START_PATH);
    }
    // Without a usable cluster size no table entry names a position.
    if (!geometry_.plausible()) return fail_scan(OSTREL_STATUS_TABLE_UNREADABLE);
    switch (load_table()) {
        case exfat::table_load::no_memory: return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
        case exfat::table_load::unreadable: return fail_scan(OSTREL_STATUS_TABLE_UNREADABLE);
        case exfat::table_load::loaded: break;
    }
    if (!load_bitmap()) return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
    try {
        // One bit per sector. Sectors past the last cluster the loaded table
        // can describe hold no file data, so they need no bits: a length
        // field alone cannot size the map beyond what the FAT read from the
        // device describes.
        const auto heap_sectors = checked_mul(table->entry_count(), geometry_.sectors_per_cluster());
        const auto heap_end = heap_sectors ? checked_add(*heap_sectors, geometry_.cluster_heap_offset) : std::nullopt;
        const uint64_t units = std::min(geometry_.volume_length, heap_end.value_or(UINT64_MAX));
        allocation_bitmap = std::make_shared<sector_bitmap>(units, volume_offset, cluster_size(),
                                                            static_cast<uint16_t>(geometry_.bytes_per_sector()),
                                                            fs_type(), this);
    } catch (const std::bad_alloc&) {
        allocation_bitmap.reset();
        return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
    }
    const run_list root_runs = exfat_clip_to_heap(root_extents(), geometry_.cluster_count);
    auto root = std::make_shared<tagExFatFolderInfoEx>();
    root->exfat_finfo::attributes = exfat_attribute_directory;
    root->first_cluster = root_runs.empty() ? 0 : root_runs.front().first;

    exfat_directory_walk walk(*this, *allocation_bitmap);
    if (components.empty()) {
        walk.walk_root(root, root_runs);
        walk.walk_queue();
        restore_recycle_bin(*this, false, root);
        finish_directory_phase(*this);
    } else {
        const bool target_is_bin = components.size() == 1 && equal_ignoring_case(components[0], recycle_bin_name);
        const auto target = walk.navigate(root, root_runs, components);
        if (!target) {
            root_out = root;
            return fail_scan(OSTREL_STATUS_START_PATH_NOT_FOUND);
        }
        report_folder_tree(root);
        walk.walk_folder(target->first, target->second);
        if (!is_stopped(stop_token) && !target_is_bin) {
            if (const auto bin = walk.navigate(root, root_runs, {std::u16string(recycle_bin_name)})) {
                report_folder(item_kind_folder, bin->first, nullptr, 0);
                walk.walk_folder(bin->first, bin->second);
            }
        }
        walk.walk_queue();
        restore_recycle_bin(*this, target_is_bin, root);
    }
    root_out = root;
    return true;
}

}  // namespace ostrel
