// The deep scan's engine: the state of one sweep over a volume's free
// sectors, and the saving and describing of the nodes that sweep produced.
#pragma once

#include <cstdint>
#include <string>

#include "core/node.h"

namespace ostrel {

class recover_impl;

class deep_scan_engine {
public:
    // Takes device, volume start and sector count from the engine's geometry.
    explicit deep_scan_engine(recover_impl& engine);

    // Saves a node the sweep produced (source_kind 1 or 4).
    bool save(const tagFileInfo& node, const char16_t* destination, int32_t& error);
    // Its extent text; empty for kinds this engine cannot describe.
    std::string extent_text(const tagFileInfo& node) const;

    recover_impl& engine;
    int32_t device = 0;
    uint64_t volume_start = 0;
    uint64_t sector_count = 0;
};

}  // namespace ostrel
