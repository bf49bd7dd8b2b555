// Reading a compressed NTFS attribute through its runs.
//
// A compressed attribute's virtual clusters fall into compression units of a
// fixed number of clusters (2 to the power of the attribute header's byte
// 0x22, normally 16). A unit that compressed well keeps only the clusters
// its LZNT1 stream needs and leaves the rest of the unit sparse; one that did
// not is stored whole, as plain data; one of zeros is sparse throughout.
// The runs alone tell which is which, so a unit's kind is decided by how many
// of its clusters are stored, not by their contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "core/node.h"

namespace ostrel {

// The largest unit read: 16 clusters of 64 KiB. A bigger one comes from a
// damaged attribute header and would mean allocating whatever it claims.
inline constexpr uint64_t max_compression_unit_bytes = 16 * 64 * 1024;

// Clusters per unit from the header's exponent; 0 when the exponent is too
// big for any unit the reader accepts to come from it.
inline uint64_t compression_unit_clusters(uint8_t exponent) {
    return exponent < 32 ? uint64_t{1} << exponent : 0;
}

enum class unit_kind : uint8_t {
    sparse,      // no stored cluster: reads as zeros
    stored,      // every cluster stored: plain data
    compressed,  // some stored, some sparse: the stored clusters hold LZNT1
};

struct compression_unit {
    uint64_t first_vcn = 0;  // the unit's first virtual cluster
    // The unit's length: the unit size, or less for a last unit the runs end
    // inside.
    uint64_t clusters = 0;
    unit_kind kind = unit_kind::sparse;
    // The unit's stored clusters as device cluster ranges in file order; a
    // unit spanning several runs has one range per run.
    run_list stored;

    bool operator==(const compression_unit&) const = default;
};

// The units of a run list (runs in clusters, in file order, first == 0
// marking a sparse run), one at a time, so a hostile sparse run of 2^60
// clusters costs nothing until someone asks for its units. Runs of 0
// clusters are skipped; the walk ends with the runs.
class compression_unit_walk {
public:
    // A unit size of 0 gives no units. `runs` must outlive the walk.
    compression_unit_walk(std::span<const data_run> runs, uint64_t unit_clusters);

    std::optional<compression_unit> next();

private:
    std::span<const data_run> runs_;
    uint64_t unit_clusters_;
    size_t run_ = 0;   // the run the next unit starts in
    uint64_t used_ = 0;  // clusters of that run already in earlier units
    uint64_t vcn_ = 0;
};

// Reads `count` clusters from device cluster `first` on into `out`; false
// when the device cannot.
using cluster_reader = std::function<bool(uint64_t first, uint64_t count, uint8_t* out)>;
// Takes the next piece of the file's content; false to stop.
using content_sink = std::function<bool(const uint8_t* data, size_t size)>;

// Delivers the first `file_size` bytes of a compressed attribute's content to
// `sink`, unit by unit, and returns the bytes delivered: `file_size` when all
// went well, less when a read failed, the sink refused a piece (that piece
// not counted), or the runs end first. A unit size of 0 clusters, a cluster
// size of 0 or a unit above max_compression_unit_bytes delivers nothing.
//
// A compressed unit whose stream is corrupt is delivered as what decodes,
// followed by zeros: a recovered file keeps its readable parts.
uint64_t read_compressed_runs(std::span<const data_run> runs, uint64_t unit_clusters, uint32_t cluster_size,
                              uint64_t file_size, const cluster_reader& read, const content_sink& sink);

}  // namespace ostrel
