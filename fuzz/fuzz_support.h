// What the fuzz targets share: a host bound once per process that accepts
// everything the engine reports (reading every text it is handed, so that a
// dangling or unterminated name shows up under AddressSanitizer), a stop
// token that never stops, the opening of an input's volumes as the command
// opens a source, and the walk over a scanned tree that asks the engine for
// every node's path, extents and data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ostrel/ostrel.h"

namespace ostrel {
class tagFolderInfo;
}

namespace ostrel::fuzz {

// The operation table of the bound host.
const engine_ops& engine();

class never_stop final : public stop_token {
public:
    uint8_t is_stopped() override { return 0; }
    void on_stopped() override {}
    void on_deep_scan_declined() override {}
};

// Opens the volumes found on the descriptor one after the other, as the
// command does with a source of `size` bytes (discovery never reaches past
// it), and hands each session to `visit` before closing it. At most
// `max_volumes` sessions, so a source of many tiny volumes stays quick.
void for_each_volume(int fd, uint64_t size, const std::function<void(recover_session*)>& visit,
                     int max_volumes = 4);

// Scans the session (deep scan as asked), then walks the tree it built:
// every node's path, every file's extent text and the first bytes of its
// data. With `rescan_below_root`, the first folder below the root is scanned
// again as a start path, the way `--path` asks for it.
void scan_and_walk(recover_session* session, bool deep_scan, bool rescan_below_root);

// Walks the tree of a scanned session (at most a few hundred nodes).
void walk_tree(recover_session* session);

}  // namespace ostrel::fuzz
