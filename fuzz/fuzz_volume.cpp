// Boot-sector recognition and volume discovery: every 512-byte block of the
// input is classified and measured, then the input is opened as a source in
// memory the way the command opens a disk (every volume in turn, discovery
// bounded by the source's size), and once more as a volume opened on its
// own, whose first sector is trusted.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "tests/support/memory_descriptor.h"
#include "volume/volume_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    for (size_t at = 0; at + 512 <= size; at += 512) {
        const int32_t type = classify_boot_sector(data + at);
        if (type == fs_none) continue;
        _boot_sector boot;
        std::copy(data + at, data + at + 512, boot.bytes.begin());
        boot_sector_volume_length(type, boot);
    }

    const test::memory_descriptor source(data, size);
    if (source.fd() <= 0) return 0;
    fuzz::for_each_volume(source.fd(), size, [](recover_session*) {}, 16);

    const engine_ops& ops = fuzz::engine();
    fuzz::never_stop token;
    uint64_t position = 0;
    if (recover_session* alone = ops.open_descriptors(source.fd(), source.fd(), source.fd(), &position, 0, &token)) {
        ops.close_session(alone);
    }
    return 0;
}
