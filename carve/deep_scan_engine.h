// The deep scan's engine: the state of one sweep over a volume's free
// sectors (the file being carved, the files carved so far, the lists the
// refinement pass goes over), and the saving and describing of the nodes
// that sweep produced.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carve/carved_file.h"
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

    // Makes a new carved file at device byte `offset` the current one.
    void start_carved_file(uint64_t offset, uint32_t code, std::u16string_view extension);
    // Finishes the current carved file, if any: its size becomes its
    // extent's length, it is kept by name and reported to the host.
    void close_carved_file();

    recover_impl& engine;
    int32_t device = 0;
    uint64_t volume_start = 0;
    uint64_t sector_count = 0;

    // All-zero blocks counted since the last boundary or structure block.
    int32_t zero_block_run = 0;
    // Device offset of the last block that went through identification.
    uint64_t last_data_block = UINT64_MAX;
    std::map<std::u16string, std::shared_ptr<tagUnknownFormatFileInfoEx>> carved_files;
    std::shared_ptr<tagUnknownFormatFileInfoEx> current_carved_file;
    // Carved ZIP (with data past the first block) and compound files, by
    // their starting code, for the refinement pass.
    std::map<uint32_t, std::vector<std::shared_ptr<tagUnknownFormatFileInfoEx>>> refinement_lists;
};

}  // namespace ostrel
