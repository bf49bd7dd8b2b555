// NTFS: every 1 KiB block of the input that starts like an MFT record goes
// through the record parsers on their own (fixup, both attribute walks,
// $FILE_NAME values, attribute lists, run lists, then the whole record into a
// record tree); every 4 KiB block that starts like an index record through
// the fixup; every 512-byte block through the free-space record test. Then
// each NTFS volume found on the input held in memory is scanned whole: the
// MFT into a tree, the deep scan of the free space, every file's path,
// extents and data (runs, sparse and compressed data, data found through the
// record), and a second scan from the first folder below the root, which
// reads the directory indexes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/session.h"
#include "fuzz/fuzz_support.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "ntfs/mft_record.h"
#include "ntfs/record_tree.h"
#include "ntfs/run_list.h"
#include "tests/support/memory_descriptor.h"
#include "volume/volume_discovery.h"

namespace {

using namespace ostrel;

constexpr size_t record_bytes = 1024;
constexpr size_t index_record_bytes = 4096;
constexpr size_t max_records = 64;

void walk_record(byte_view record, length_rule rule) {
    has_parsable_first_attribute(record);
    attribute_walk walk(record, rule);
    while (const auto attribute = walk.next()) {
        attribute->name();
        const byte_view value = attribute->resident_value();
        if (attribute->non_resident()) {
            const uint64_t size = attribute_data_size(attribute->bytes);
            mft_data_size(attribute->bytes);
            decode_runs(run_list_bytes(attribute->bytes), size, 4096, uint64_t{1} << 24);
            decode_runs(run_list_bytes(attribute->bytes), UINT64_MAX, 512, UINT64_MAX);
        } else if (attribute->type == attribute_type::file_name) {
            parse_file_name(value);
        } else if (attribute->type == attribute_type::attribute_list) {
            list_items(value);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const test::memory_descriptor source(data, size);
    if (source.fd() <= 0) return 0;

    const byte_view input(data, size);
    for (size_t at = 0; at + 512 <= size; at += 512) looks_like_mft_record(input.sub(at, 512));
    file_node_info tree(true);
    const record_parse_context context{&tree, nullptr, 0, 4096, uint64_t{1} << 24, source.fd(), 0};
    size_t records = 0;
    for (size_t at = 0; at + record_bytes <= size && records < max_records; at += record_bytes) {
        if (!input.matches(at, "FILE")) continue;
        ++records;
        std::vector<uint8_t> record(data + at, data + at + record_bytes);
        apply_fixup(record);
        walk_record(byte_view(record), length_rule::plain);
        walk_record(byte_view(record), length_rule::repairing);
        std::vector<uint8_t> again(data + at, data + at + record_bytes);
        parse_mft_record(again, context);
    }
    tree.finish();
    for (size_t at = 0; at + index_record_bytes <= size; at += index_record_bytes) {
        if (!input.matches(at, "INDX")) continue;
        std::vector<uint8_t> record(data + at, data + at + index_record_bytes);
        apply_fixup(record);
    }

    fuzz::for_each_volume(source.fd(), size, [](recover_session* session) {
        if (session->engine && session->engine->fs_type() == fs_ntfs) fuzz::scan_and_walk(session, true, true);
    });
    return 0;
}
