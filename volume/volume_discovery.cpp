#include "volume/volume_discovery.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "carve/raw_recover.h"
#include "core/recover_impl.h"
#include "engine/host_table.h"
#include "engine/log.h"
#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "volume/device_io.h"

namespace ostrel {

namespace {

constexpr uint64_t search_chunk_bytes = 16 * 1024 * 1024;

constexpr const char* found_candidate = "find dbr secotr:%I64d, filesystem:%d\n";
constexpr const char* candidate_valid = "check volume valide is true.\n";
constexpr const char* candidate_invalid = "check volume valide is false. find next...\n";
constexpr const char* nothing_found = "可能是未格式化分区\n";

long long sector_of(uint64_t byte_offset) { return static_cast<long long>(byte_offset / 512); }

void log_geometry(int32_t type, const _boot_sector& boot) {
    const byte_view b = boot.view();
    const int spc = static_cast<int>(decode_sectors_per_cluster(b.i8(13).value_or(0)));
    switch (type) {
        case fs_ntfs:
            log_message("ntfs", "bytes per secotr:%d\n", {b.u16_or(11)});
            log_message("ntfs", "sectors per cluster:%d\n", {spc});
            log_message("ntfs", "ClustersPerMftRecord:%d\n", {b.i8(64).value_or(0)});
            log_message("ntfs", "ClustersPerIndexRecord:%d\n", {b.i8(68).value_or(0)});
            log_message("ntfs", "sectors:%I64d\n", {static_cast<long long>(b.u64_or(40))});
            break;
        case fs_exfat:
            log_message("exfat", "bytes per secotr:%.0f\n", {std::ldexp(1.0, b.u8_or(108))});
            log_message("exfat", "sectors per cluster:%.0f\n", {std::ldexp(1.0, b.u8_or(109))});
            log_message("exfat", "hidden secotrs:%I64d\n", {static_cast<long long>(b.u64_or(64))});
            log_message("exfat", "sectors:%I64d\n", {static_cast<long long>(b.u64_or(72))});
            log_message("exfat", "fat_first_sector:%d\n", {static_cast<int32_t>(b.u32_or(80))});
            log_message("exfat", "fat_sector_count:%d\n", {static_cast<int32_t>(b.u32_or(84))});
            log_message("exfat", "sector_indexof_first_cluster:%d\n", {static_cast<int32_t>(b.u32_or(88))});
            log_message("exfat", "clusters:%d\n", {static_cast<int32_t>(b.u32_or(92))});
            log_message("exfat", "first_cluster_of_rootdir:%d\n", {static_cast<int32_t>(b.u32_or(96))});
            log_message("exfat", "usage:%d\n", {b.u8_or(112)});
            break;
        case fs_fat32:
            log_message("fat32", "bytes per secotr:%d\n", {b.u16_or(11)});
            log_message("fat32", "sectors per cluster:%d\n", {spc});
            log_message("fat32", "reserved sectors:%d\n", {b.u16_or(14)});
            log_message("fat32", "count of fat:%d\n", {b.u8_or(16)});
            log_message("fat32", "sectors per fat:%d\n", {static_cast<int32_t>(b.u32_or(36))});
            log_message("fat32", "hidden secotrs:%d\n", {static_cast<int32_t>(b.u32_or(28))});
            log_message("fat32", "sectors:%d\n", {static_cast<int32_t>(b.u32_or(32))});
            break;
        case fs_fat16:
            log_message("fat16", "bytes per secotr:%d\n", {b.u16_or(11)});
            log_message("fat16", "sectors per cluster:%d\n", {spc});
            log_message("fat16", "reserved sectors:%d\n", {b.u16_or(14)});
            log_message("fat16", "count of fattables:%d\n", {b.u8_or(16)});
            log_message("fat16", "sectors per fattable:%d\n", {b.u16_or(22)});
            log_message("fat16", "hidden secotrs:%d\n", {static_cast<int32_t>(b.u32_or(28))});
            log_message("fat16", "root entries:%d\n", {b.u16_or(17)});
            log_message("fat16", "sectors_under_32mb:%d\n", {b.u16_or(19)});
            log_message("fat16", "sectors:%d\n", {static_cast<int32_t>(b.u32_or(32))});
            break;
        default: break;
    }
}

const char* data_error_message(int32_t type) {
    switch (type) {
        case fs_ntfs: return "offset %I64d bytes find ntfs, but data error\n";
        case fs_exfat: return "offset %I64d bytes find exfat, but data error\n";
        case fs_fat32: return "offset %I64d bytes find fat32, but data error\n";
        default: return "offset %I64d bytes find fat16, but data error\n";
    }
}

std::shared_ptr<const _boot_sector> copy_sector(const uint8_t* bytes) {
    auto boot = std::make_shared<_boot_sector>();
    std::copy(bytes, bytes + 512, boot->bytes.begin());
    return boot;
}

// A session owning `engine` (the session exists even when the engine could
// not be built, as a host may still close it).
recover_session* new_session(std::unique_ptr<recover_impl> engine) {
    auto* session = new (std::nothrow) recover_session;
    if (session) session->engine = std::move(engine);
    return session;
}

// Gives the session's engine its own recovery and preview descriptors.
void attach_descriptors(recover_session* session, int32_t d_recovery, int32_t d_preview) {
    if (!session || !session->engine) return;
    session->engine->d_recovery = duplicate_descriptor(d_recovery, "dup recovery file err, orign file:%d\n");
    session->engine->d_preview = duplicate_descriptor(d_preview, "dup preview file err, orign file:%d\n");
}

struct search_state {
    int32_t d_scan;
    uint64_t& position;
    uint64_t end;
    stop_token* token;
    std::shared_ptr<const _boot_sector> boot;
};

enum class search_result { found, not_found, stopped };

// Examines one candidate sector at `state.position`; true when it is a valid
// volume (its boot sector is then kept in `state.boot`).
bool accept_candidate(search_state& state, const uint8_t* sector, int32_t& type) {
    type = classify_boot_sector(sector);
    if (type == fs_none) return false;
    log_recovery(found_candidate, {sector_of(state.position), type});
    auto boot = copy_sector(sector);
    if (check_volume(state.d_scan, type, boot, state.position, state.end)) {
        log_recovery(candidate_valid);
        state.boot = std::move(boot);
        return true;
    }
    log_recovery(candidate_invalid);
    type = fs_none;
    return false;
}

// The forward search from the sector after `position`, in 16 MiB chunks.
search_result search_forward(search_state& state, int32_t& type) {
    state.position += 512;
    int64_t remaining = static_cast<int64_t>(state.end - state.position);
    if (state.end < state.position || remaining < 512) return search_result::not_found;
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(remaining, search_chunk_bytes));
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(chunk);
    } catch (const std::bad_alloc&) {
        return search_result::not_found;
    }
    send_event(OSTREL_EVENT_SEARCHING_VOLUME);
    while (true) {
        if (is_stopped(state.token)) {
            state.token->on_stopped();
            return search_result::stopped;
        }
        const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(static_cast<int64_t>(chunk), remaining));
        const int32_t got = platform::read_some(state.d_scan, buffer.data(), want);
        if (got < 1) {
            log_recovery("find dbr secotr, read err: %d\n", {platform::last_error()});
            return search_result::not_found;
        }
        remaining -= got;
        for (size_t offset = 0; offset + 512 <= static_cast<size_t>(got); offset += 512) {
            if (accept_candidate(state, buffer.data() + offset, type)) return search_result::found;
            if (is_stopped(state.token)) {
                state.token->on_stopped();
                return search_result::stopped;
            }
            state.position += 512;
        }
        if (remaining <= 0) return search_result::not_found;
    }
}

}  // namespace

bool fits_before_end(int32_t type, const _boot_sector& boot, uint64_t position, uint64_t end) {
    if (end == 0) return true;
    if (position <= end && boot_sector_volume_length(type, boot) <= end - position) return true;
    // Acquisitions lose their last sectors, and a dying disk is read until it
    // fails: a volume cut short is still taken when its boot sector, tables
    // and root lie inside; reads past the end then fail as reads do.
    const uint64_t metadata = boot_sector_metadata_length(type, boot);
    return metadata != 0 && position < end && metadata <= end - position;
}

bool check_volume(int32_t d_scan, int32_t type, const std::shared_ptr<const _boot_sector>& boot, uint64_t position,
                  uint64_t end) {
    if (!boot || !fits_before_end(type, *boot, position, end)) return false;
    std::unique_ptr<recover_impl> engine = make_volume_engine(type, d_scan, boot, position);
    return engine && engine->validate();
}

recover_session* make_raw_engine(int32_t d_scan, uint64_t start, uint64_t length) {
    std::unique_ptr<recover_impl> engine(new (std::nothrow) raw_recover(d_scan, start, length));
    return new_session(std::move(engine));
}

recover_session* open_descriptors(int32_t d_scan, int32_t d_recovery, int32_t d_preview, uint64_t* position_ptr,
                                  uint64_t end, stop_token* token) {
    if (!position_ptr) return nullptr;
    uint64_t& position = *position_ptr;
    const uint64_t start = position;
    log_recovery(">>>>>>parse dbr - start secotr: %I64d, end sector:%I64d\n", {sector_of(start), sector_of(end)});

    recover_session* session = nullptr;
    auto finish = [&]() -> recover_session* {
        log_recovery("<<<<<<parse dbr - start sector: %I64d, end sector:%I64d\n", {sector_of(position), sector_of(end)});
        attach_descriptors(session, d_recovery, d_preview);
        return session;
    };
    // Nothing usable before `range_end`: what lies between start and there
    // becomes a raw volume.
    auto make_raw_until = [&](uint64_t range_end) {
        if (start < range_end) session = make_raw_engine(d_scan, start, range_end - start);
    };

    if (d_scan <= 0) return finish();

    uint8_t first[512];
    if (platform::seek_to(d_scan, static_cast<int64_t>(position)) != static_cast<int64_t>(position)) {
        log_recovery(nothing_found);
        make_raw_until(position);
        return finish();
    }
    if (platform::read_some(d_scan, first, sizeof first) < 512) return nullptr;

    search_state state{d_scan, position, end, token, nullptr};
    int32_t type = classify_boot_sector(first);
    bool found_on_first_sector = false;
    if (type != fs_none && end != 0) {
        found_on_first_sector = accept_candidate(state, first, type);
    } else if (type != fs_none) {
        state.boot = copy_sector(first);  // a volume opened on its own is trusted
        found_on_first_sector = true;
    }
    if (is_stopped(token)) {
        token->on_stopped();
        return nullptr;
    }
    if (type == fs_none) {
        if (end == 0) {
            log_recovery("volume maybe damaged.\n");
            return nullptr;
        }
        const search_result result = search_forward(state, type);
        if (result == search_result::stopped) return nullptr;
        if (result == search_result::not_found) {
            log_recovery(nothing_found);
            make_raw_until(position);
            return finish();
        }
    } else if (found_on_first_sector) {
        log_recovery(found_candidate, {sector_of(position), type});
    }

    log_geometry(type, *state.boot);
    const uint64_t length = boot_sector_volume_length(type, *state.boot);
    // Saturating: a hostile length must not wrap the cursor back.
    const uint64_t volume_end = std::max<uint64_t>(length, 512) > UINT64_MAX - position
                                    ? UINT64_MAX
                                    : position + (length ? length : 512);
    if (end != 0 && volume_end > end && !fits_before_end(type, *state.boot, position, end)) {
        log_recovery(data_error_message(type), {static_cast<long long>(position)});
        position = end;
        make_raw_until(end);
        return finish();
    }
    session = new_session(make_volume_engine(type, d_scan, state.boot, position));
    position = end != 0 ? std::min(volume_end, end) : volume_end;
    if (type == fs_ntfs) {
        // The NTFS backup boot sector right after the volume is skipped.
        uint8_t backup[512];
        if (read_sector_at(d_scan, backup, position) && std::equal(backup, backup + 512, state.boot->bytes.begin())) {
            position += 512;
        }
    }
    return finish();
}

}  // namespace ostrel
