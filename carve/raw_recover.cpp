#include "carve/raw_recover.h"

#include "carve/deep_scan_engine.h"
#include "core/report/report.h"
#include "engine/host_table.h"
#include "engine/log.h"
#include "ostrel/ostrel.h"

namespace ostrel {

raw_recover::raw_recover(int32_t fd, uint64_t start, uint64_t length)
    : recover_impl(fd, nullptr, start, true), sector_count_(length / 512) {
    log_recovery("volume: raw, sectors: %I64d - %I64d, count: %I64d\n",
                 {static_cast<long long>(start / 512), static_cast<long long>(start / 512 + sector_count_),
                  static_cast<long long>(sector_count_)});
}

void raw_recover::geometry(int32_t& fd, uint64_t& offset, uint64_t& sectors) const {
    fd = d_scan;
    offset = volume_offset;
    sectors = sector_count_;
}

bool raw_recover::scan(std::shared_ptr<tagFolderInfo>&, const char16_t* path) {
    if (!deep_scan) return false;
    if (path) start_path = path;
    send_event(OSTREL_EVENT_DEEP_SCAN_STARTED);
    if (!run_deep_scan()) {
        report_status(OSTREL_STATUS_OBJECT_NOT_CREATED);
        send_event(OSTREL_EVENT_DEEP_SCAN_FAILED);
        return false;
    }
    if (!is_stopped(stop_token)) send_event(OSTREL_EVENT_DEEP_SCAN_DONE);
    return true;
}

bool raw_recover::save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error) {
    error = 0;
    if (!deep_scan_engine || !node) return false;
    return deep_scan_engine->save(*node, destination, error);
}

}  // namespace ostrel
