#include "ntfs/ntfs_recover.h"

#include <new>

#include "core/scan_frame.h"
#include "engine/log.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "volume/checked_math.h"

namespace ostrel {

namespace {

constexpr const char* volume_message = "volume: ntfs, sectors: %I64d - %I64d, count: %I64d\n";

}  // namespace

ntfs_recover::ntfs_recover(int32_t fd, std::shared_ptr<const _boot_sector> boot, uint64_t offset, bool deep)
    : recover_impl(fd, std::move(boot), offset, deep) {
    if (boot_sector) geometry_ = parse_ntfs_geometry(*boot_sector);
    const uint64_t first = volume_offset >> 9;
    log_recovery(volume_message, {static_cast<long long>(first), static_cast<long long>(first + geometry_.total_sectors),
                                  static_cast<long long>(geometry_.total_sectors)});
}

void ntfs_recover::geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const {
    if (!boot_sector) return;
    fd = d_scan;
    offset = volume_offset;
    sectors = geometry_.total_sectors;
}

uint64_t ntfs_recover::cluster_to_offset(uint64_t cluster) const {
    if (!boot_sector) return 0;
    return cluster * geometry_.cluster_size() + volume_offset;
}

std::optional<uint64_t> ntfs_recover::mft_record0_offset() const {
    if (!boot_sector) return std::nullopt;
    const auto bytes = checked_mul(geometry_.mft_cluster, geometry_.cluster_size());
    return bytes ? checked_add(*bytes, volume_offset) : std::nullopt;
}

std::optional<uint64_t> ntfs_recover::mft_record_offset(uint64_t number) const {
    const uint32_t cluster_bytes = geometry_.cluster_size();
    if (mft_runs.empty() || geometry_.record_size == 0 || cluster_bytes == 0) return std::nullopt;
    const auto byte_in_mft = checked_mul(number, geometry_.record_size);
    if (!byte_in_mft) return std::nullopt;
    uint64_t cluster_index = *byte_in_mft / cluster_bytes;
    const uint64_t remainder = *byte_in_mft % cluster_bytes;
    for (const data_run& run : mft_runs) {
        if (cluster_index < run.count) {
            const auto cluster = checked_add(run.first, cluster_index);
            const auto bytes = cluster ? checked_mul(*cluster, cluster_bytes) : std::nullopt;
            const auto within = bytes ? checked_add(*bytes, remainder) : std::nullopt;
            return within ? checked_add(*within, volume_offset) : std::nullopt;
        }
        cluster_index -= run.count;
    }
    return std::nullopt;
}

bool ntfs_recover::read_record_at(int32_t fd, uint64_t offset, std::vector<uint8_t>& out) const {
    const uint32_t size = geometry_.record_size;
    if (size == 0 || size > max_ntfs_record_bytes) return false;
    try {
        out.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return read_at(fd, out.data(), offset, size) == static_cast<int32_t>(size);
}

bool ntfs_recover::read_mft_record(int32_t fd, uint64_t number, std::vector<uint8_t>& out) const {
    const auto offset = mft_record_offset(number);
    return offset && read_record_at(fd, *offset, out);
}

bool ntfs_recover::validate() {
    if (d_scan <= 0) return false;
    const auto offset = mft_record0_offset();
    std::vector<uint8_t> record;
    if (!offset || !read_record_at(d_scan, *offset, record)) return false;
    if (is_mft_self_record(record)) return true;
    // A volume whose MFT grew in many fragments may keep $MFT's name in an
    // extension record (ntfs-3g moves it there when record 0 fills up).
    // Refusing such a volume would lose all of it, so a record 0 that is
    // sound but for its missing name passes when an extension record it
    // lists carries the name.
    uint64_t mft_bytes = 0;
    return names_moved_out(record) && load_mft_runs(mft_bytes) != 0;
}

bool names_moved_out(std::span<uint8_t> record) {
    const byte_view view(record);
    if (!view.matches(mft_header::magic, "FILE") || apply_fixup(record) == 0 ||
        view.u32_or(mft_header::record_number, 1) != 0 || view.u64_or(mft_header::base_reference, 1) != 0) {
        return false;
    }
    bool listed = false;
    attribute_walk walk(view);
    while (const auto attribute = walk.next()) {
        if (attribute->type == attribute_type::file_name) return false;
        listed = listed || attribute->type == attribute_type::attribute_list;
    }
    return listed;
}

bool is_mft_self_record(std::span<uint8_t> record) {
    const byte_view view(record);
    if (!view.matches(mft_header::magic, "FILE")) return false;
    if (apply_fixup(record) == 0) return false;
    if (view.u32_or(mft_header::record_number, 1) != 0) return false;
    if (view.u64_or(mft_header::base_reference, 1) != 0) return false;
    attribute_walk walk(view);
    while (const auto attribute = walk.next()) {
        if (attribute->type != attribute_type::file_name || attribute->non_resident()) continue;
        const auto name = parse_file_name(attribute->resident_value());
        if (name && equal_ignoring_case(name->name, u"$MFT")) return true;
    }
    return false;
}

}  // namespace ostrel
