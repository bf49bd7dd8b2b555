#include "fat/fat_scan.h"

#include <algorithm>
#include <new>

#include "core/recycle/recycle_bin.h"
#include "core/report/report.h"
#include "core/scan_frame.h"
#include "core/sector_bitmap.h"
#include "engine/host_table.h"
#include "fat/dir_entry.h"
#include "fat/fat_recover.h"
#include "ostrel/ostrel.h"
#include "volume/device_io.h"

namespace ostrel {

namespace {

// Real paths stay far below this depth (Windows paths end at 32,767
// characters); a deeper walk only comes from a damaged volume whose deleted
// folders point into each other, and each level holds a read buffer.
constexpr int max_folder_depth = 1024;

// Directory data is read up to 64 clusters at a time, and never more than
// 4 MiB (64 clusters of 64 KiB, the largest FAT clusters): the cluster size
// comes from the boot sector, and a damaged one must not size the buffer.
constexpr uint64_t folder_read_clusters = 64;
constexpr uint64_t max_folder_read_bytes = 4 * 1024 * 1024;

bool is_dot_entry(const std::u16string& name) { return name == u"." || name == u".."; }

}  // namespace

fat_directory_walk::fat_directory_walk(fat_recover& engine, const fat_table& table, sector_bitmap* bitmap)
    : engine_(engine), table_(table), bitmap_(bitmap) {}

bool fat_directory_walk::stopped() const { return is_stopped(engine_.stop_token); }

void fat_directory_walk::mark_sector(sector_bitmap* mark, uint64_t position) const {
    if (!mark || mark->unit() == 0 || position < mark->base()) return;
    mark->mark((position - mark->base()) / mark->unit());
}

void fat_directory_walk::walk_root(const std::shared_ptr<tagFatFolderInfoEx>& root) {
    const fat_layout& layout = engine_.layout();
    if (layout.is_fat32) {
        walk_folder(root, bitmap_);
        return;
    }
    // FAT16: the fixed root region, in pieces of up to two clusters.
    walk_context context{root, bitmap_, {}, 0};
    const uint64_t start = layout.root_directory_offset();
    const uint64_t total = layout.root_directory_bytes();
    // No larger than the region (65,535 entries at most, 2 MiB), whatever
    // cluster size the boot sector claims.
    const uint64_t piece_bytes = std::max<uint64_t>(std::min(2 * layout.cluster_bytes(), total), fat_entry_bytes);
    std::vector<uint8_t> buffer(static_cast<size_t>(piece_bytes));
    for (uint64_t done = 0; done < total;) {
        if (stopped()) return;
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), total - done));
        const int32_t got = read_at(engine_.d_scan, buffer.data(), start + done, want);
        if (got <= 0) return;
        if (static_cast<size_t>(got) >= fat_entry_bytes && !walk_piece(context, buffer.data(), got, start + done)) return;
        done += static_cast<uint64_t>(got);
    }
}

void fat_directory_walk::walk_folder(const std::shared_ptr<tagFatFolderInfoEx>& folder, sector_bitmap* mark) {
    walk_context context{folder, mark, {}, 0};
    walk_chain(context, folder->first_cluster);
}

void fat_directory_walk::walk_chain(walk_context& context, uint32_t first_cluster) {
    const fat_layout& layout = engine_.layout();
    const run_list runs = follow_chain(table_, layout, first_cluster, engine_.stop_token);
    const uint64_t cluster_bytes = layout.cluster_bytes();
    if (runs.empty() || cluster_bytes == 0) return;
    uint64_t longest = 0;
    for (const data_run& run : runs) longest = std::max(longest, run.count);
    std::vector<uint8_t> buffer;
    try {
        // The longest run, up to 64 clusters and 4 MiB; a longer run is
        // read piece by piece. (64 x the largest cluster fits 64 bits.)
        buffer.resize(static_cast<size_t>(
            std::min(std::min(longest, folder_read_clusters) * cluster_bytes, max_folder_read_bytes)));
    } catch (const std::bad_alloc&) {
        return;
    }
    for (const data_run& run : runs) {
        const uint64_t position = layout.cluster_offset(run.first);
        if (position == 0) return;
        const uint64_t run_bytes = run.count * cluster_bytes;
        for (uint64_t done = 0; done < run_bytes;) {
            if (stopped()) break;
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), run_bytes - done));
            const int32_t got = read_at(engine_.d_scan, buffer.data(), position + done, want);
            if (got <= 0) break;  // only this run is left
            if (!walk_piece(context, buffer.data(), static_cast<size_t>(got), position + done)) return;
            done += static_cast<uint64_t>(got);
        }
    }
}

bool fat_directory_walk::walk_piece(walk_context& context, const uint8_t* bytes, size_t size, uint64_t position) {
    if (!context.folder || size == 0) return false;
    const uint64_t cluster_count = engine_.layout().cluster_count();
    for (size_t unit = 0; unit < size; unit += 512) {
        if (stopped()) return true;
        const byte_view unit_bytes(bytes + unit, std::min<size_t>(512, size - unit));
        // Inside a deleted folder, sectors that no longer hold directory
        // entries (reused by other data) contribute nothing.
        if (context.folder->deleted && !is_fat_directory_sector(unit_bytes, cluster_count)) continue;
        bool marked = false;
        for (size_t offset = 0; offset + fat_entry_bytes <= unit_bytes.size(); offset += fat_entry_bytes) {
            const byte_view entry = unit_bytes.sub(offset, fat_entry_bytes);
            fat_accepted_entry accepted = accept_fat_entry(entry, context.pending_long_name);
            if (accepted.kind == fat_entry_kind::long_name || accepted.kind == fat_entry_kind::rejected) continue;
            // A volume label owns no clusters; one that does hides data there
            // and is listed as the file it is.
            if (accepted.kind == fat_entry_kind::label && fat_first_cluster(entry, engine_.layout().is_fat32) >= 2) {
                accepted.kind = fat_entry_kind::file;
            }
            if (!marked) {
                mark_sector(context.mark, position + unit);
                marked = true;
            }
            if (accepted.kind == fat_entry_kind::file) add_file_entry(context, entry, std::move(accepted.name));
            if (accepted.kind == fat_entry_kind::folder) add_folder_entry(context, entry, std::move(accepted.name));
            if (stopped()) return true;
        }
    }
    return true;
}

void fat_directory_walk::add_file_entry(walk_context& context, byte_view entry, std::u16string name) {
    auto file = std::make_shared<tagFatFileInfoEx>();
    static_cast<tagFatBaseInfo&>(*file) = tagFatBaseInfo::from_entry(entry);
    file->set_name(std::move(name));
    file->size = entry.u32_or(fat_entry_field::size);
    file->deleted = entry[0] == fat_deleted_mark || context.folder->deleted;
    const uint32_t first = fat_first_cluster(entry, engine_.layout().is_fat32);
    if (file->size != 0 && first != 0) file->runs = file_runs(first, file->size, file->deleted);
    context.folder->add_file(file->name, file);
    // Only live files count as occupying their clusters: a deleted file's
    // space stays open to carving.
    if (!file->deleted && context.mark && !file->runs.empty()) {
        context.mark->mark_runs(file->runs, static_cast<int64_t>(file->size));
    }
}

run_list fat_directory_walk::file_runs(uint32_t first, uint64_t size, bool deleted) {
    const fat_layout& layout = engine_.layout();
    // A deleted file whose first cluster is still free is read from there on
    // through the clusters still free, skipping those live files own: read
    // straight on, a file laid around others by first-fit allocation would
    // take in their bytes (see fat_free_clusters).
    if (deleted && table_.classify(first).kind == fat_entry_class::free) {
        if (!free_clusters_tried_) {
            free_clusters_tried_ = true;
            try {
                free_clusters_.emplace(table_, layout.data_cluster_count() + 1);
            } catch (const std::bad_alloc&) {
                free_clusters_.reset();  // such files are read straight on
            }
        }
        const uint64_t cluster_bytes = layout.cluster_bytes();
        if (free_clusters_ && cluster_bytes != 0) {
            run_list runs = free_clusters_->take_from(first, (size + cluster_bytes - 1) / cluster_bytes);
            if (!runs.empty()) return runs;
        }
    }
    return follow_chain(table_, layout, first, engine_.stop_token);
}

bool fat_directory_walk::should_walk(const tagFatFolderInfoEx& folder) const {
    // A folder that repeats an ancestor's first cluster would walk itself
    // again without end.
    for (auto up = folder.parent.lock(); up; up = up->parent.lock()) {
        // FAT16's root lives in its fixed region; the cluster number it
        // carries is nominal and shared with whatever folder holds cluster 2.
        const bool fixed_root = !engine_.layout().is_fat32 && !up->parent.lock();
        const auto* fat_folder = dynamic_cast<const tagFatFolderInfoEx*>(up.get());
        if (fat_folder && !fixed_root && fat_folder->first_cluster == folder.first_cluster) return false;
    }
    if (folder.deleted) return true;  // deleted folders are never marked as walked
    return !(bitmap_ && bitmap_->test_cluster(folder.first_cluster));
}

void fat_directory_walk::add_folder_entry(walk_context& context, byte_view entry, std::u16string name) {
    if (is_dot_entry(name)) return;
    const uint32_t first = fat_first_cluster(entry, engine_.layout().is_fat32);
    if (first < 2) return;
    auto folder = std::make_shared<tagFatFolderInfoEx>();
    static_cast<tagFatBaseInfo&>(*folder) = tagFatBaseInfo::from_entry(entry);
    folder->set_name(std::move(name));
    folder->first_cluster = first;
    folder->group = context.folder->group;
    folder->deleted = entry[0] == fat_deleted_mark || context.folder->deleted;
    context.folder->add_folder(folder->name, folder);
    if (context.depth >= max_folder_depth || !should_walk(*folder)) return;
    walk_context child{folder, folder->deleted ? nullptr : bitmap_, {}, context.depth + 1};
    walk_chain(child, first);
}

std::shared_ptr<tagFatFolderInfoEx> fat_directory_walk::navigate(const std::shared_ptr<tagFatFolderInfoEx>& root,
                                                                 const std::vector<std::u16string>& components) {
    const fat_layout& layout = engine_.layout();
    std::shared_ptr<tagFatFolderInfoEx> current = root;
    // Where the current folder's data lies: runs of clusters, or FAT16's
    // fixed root region as one byte range.
    for (const std::u16string& component : components) {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;  // (device offset, bytes)
        if (current == root && !layout.is_fat32) {
            ranges.emplace_back(layout.root_directory_offset(), layout.root_directory_bytes());
        } else {
            for (const data_run& run : follow_chain(table_, layout, current->first_cluster, engine_.stop_token)) {
                ranges.emplace_back(layout.cluster_offset(run.first), run.count * layout.cluster_bytes());
            }
        }
        std::shared_ptr<tagFatFolderInfoEx> match;
        std::u16string pending;
        // 50 sectors: at most 3.2 MiB, the sector size being a 16-bit field.
        std::vector<uint8_t> buffer(std::max<size_t>(50 * size_t{layout.bytes_per_sector}, 512));
        for (const auto& [offset, bytes] : ranges) {
            for (uint64_t done = 0; done < bytes && !match;) {
                if (stopped()) return nullptr;
                const auto want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), bytes - done));
                const int32_t got = read_at(engine_.d_scan, buffer.data(), offset + done, want);
                if (got <= 0) break;
                for (size_t at = 0; at + fat_entry_bytes <= static_cast<size_t>(got) && !match; at += fat_entry_bytes) {
                    const byte_view entry(buffer.data() + at, fat_entry_bytes);
                    fat_accepted_entry accepted = accept_fat_entry(entry, pending);
                    if (accepted.kind != fat_entry_kind::folder || !equal_ignoring_case(accepted.name, component)) {
                        continue;
                    }
                    match = std::make_shared<tagFatFolderInfoEx>();
                    static_cast<tagFatBaseInfo&>(*match) = tagFatBaseInfo::from_entry(entry);
                    match->set_name(std::move(accepted.name));
                    match->first_cluster = fat_first_cluster(entry, layout.is_fat32);
                    match->group = current->group;
                    match->deleted = entry[0] == fat_deleted_mark || current->deleted;
                }
                done += static_cast<uint64_t>(got);
            }
            if (match) break;
        }
        if (!match || match->first_cluster < 2) return nullptr;
        current->insert_folder_unreported(match->name, match);
        current = match;
    }
    return current;
}

bool fat_recover::scan(std::shared_ptr<tagFolderInfo>& root_out, const char16_t* path) {
    if (d_scan < 1 || !boot_sector) return false;
    send_event(OSTREL_EVENT_SCAN_STARTED);
    std::vector<std::u16string> components;
    if (path) {
        start_path = path;
        components = split_path(start_path);
        if (!components.empty()) components.erase(components.begin());  // the volume itself
        if (components.empty()) return fail_scan(OSTREL_STATUS_EMPTY_START_PATH);
    }

    fat_table table;
    if (!table.load(d_scan, layout())) return fail_scan(OSTREL_STATUS_TABLE_UNREADABLE);
    try {
        allocation_bitmap = std::make_shared<sector_bitmap>(sector_count(), volume_offset, cluster_size(),
                                                            static_cast<uint16_t>(layout().bytes_per_sector), type_,
                                                            this);
    } catch (const std::bad_alloc&) {
        allocation_bitmap.reset();
        return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
    }
    auto root = std::make_shared<tagFatFolderInfoEx>();
    root->tagFatBaseInfo::attributes = fat_attribute_directory;
    root->first_cluster = layout().is_fat32 ? layout().root_cluster : 2;

    fat_directory_walk walk(*this, table, allocation_bitmap.get());
    if (components.empty()) {
        walk.walk_root(root);
        restore_recycle_bin(*this, false, root);
        finish_directory_phase(*this);
    } else {
        const bool target_is_bin = components.size() == 1 && equal_ignoring_case(components[0], u"$RECYCLE.BIN");
        std::shared_ptr<tagFatFolderInfoEx> target = walk.navigate(root, components);
        if (!target) {
            root_out = root;
            return fail_scan(OSTREL_STATUS_START_PATH_NOT_FOUND);
        }
        report_folder_tree(root);
        walk.walk_folder(target, target->deleted ? nullptr : allocation_bitmap.get());
        if (!is_stopped(stop_token) && !target_is_bin) {
            if (auto bin = walk.navigate(root, {u"$RECYCLE.BIN"})) {
                report_folder(item_kind_folder, bin, nullptr, 0);
                walk.walk_folder(bin, bin->deleted ? nullptr : allocation_bitmap.get());
            }
        }
        restore_recycle_bin(*this, target_is_bin, root);
    }
    root_out = root;
    return true;
}

}  // namespace ostrel
