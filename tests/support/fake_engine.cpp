#include "tests/support/fake_engine.h"

#include "core/scan_frame.h"
#include "engine/host_table.h"
#include "ostrel/ostrel.h"

namespace ostrel::test {

bool fake_engine::scan(std::shared_ptr<tagFolderInfo>& root, const char16_t* path) {
    if (d_scan < 1 || !boot_sector) return false;
    send_event(OSTREL_EVENT_SCAN_STARTED);
    if (path) {
        start_path = path;
        if (split_path(start_path).empty()) return fail_scan(OSTREL_STATUS_EMPTY_START_PATH);
    }
    std::shared_ptr<tagFolderInfo> tree = std::make_shared<plain_folder_info>();
    if (build_tree && !build_tree(tree)) {
        return fail_scan(OSTREL_STATUS_START_PATH_NOT_FOUND);
    }
    finish_directory_phase(*this);
    root = tree;
    return true;
}

}  // namespace ostrel::test
