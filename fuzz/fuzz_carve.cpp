// Carving: the input held in memory as a raw range and swept as a deep scan
// sweeps it (every block classified by carve_block_run, carved files grown
// and closed, carved containers read again and renamed), then every carved
// file's name and extent text.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "tests/support/memory_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    const test::memory_descriptor source(data, size);
    if (source.fd() <= 0) return 0;
    const engine_ops& ops = fuzz::engine();
    recover_session* session = ops.open_raw_range(source.fd(), 0, size);
    if (!session) return 0;
    fuzz::never_stop token;
    if (ops.scan_session(session, nullptr, 1, &token, &token)) fuzz::walk_tree(session);
    ops.close_session(session);
    return 0;
}
