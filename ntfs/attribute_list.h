// The bookkeeping for NTFS files spread over several MFT records.
//
// A file whose attributes do not fit one record keeps an $ATTRIBUTE_LIST in
// its base record naming the extension records that hold the rest, and a
// file with several hard links carries one $FILE_NAME per link. The MFT is
// read in disk order, so an extension record is often met before its base.
// An `attribute_list` entry gathers, per owner (base record number), the
// names, times, size and runs from every record of the owner; once it has
// them all it turns into one node per link. `attribute_list_mgr` holds the
// entries, and the file and folder nodes that still wait for a missing
// piece (a record met before the one that names or sizes it).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/node.h"
#include "ntfs/ntfs_nodes.h"
#include "volume/byte_view.h"

namespace ostrel {

class file_node_info;

namespace attribute_list_flag {
inline constexpr uint8_t deleted = 0x01;       // the base record is not in use
inline constexpr uint8_t has_list = 0x02;      // an $ATTRIBUTE_LIST was met
inline constexpr uint8_t complete = 0x04;
inline constexpr uint8_t directory = 0x08;
inline constexpr uint8_t base_met = 0x10;
inline constexpr uint8_t resident_data_listed = 0x20;  // unnamed $DATA resident in a listed extension record
inline constexpr uint8_t kept_bits = 0xC0;     // never changed
}  // namespace attribute_list_flag

// A non-resident attribute list lives in a few clusters; a larger size
// comes from a damaged record and is not read.
inline constexpr uint64_t max_attribute_list_bytes = 16 * 1024 * 1024;

// The link count an entry expects while its base record is still unseen.
inline constexpr uint16_t unknown_link_count = 0x7FFF;

struct attribute_list {
    uint8_t source_kind = 0;
    uint64_t owner = 0;
    // record number -> attribute identifier -> attribute type, as the
    // $ATTRIBUTE_LIST says.
    std::map<uint64_t, std::map<uint16_t, uint32_t>> listed_pieces;
    struct link {
        uint64_t parent = 0;
        name_ptr name;
    };
    std::vector<link> links;
    std::array<uint8_t, 72> standard_information{};
    run_list runs;
    // The unnamed $DATA's run-list pieces by their first virtual cluster: a
    // file too fragmented for one record continues its runs in extension
    // records, each piece starting where the previous one ended.
    std::map<uint64_t, run_list> data_pieces;
    // The owner's records met so far: the entry waits for every record its
    // list names, so no piece of a file spread over many records is lost.
    std::set<uint64_t> records_met;
    int64_t data_size = 0;
    uint8_t compression_unit_log2 = 0;  // 0: the data is not compressed
    uint16_t expected_links = unknown_link_count;
    uint16_t dos_names = 0;
    uint8_t flags = 0;
    uint64_t data_record = 0;

    bool is(uint8_t flag) const { return (flags & flag) != 0; }
    // Whether every record the attribute list names has been met.
    bool all_listed_records_met() const;
    bool has_standard_information() const;
};

// A node waiting for the rest of its records, with the second name its
// records gave it so far (empty when none).
template <typename Node>
struct waiting_node {
    std::shared_ptr<Node> node;
    std::u16string second_name;
};

class attribute_list_mgr {
public:
    // A new entry for `owner`: expecting `expected_links`, marked base-met
    // when it is created from the base record itself.
    std::shared_ptr<attribute_list> create(uint64_t owner, uint16_t expected_links, uint8_t source_kind,
                                           bool base_met);
    std::shared_ptr<attribute_list> find(uint64_t owner) const;
    void remove(uint64_t owner) { entries_.erase(owner); }

    void add_link(attribute_list& entry, uint64_t parent, std::u16string name);
    // An unnamed $DATA met in record `record` of the owner: the first
    // non-zero size wins; `runs` null means the data was resident.
    void add_data(attribute_list& entry, uint64_t record, const run_list* runs, int64_t size,
                  uint8_t compression_unit_log2);
    // Records what each list entry says lives where.
    void parse_list(attribute_list& entry, byte_view list);

    // Turns a complete entry into its nodes and hands them to `tree`.
    void test_completion(attribute_list& entry, file_node_info& tree);
    // Adds every waiting named node and closes every open entry.
    void leftover_pass(file_node_info& tree);

    bool empty() const;

    std::map<uint64_t, waiting_node<tagNtfsFolderInfoEx>> waiting_folders;
    std::map<uint64_t, waiting_node<tagNtfsFileInfoEx>> waiting_files;

private:
    void build_nodes(const attribute_list& entry, file_node_info& tree);

    std::map<uint64_t, std::shared_ptr<attribute_list>> entries_;
};

// One entry of an $ATTRIBUTE_LIST value: which attribute lives in which
// record.
struct attribute_list_item {
    uint32_t type = 0;
    uint64_t record = 0;  // low 48 bits of the segment reference
    uint16_t identifier = 0;
};

// The entries of an $ATTRIBUTE_LIST value in order. The walk ends at an
// entry length of 0, at an entry reaching past the list, or when 25 bytes
// or fewer remain.
std::vector<attribute_list_item> list_items(byte_view list);

// Applies a $STANDARD_INFORMATION value's flags and times to a node.
void apply_standard_information(tagNtfsBaseInfo& info, byte_view value);

}  // namespace ostrel
