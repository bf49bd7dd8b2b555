#include "carve/sweep.h"

#include <algorithm>
#include <memory>
#include <new>

#include "carve/deep_scan_engine.h"
#include "core/recover_impl.h"
#include "core/report/report.h"
#include "core/sector_bitmap.h"
#include "engine/host_table.h"
#include "exfat/entry_set.h"
#include "fat/dir_entry.h"
#include "filetype/file_type.h"
#include "filetype/identify_signature.h"
#include "ntfs/mft_record.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"
#include "volume/volume_discovery.h"

namespace ostrel {

namespace {

constexpr uint64_t block_bytes = 512;
constexpr uint32_t chunk_bytes = 64 * 1024 * 1024;
// Zero blocks a carved file may grow over before the run of zeros counts
// as the end of it.
constexpr int32_t max_zero_blocks = 100000;

// Reads until `size` bytes are in or the device has no more; the count.
uint32_t read_chunk(int fd, uint8_t* buffer, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        const int32_t got = platform::read_some(fd, buffer + done, size - done);
        if (got < 1) break;
        done += static_cast<uint32_t>(got);
    }
    return done;
}

// The free runs of a volume, in 512-byte sectors, from its occupied-space
// map. The map may count in larger units (the volume's own sector size);
// without a usable map the whole volume is one run.
class free_runs {
public:
    free_runs(const sector_bitmap* map, uint64_t volume_start, uint64_t sector_count)
        : sector_count_(sector_count) {
        if (map && map->unit() >= block_bytes && map->unit() % block_bytes == 0 && map->base() == volume_start) {
            map_ = map;
            sectors_per_unit_ = map->unit() / block_bytes;
        }
    }

    // The first free sector at or after `from` (sector_count when none).
    uint64_t next_free(uint64_t from) const { return next(from, false); }
    // The first occupied sector after a free `from` (sector_count when none).
    uint64_t run_end(uint64_t from) const { return next(from, true); }

private:
    uint64_t next(uint64_t from, bool occupied) const {
        if (!map_) return occupied ? sector_count_ : std::min(from, sector_count_);
        // Past the map every unit is free: a volume claiming more than its
        // device holds has a map only as long as the device.
        const uint64_t unit = map_->next_unit(from / sectors_per_unit_, occupied);
        if (unit >= (sector_count_ + sectors_per_unit_ - 1) / sectors_per_unit_) return sector_count_;
        return std::clamp(unit * sectors_per_unit_, from, sector_count_);
    }

    const sector_bitmap* map_ = nullptr;
    uint64_t sectors_per_unit_ = 1;
    uint64_t sector_count_;
};

// Types a block of exFAT directory entries can start with; anything else
// is not worth the full test.
bool may_start_exfat_entries(uint8_t type) {
    switch (type) {
        case 0x85: case 0x05: case 0xC0: case 0x40: case 0xC1: case 0x41:
        case 0x81: case 0x82: case 0x83: case 0x03: case 0xA0: case 0xA1: case 0xA2: return true;
        default: return false;
    }
}

// Free space holds directory sectors of whatever exFAT volume once lay
// there, so the bounds are those of the swept stretch: no ValidDataLength
// beyond it, and (clusters being at least a sector) no cluster number at or
// past its sector count.
bool is_exfat_directory_block(const deep_scan_engine& sweep, byte_view block) {
    return may_start_exfat_entries(block[0]) &&
           exfat::is_exfat_directory_buffer(block, sweep.sector_count * block_bytes, 2, sweep.sector_count);
}

void report_progress(uint64_t sector, uint64_t sector_count) {
    send_event(OSTREL_EVENT_DEEP_SCAN_PROGRESS, static_cast<float>(sector * 100.0 / sector_count));
}

// The continuation of the current carved file by the block at `offset`.
void continue_carved_file(deep_scan_engine& sweep, uint64_t offset) {
    if (!sweep.current_carved_file) return;
    if (offset - sweep.last_data_block == block_bytes && sweep.current_carved_file->runs.size() == 1) {
        sweep.current_carved_file->runs.front().count += block_bytes;
    } else if (offset - sweep.last_data_block != block_bytes) {
        sweep.close_carved_file();
    }
}

// A block that ends the carved file: a file-system structure. It is not a
// data block, so a file never grows across it.
void structure_block(deep_scan_engine& sweep) {
    sweep.zero_block_run = 0;
    sweep.close_carved_file();
}

void data_block(deep_scan_engine& sweep, const uint8_t* block, size_t available, uint64_t offset,
                std::u16string& extension) {
    uint32_t bytes_beyond = 0;
    const uint32_t code = identify_signature(block, available, &bytes_beyond, extension);
    bool boundary;
    if (code == file_type::zero_block) {
        boundary = ++sweep.zero_block_run > max_zero_blocks;
    } else if (code == file_type::aac) {
        // Consecutive ADTS frames are one stream, not a file per frame.
        boundary = !(sweep.current_carved_file && sweep.current_carved_file->type == file_type::aac &&
                     offset - sweep.last_data_block == block_bytes);
    } else {
        boundary = code != file_type::none;
    }
    if (!boundary) {
        continue_carved_file(sweep, offset);
    } else {
        sweep.zero_block_run = 0;
        sweep.close_carved_file();
        if (code != file_type::zero_block) {
            sweep.start_carved_file(offset, code, extension);
            if ((code == file_type::zip && bytes_beyond != 0) || code == file_type::compound_file) {
                sweep.refinement_lists[code].push_back(sweep.current_carved_file);
            }
        }
    }
    sweep.last_data_block = offset;
}

}  // namespace

void carve_block_run(deep_scan_engine& sweep, const uint8_t* buffer, size_t size, uint64_t offset) {
    if (!buffer || size < block_bytes || size % block_bytes != 0) return;
    std::u16string extension;
    for (size_t at = 0; at < size; at += block_bytes) {
        const uint8_t* block = buffer + at;
        const byte_view view(block, block_bytes);
        // Cheap constant-offset tests guard each structure test.
        if (block[510] == 0x55 && block[511] == 0xAA && classify_boot_sector(block) != 0) {
            sweep.zero_block_run = 0;  // the carved file is not closed, but cannot grow past here
            continue;
        }
        if (block[0] == 'F' && looks_like_mft_record(view)) {
            structure_block(sweep);
            continue;
        }
        if (is_fat_directory_sector(view, sweep.sector_count) || is_exfat_directory_block(sweep, view)) {
            structure_block(sweep);
            continue;
        }
        data_block(sweep, block, size - at, offset + at, extension);
    }
}

void run_deep_scan(deep_scan_engine& sweep) {
    recover_impl& engine = sweep.engine;
    if (sweep.device < 1 || sweep.sector_count == 0) return;
    const std::shared_ptr<sector_bitmap> map = engine.allocation_bitmap;
    // Chunks of 64 MiB, or one chunk as large as a smaller volume.
    const uint32_t buffer_bytes = sweep.sector_count < chunk_bytes / block_bytes
                                      ? static_cast<uint32_t>(sweep.sector_count * block_bytes)
                                      : chunk_bytes;
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[buffer_bytes]);
    if (!buffer) return;
    const free_runs runs(map.get(), sweep.volume_start, sweep.sector_count);

    for (uint64_t sector = 0; sector < sweep.sector_count;) {
        if (is_stopped(engine.stop_token)) break;
        const uint64_t start = runs.next_free(sector);
        if (start >= sweep.sector_count) break;
        const uint64_t end = runs.run_end(start);
        const int64_t position = static_cast<int64_t>(sweep.volume_start + start * block_bytes);
        if (platform::seek_to(sweep.device, position) != position) {
            report_status(OSTREL_STATUS_DEVICE_SEEK_FAILED);
            send_event(OSTREL_EVENT_DEEP_SCAN_FAILED);
            return;
        }
        uint64_t left = (end - start) * block_bytes;
        uint64_t offset = static_cast<uint64_t>(position);
        while (left > 0 && !is_stopped(engine.stop_token)) {
            const uint32_t want = left < buffer_bytes ? static_cast<uint32_t>(left) : buffer_bytes;
            const uint32_t got = read_chunk(sweep.device, buffer.get(), want);
            if (got < 1) break;
            carve_block_run(sweep, buffer.get(), got / block_bytes * block_bytes, offset);
            offset += got;
            left -= got;
            report_progress((offset - sweep.volume_start) / block_bytes, sweep.sector_count);
            if (got < want) break;  // the device ended or failed: this run is over
        }
        // A carved file never spans two free runs.
        sweep.close_carved_file();
        sector = end + 1;
    }
    sweep.close_carved_file();
    refine_carved_files(sweep);
}

}  // namespace ostrel
