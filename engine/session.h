// The host's handle for one volume: its engine and the tree of the last scan.
#pragma once

#include <memory>

#include "core/node.h"
#include "core/recover_impl.h"
#include "ostrel/ostrel.h"

struct recover_session {
    std::unique_ptr<ostrel::recover_impl> engine;
    std::shared_ptr<ostrel::tagFolderInfo> root;
};

namespace ostrel {

// Fills words 1-15 of the operation table.
void fill_engine_ops(engine_ops& ops);

}  // namespace ostrel
