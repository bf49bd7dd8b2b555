// FAT: the entry rules over every 32-byte slot of the input (with the long
// name carried from slot to slot, as a folder walk carries it), the
// directory-sector test over every 512-byte block, and a whole scan of each
// FAT volume found on the input held in memory: the tree with its deleted
// files and recycle bin, the deep scan of the free space, every file's path,
// extents and data, and a second scan from the first folder below the root.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/session.h"
#include "fat/dir_entry.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/memory_descriptor.h"
#include "volume/volume_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    const byte_view input(data, size);
    std::u16string pending;
    for (size_t at = 0; at + fat_entry_bytes <= size; at += fat_entry_bytes) {
        const byte_view entry = input.sub(at, fat_entry_bytes);
        accept_fat_entry(entry, pending);
        fat_short_name(entry);
        fat_first_cluster(entry, true);
    }
    for (size_t at = 0; at < size; at += 512) {
        const byte_view block = input.sub(at, std::min<size_t>(512, size - at));
        is_fat_directory_sector(block, size / 512);
        is_fat_directory_sector(block, UINT32_MAX);
    }

    const test::memory_descriptor source(data, size);
    if (source.fd() <= 0) return 0;
    fuzz::for_each_volume(source.fd(), size, [](recover_session* session) {
        const int32_t type = session->engine ? session->engine->fs_type() : fs_none;
        if (type == fs_fat16 || type == fs_fat32) fuzz::scan_and_walk(session, true, true);
    });
    return 0;
}
