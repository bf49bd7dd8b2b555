// exFAT: the directory-buffer test over every 512-byte block of the input,
// the entry-set parser over the input in pieces of 1 KiB (so that sets
// spanning two pieces are completed from the next), the extents of a set
// without a table, and a whole scan of each exFAT volume found on the input
// held in memory: the tree with its deleted sets, the deep scan of the free
// space, every file's path, extents and data, and a second scan from the
// first folder below the root.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/session.h"
#include "exfat/entry_parser.h"
#include "exfat/entry_set.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/memory_descriptor.h"
#include "volume/volume_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    const byte_view input(data, size);
    for (size_t at = 0; at + 512 <= size; at += 512) {
        exfat::is_exfat_directory_buffer(input.sub(at, 512), size, 2, size / 512 + 2);
    }
    exfat::is_exfat_directory_buffer(input, UINT64_MAX, 0, UINT64_MAX);

    const exfat_set_geometry geometry{nullptr, 4096, size / 4096 + 1, size};
    fuzz::never_stop token;
    exfat_entry_parser parser(geometry, &token, [](std::shared_ptr<tagExFatFileInfoEx> record) {
        if (record && record->name) fuzz::engine().node_name(record->handle());
    });
    for (size_t at = 0; at < size; at += 1024) parser.parse(input.sub(at, std::min<size_t>(1024, size - at)));
    if (size >= 6) exfat_set_extents(geometry, data[0], data[1] | data[2] << 8, uint64_t{data[3]} << (data[4] & 63));

    const test::memory_descriptor source(data, size);
    if (source.fd() <= 0) return 0;
    fuzz::for_each_volume(source.fd(), size, [](recover_session* session) {
        if (session->engine && session->engine->fs_type() == fs_exfat) fuzz::scan_and_walk(session, true, true);
    });
    return 0;
}
