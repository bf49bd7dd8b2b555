// The NTFS scan: $MFT's own record gives the MFT's runs, every record of the
// MFT is read in disk order and parsed into the record tree, the tree is
// finished, and the recycle bin is restored on it.
#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <span>

#include "core/recycle/recycle_bin.h"
#include "core/report/report.h"
#include "core/scan_frame.h"
#include "core/sector_bitmap.h"
#include "engine/host_table.h"
#include "engine/log.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_recover.h"
#include "ntfs/record_tree.h"
#include "ntfs/run_list.h"
#include "ostrel/ostrel.h"
#include "volume/checked_math.h"
#include "volume/extent_reader.h"

namespace ostrel {

namespace {

constexpr const char* white_message = "add white:0x%I64x\n";

// The MFT is read 64 clusters at a time. Real clusters are at most 2 MiB;
// the cap keeps a damaged boot sector from sizing the buffer.
constexpr uint64_t mft_read_clusters = 64;
constexpr uint64_t max_mft_read_bytes = 16 * 1024 * 1024;
// Far more than any real MFT needs (an extension record holds a hundred runs
// or so, and Windows and ntfs-3g put them where one round reaches them);
// they bound the work a damaged attribute list can cause.
constexpr size_t max_mft_extension_records = 1024;
constexpr size_t max_mft_extension_rounds = 8;
constexpr size_t max_mft_runs = 65536;

}  // namespace

ntfs_recover::~ntfs_recover() = default;

uint64_t ntfs_recover::load_mft_runs(uint64_t& mft_bytes) {
    mft_runs.clear();
    mft_bytes = 0;
    const auto offset = mft_record0_offset();
    std::vector<uint8_t> record;
    if (!offset || !read_record_at(d_scan, *offset, record)) return 0;
    const byte_view view(record);
    if (!view.matches(mft_header::magic, "FILE") || apply_fixup(record) == 0) return 0;
    uint64_t root = 0;
    std::vector<uint64_t> extension_records;
    attribute_walk walk(view, length_rule::repairing);
    while (const auto attribute = walk.next()) {
        if (attribute->type == attribute_type::attribute_list && extension_records.empty()) {
            extension_records = listed_records(*attribute, d_scan);
        } else if (attribute->type == attribute_type::data &&
                   attribute->bytes.u8_or(attribute_header::name_length) == 0 && mft_runs.empty() && mft_bytes == 0) {
            if (attribute->non_resident()) {
                mft_bytes = mft_data_size(attribute->bytes);
                mft_runs = decode_runs(run_list_bytes(attribute->bytes), mft_bytes, cluster_size(),
                                       geometry_.total_clusters());
            } else {
                mft_bytes = attribute->bytes.u32_or(attribute_header::value_length);
            }
        } else if (attribute->type == attribute_type::file_name && !attribute->non_resident() && root == 0) {
            if (const auto name = parse_file_name(attribute->resident_value())) root = name->parent_record;
        }
    }
    const uint64_t listed_root = mft_runs.empty() ? 0 : read_mft_extensions(extension_records);
    return root != 0 ? root : listed_root;
}

uint64_t ntfs_recover::read_mft_extensions(const std::vector<uint64_t>& extension_records) {
    // An MFT that grew in many fragments has more runs than record 0 holds:
    // record 0 then carries an attribute list, and the later pieces of the
    // $DATA run list lie in extension records. Those records lie where the
    // runs already known reach them, so they are read through the runs found
    // so far, round after round while a round adds a piece. ntfs-3g moves
    // $MFT's name out as well; the root folder's number then comes from there.
    uint64_t root = 0;
    std::map<uint64_t, run_list> pieces;  // by first virtual cluster
    std::set<uint64_t> read;
    uint64_t covered = 0;
    for (const data_run& run : mft_runs) covered += run.count;
    const uint32_t cluster_bytes = cluster_size();
    const size_t listed = std::min(extension_records.size(), max_mft_extension_records);
    bool added = true;
    for (size_t round = 0; added && round < max_mft_extension_rounds; ++round) {
        added = false;
        for (size_t i = 0; i < listed; ++i) {
            const uint64_t number = extension_records[i];
            if (number == 0 || read.count(number)) continue;
            std::vector<uint8_t> record;
            if (!read_mft_record(d_scan, number, record)) continue;  // not reachable yet
            read.insert(number);
            const byte_view view(record);
            // An extension record of $MFT names record 0 (with its sequence
            // number) as its base; a base record names none.
            const uint64_t base = view.u64_or(mft_header::base_reference);
            if (!view.matches(mft_header::magic, "FILE") || apply_fixup(record) == 0 || base == 0 ||
                (base & 0xFFFFFFFFFFFFull) != 0) {
                continue;
            }
            attribute_walk walk(view, length_rule::repairing);
            while (const auto attribute = walk.next()) {
                if (attribute->type == attribute_type::file_name && !attribute->non_resident() && root == 0) {
                    const auto name = parse_file_name(attribute->resident_value());
                    if (name && equal_ignoring_case(name->name, u"$MFT")) root = name->parent_record;
                    continue;
                }
                if (attribute->type != attribute_type::data || !attribute->non_resident() ||
                    attribute->bytes.u8_or(attribute_header::name_length) != 0) {
                    continue;
                }
                const uint64_t first = attribute->bytes.u64_or(attribute_header::first_vcn);
                const uint64_t last = attribute->bytes.u64_or(attribute_header::last_vcn);
                const auto cover = last >= first ? checked_mul(last - first + 1, cluster_bytes) : std::nullopt;
                if (first == 0 || !cover) continue;
                pieces[first] =
                    decode_runs(run_list_bytes(attribute->bytes), *cover, cluster_bytes, geometry_.total_clusters());
            }
        }
        // Join the pieces that continue where the runs end; a gap ends the MFT there.
        for (auto piece = pieces.find(covered); piece != pieces.end(); piece = pieces.find(covered)) {
            const run_list joined = std::move(piece->second);
            pieces.erase(piece);
            uint64_t length = 0;
            for (const data_run& run : joined) length += run.count;
            if (length == 0 || mft_runs.size() + joined.size() > max_mft_runs) break;
            mft_runs.insert(mft_runs.end(), joined.begin(), joined.end());
            covered += length;
            added = true;
        }
    }
    return root;
}

void ntfs_recover::read_mft(file_node_info& tree, sector_bitmap* cluster_map) {
    const uint64_t cluster_bytes = cluster_size();
    const uint32_t record_bytes = geometry_.record_size;
    if (cluster_bytes == 0 || record_bytes == 0 || record_bytes > max_ntfs_record_bytes) return;
    const uint64_t buffer_bytes =
        std::max<uint64_t>(record_bytes, std::min(mft_read_clusters * cluster_bytes, max_mft_read_bytes));
    std::vector<extent_reader::extent> extents;
    for (const data_run& run : mft_runs) {
        const auto start = checked_mul(run.first, cluster_bytes);
        const auto length = checked_mul(run.count, cluster_bytes);
        if (!start || !length || !checked_add(*start, volume_offset)) continue;
        extents.push_back({*start + volume_offset, *length});
    }
    // The reads run a few buffers ahead of the parsing, on a thread of
    // their own: copying a large MFT out of the page cache costs as much as
    // a third of parsing it.
    std::optional<extent_reader> reader;
    try {
        // A failed read does not end the MFT's extent here: on a real disk
        // that would drop every record after one bad sector. The records
        // on it come back as zeros, which the parser skips as damaged, and
        // the reading goes on past them.
        reader.emplace(d_scan, std::move(extents), static_cast<uint32_t>(buffer_bytes), record_bytes);
    } catch (const std::bad_alloc&) {
        return;
    }
    const record_parse_context context{&tree, cluster_map, 0, cluster_size(), geometry_.total_clusters(),
                                       d_scan, volume_offset};
    while (!is_stopped(stop_token)) {
        // Only whole records within what was read are parsed: nothing left
        // from an earlier read is ever looked at.
        const std::span<uint8_t> piece = reader->next();
        if (piece.empty()) return;
        for (size_t at = 0; at + record_bytes <= piece.size(); at += record_bytes) {
            if (is_stopped(stop_token)) return;
            parse_mft_record(piece.subspan(at, record_bytes), context);
        }
    }
}

bool ntfs_recover::resolve_start_path(file_node_info& tree, const std::vector<std::u16string>& components,
                                      bool& inside_bin) {
    // Follows `names` from the root through the directory indexes, reading
    // each folder's record and attaching it (unreported) on the way.
    auto follow = [&](const std::vector<std::u16string>& names) -> uint64_t {
        uint64_t current = tree.root_number;
        std::shared_ptr<tagNtfsFolderInfoEx> parent = tree.root;
        for (const std::u16string& name : names) {
            if (is_stopped(stop_token)) return 0;
            const uint64_t child = find_child_folder(current, name);
            if (child == 0) return 0;
            const auto existing = tree.folders_of(child);
            std::shared_ptr<tagNtfsFolderInfoEx> folder = existing.empty() ? nullptr : existing.front();
            std::vector<uint8_t> record;
            if (!folder && read_mft_record(d_scan, child, record)) {
                const record_parse_context context{nullptr, nullptr, 0, cluster_size(), geometry_.total_clusters(),
                                                   d_scan, volume_offset};
                folder = parse_mft_record(record, context).folder;
            }
            if (!folder) {
                // The index names it but its record says nothing usable: a
                // folder of that name stands in for it.
                folder = std::make_shared<tagNtfsFolderInfoEx>();
                folder->set_name(name);
            }
            if (existing.empty()) {
                folder->record_number = child;
                if (parent->deleted) folder->deleted = 1;
                parent->insert_folder_unreported(folder->name, folder);
                tree.folders.emplace(child, folder);
            }
            parent = folder;
            current = child;
        }
        return current;
    };

    const uint64_t target = follow({components.begin() + 1, components.end()});
    if (target == 0) return false;
    log_recovery(white_message, {static_cast<long long>(target)});
    tree.white.insert(target);
    if (components.size() == 2 && equal_ignoring_case(components[1], recycle_bin_name)) {
        inside_bin = true;
    } else if (const uint64_t bin = follow({std::u16string(recycle_bin_name)}); bin != 0) {
        log_recovery(white_message, {static_cast<long long>(bin)});
        tree.white.insert(bin);
    }
    report_folder_tree(tree.root);
    return true;
}

bool ntfs_recover::scan(std::shared_ptr<tagFolderInfo>& root_out, const char16_t* path) {
    if (d_scan < 1 || !boot_sector || !stop_token) return false;
    send_event(OSTREL_EVENT_SCAN_STARTED);
    std::vector<std::u16string> components;
    if (path) {
        start_path = path;
        components = split_path(start_path);
        if (components.empty()) return fail_scan(OSTREL_STATUS_EMPTY_START_PATH);
    }
    const bool limited = components.size() > 1;
    volume_size_bytes = uint64_t{geometry_.bytes_per_sector} * geometry_.total_sectors;

    uint64_t mft_bytes = 0;
    const uint64_t root_number = load_mft_runs(mft_bytes);
    std::shared_ptr<file_node_info> tree;
    std::shared_ptr<tagNtfsFolderInfoEx> root;
    try {
        tree = std::make_shared<file_node_info>(!limited);
        root = std::make_shared<tagNtfsFolderInfoEx>();
    } catch (const std::bad_alloc&) {
        return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
    }
    root->record_number = root_number;
    root->tagNtfsBaseInfo::attributes = 0x10;  // a directory
    tree->set_root(root_number, root);
    record_tree_ = tree;

    bool inside_bin = false;
    if (limited) {
        if (!resolve_start_path(*tree, components, inside_bin)) {
            root_out = root;
            return fail_scan(OSTREL_STATUS_START_PATH_NOT_FOUND);
        }
    } else {
        try {
            allocation_bitmap = std::make_shared<sector_bitmap>(geometry_.total_sectors, volume_offset, cluster_size(),
                                                                static_cast<uint16_t>(geometry_.bytes_per_sector),
                                                                fs_type(), this);
        } catch (const std::bad_alloc&) {
            allocation_bitmap.reset();
            return fail_scan(OSTREL_STATUS_OBJECT_NOT_CREATED);
        }
        allocation_bitmap->mark_runs(mft_runs, static_cast<int64_t>(std::min<uint64_t>(mft_bytes, INT64_MAX)));
    }

    read_mft(*tree, limited ? nullptr : allocation_bitmap.get());
    if (!is_stopped(stop_token)) tree->resolve_pending();
    if (!is_stopped(stop_token)) tree->finish();
    restore_recycle_bin(*this, inside_bin, root);
    // Only a full scan that may go on to the deep scan tells the host that
    // the metadata phase is over.
    if (!limited && deep_scan) finish_directory_phase(*this);
    root_out = root;
    return true;
}

}  // namespace ostrel
