// The deep scan's sweep: every sector no known file occupies, read in large
// chunks in ascending order and looked at in 512-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

class deep_scan_engine;

// Reads the free runs of the engine's volume (all of it when the engine has
// no occupied-space map) and classifies every block; then finishes the
// current carved file and refines the carved containers. A failed seek
// reports status 4 and event 5 and ends the sweep there.
void run_deep_scan(deep_scan_engine& sweep);

// Classifies the 512-byte blocks of one read buffer that starts at device
// byte `offset`: boot sectors, MFT records and directory sectors end the
// file being carved; data blocks start, grow or end carved files. A size
// below 512 or not a multiple of 512 is ignored.
void carve_block_run(deep_scan_engine& sweep, const uint8_t* buffer, size_t size, uint64_t offset);

// After the sweep: reads each carved ZIP and compound file again and, when
// its contents name a more precise type (docx, xlsx, odt, msg, ...), renames
// it and tells the host.
void refine_carved_files(deep_scan_engine& sweep);

}  // namespace ostrel
