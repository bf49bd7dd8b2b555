// Finding volumes on a device by their boot sectors alone (partition tables
// are never read), checking them, and building the engine of each.
#pragma once

#include <cstdint>
#include <memory>

#include "volume/boot_sector.h"

struct recover_session;
struct stop_token;

namespace ostrel {

class recover_impl;

// File-system type codes.
inline constexpr int32_t fs_none = 0, fs_fat16 = 2, fs_fat32 = 3, fs_ntfs = 4, fs_exfat = 5, fs_raw = 6;

// The type a 512-byte sector announces itself as, or 0.
int32_t classify_boot_sector(const uint8_t* sector);

// The volume's length in bytes as its boot sector gives it.
uint64_t boot_sector_volume_length(int32_t type, const _boot_sector& boot);

// Bytes from the volume start that a scan needs before anything else (boot
// sector, tables, root directory); 0 when the type gives no such bound.
uint64_t boot_sector_metadata_length(int32_t type, const _boot_sector& boot);

// Whether the volume at `position` fits before `end` (0: no end), or, cut
// short, still holds its metadata before `end`.
bool fits_before_end(int32_t type, const _boot_sector& boot, uint64_t position, uint64_t end);

// A new engine of `type` on the volume at byte `position` (null for unknown
// types or when it cannot be built).
std::unique_ptr<recover_impl> make_volume_engine(int32_t type, int32_t d_scan,
                                                 std::shared_ptr<const _boot_sector> boot, uint64_t position);

// Whether the volume fits before `end` (fits_before_end) and a temporary
// engine of its type finds its metadata plausible.
bool check_volume(int32_t d_scan, int32_t type, const std::shared_ptr<const _boot_sector>& boot,
                  uint64_t position, uint64_t end);

// The next volume at or after *position (only there when `end` is 0);
// *position is advanced past it. Null when nothing was found or stopped.
recover_session* open_descriptors(int32_t d_scan, int32_t d_recovery, int32_t d_preview, uint64_t* position,
                                  uint64_t end, stop_token* token);

// A raw session over `length` bytes from `start`.
recover_session* make_raw_engine(int32_t d_scan, uint64_t start, uint64_t length);

}  // namespace ostrel
