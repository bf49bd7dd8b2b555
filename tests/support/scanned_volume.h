// The host's side of a scan: what reached the host, by the paths it mirrors
// ("\docs\a.txt"), and files saved from there into a scratch folder. Scan
// fixtures derive from it and point `scanned` at their engine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/recover_impl.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel::test {

class scanned_volume {
public:
    // Scans with `scanned` from `start_path` and maps what reached the host.
    bool scan(const char16_t* start_path = nullptr);
    // The node reported at `path`, or null.
    const tree_node* node_at(const std::string& path) const;
    // Saves `node` (false when it is no file or the save fails) and reads back
    // what was written.
    bool save(const tree_node* node, std::vector<uint8_t>& bytes);
    // The SHA-256 of what saving `node` gives, or why there is none.
    std::string saved_sha(const tree_node* node);

    recording_host host;
    counting_stop_token token;
    scratch_dir out;
    recover_impl* scanned = nullptr;
    std::shared_ptr<tagFolderInfo> root;
    std::map<std::string, uintptr_t> paths;
    int saves = 0;
    int32_t save_error = 0;  // of the last save
};

}  // namespace ostrel::test
