#include "ntfs/attribute_list.h"

#include <algorithm>

#include "ntfs/attribute_walk.h"
#include "ntfs/record_tree.h"

namespace ostrel {

namespace {

namespace list_entry {
constexpr size_t type = 0x00;              // u32
constexpr size_t length = 0x04;            // u16
constexpr size_t segment_reference = 0x10; // u64, low 48 bits: record number
constexpr size_t identifier = 0x18;        // u16
// Parsing goes on only while more than this many bytes remain.
constexpr size_t min_remaining = 25;
}  // namespace list_entry

namespace standard_information_field {
constexpr size_t created = 0x00;
constexpr size_t modified = 0x08;
constexpr size_t accessed = 0x18;
constexpr size_t attributes = 0x20;
}  // namespace standard_information_field

}  // namespace

bool attribute_list::has_standard_information() const {
    return std::any_of(standard_information.begin(), standard_information.begin() + 8, [](uint8_t b) { return b; });
}

bool attribute_list::all_listed_records_met() const {
    for (const auto& [record, pieces] : listed_pieces) {
        if (!records_met.count(record)) return false;
    }
    return true;
}

void apply_standard_information(tagNtfsBaseInfo& info, byte_view value) {
    info.created = value.u64_or(standard_information_field::created);
    info.modified = value.u64_or(standard_information_field::modified);
    info.accessed = value.u64_or(standard_information_field::accessed);
    info.attributes = value.u32_or(standard_information_field::attributes);
}

std::shared_ptr<attribute_list> attribute_list_mgr::create(uint64_t owner, uint16_t expected_links,
                                                           uint8_t source_kind, bool base_met) {
    auto entry = std::make_shared<attribute_list>();
    entry->owner = owner;
    entry->expected_links = expected_links;
    entry->source_kind = source_kind;
    entry->flags = static_cast<uint8_t>((entry->flags & attribute_list_flag::kept_bits) |
                                        (base_met ? attribute_list_flag::base_met : 0));
    entries_[owner] = entry;
    return entry;
}

std::shared_ptr<attribute_list> attribute_list_mgr::find(uint64_t owner) const {
    const auto it = entries_.find(owner);
    return it == entries_.end() ? nullptr : it->second;
}

bool attribute_list_mgr::empty() const {
    return entries_.empty() && waiting_files.empty() && waiting_folders.empty();
}

void attribute_list_mgr::add_link(attribute_list& entry, uint64_t parent, std::u16string name) {
    entry.links.push_back({parent, make_name(std::move(name))});
}

void attribute_list_mgr::add_data(attribute_list& entry, uint64_t record, const run_list* runs, int64_t size,
                                  uint8_t compression_unit_log2) {
    if (entry.is(attribute_list_flag::directory) || size == 0 || entry.data_size > 0) return;
    entry.data_size = size;
    entry.data_record = record;
    entry.compression_unit_log2 = compression_unit_log2;
    if (runs) {
        entry.runs = *runs;
        return;
    }
    const auto pieces = entry.listed_pieces.find(record);
    if (pieces == entry.listed_pieces.end()) return;
    for (const auto& [identifier, type] : pieces->second) {
        if (type == attribute_type::data) entry.flags |= attribute_list_flag::resident_data_listed;
    }
}

std::vector<attribute_list_item> list_items(byte_view list) {
    std::vector<attribute_list_item> items;
    size_t at = 0;
    while (list.size() - at > list_entry::min_remaining) {
        const byte_view item = list.from(at);
        const uint16_t length = item.u16_or(list_entry::length);
        if (length == 0) break;
        items.push_back({item.u32_or(list_entry::type),
                         reference_record_number(item.u64_or(list_entry::segment_reference)),
                         item.u16_or(list_entry::identifier)});
        if (length > list.size() - at) break;
        at += length;
    }
    return items;
}

void attribute_list_mgr::parse_list(attribute_list& entry, byte_view list) {
    entry.flags |= attribute_list_flag::has_list;
    for (const attribute_list_item& item : list_items(list)) {
        entry.listed_pieces[item.record][item.identifier] = item.type;
    }
}

void attribute_list_mgr::build_nodes(const attribute_list& entry, file_node_info& tree) {
    tagNtfsBaseInfo info;
    apply_standard_information(info, byte_view(entry.standard_information.data(), entry.standard_information.size()));
    const bool deleted = entry.is(attribute_list_flag::deleted);
    run_list runs = entry.runs;
    if (entry.data_pieces.size() > 1 && entry.data_pieces.begin()->first == 0) {
        // Join the pieces in order while each starts where the last ended; a
        // gap (a piece whose record is gone) ends the file there.
        runs.clear();
        uint64_t next_vcn = 0;
        for (const auto& [first_vcn, piece] : entry.data_pieces) {
            if (first_vcn != next_vcn) break;
            for (const data_run& run : piece) {
                runs.push_back(run);
                next_vcn += run.count;
            }
        }
    }
    for (const attribute_list::link& link : entry.links) {
        if (entry.is(attribute_list_flag::directory)) {
            auto folder = std::make_shared<tagNtfsFolderInfoEx>();
            folder->name = link.name;
            folder->parent_record = link.parent;
            folder->record_number = entry.owner;
            static_cast<tagNtfsBaseInfo&>(*folder) = info;
            folder->deleted = deleted;
            tree.add_folder(link.parent, folder);
        } else {
            auto file = std::make_shared<tagNtfsFileInfoEx>();
            file->name = link.name;
            file->parent_record = link.parent;
            file->record_number = entry.owner;
            static_cast<tagNtfsBaseInfo&>(*file) = info;
            file->deleted = deleted;
            file->source_kind = entry.source_kind;
            file->size = entry.data_size > 0 ? static_cast<uint64_t>(entry.data_size) : 0;
            file->runs = runs;
            file->compression_unit_log2 = entry.compression_unit_log2;
            tree.add_file(link.parent, file);
        }
    }
}

void attribute_list_mgr::test_completion(attribute_list& entry, file_node_info& tree) {
    if (entry.is(attribute_list_flag::complete) || !entry.is(attribute_list_flag::base_met)) return;
    if (!entry.has_standard_information()) return;
    if (!entry.is(attribute_list_flag::directory) && entry.data_size <= 0) return;
    if (entry.expected_links != static_cast<uint16_t>(entry.links.size() + entry.dos_names)) return;
    // Beyond the counts: a file whose runs continue in later extension
    // records would otherwise be built from its first piece alone.
    if (!entry.all_listed_records_met()) return;
    entry.flags |= attribute_list_flag::complete;
    // Keep the entry alive while its nodes are built: removing it below
    // would otherwise free it.
    const std::shared_ptr<attribute_list> keep = find(entry.owner);
    build_nodes(entry, tree);
    // A deleted file whose data is listed in another record, not yet met,
    // stays open: the leftover pass closes it.
    const bool data_may_follow = entry.is(attribute_list_flag::deleted) &&
                                 !entry.is(attribute_list_flag::directory) && !entry.listed_pieces.empty() &&
                                 entry.runs.empty() && !entry.is(attribute_list_flag::resident_data_listed);
    if (!data_may_follow) remove(entry.owner);
}

namespace {

// Adds every waiting node that has a name, and its second-name copy, through
// `add` (the tree's add_file or add_folder), then empties the map.
template <typename Node, typename Add, typename Copy>
void add_waiting(std::map<uint64_t, waiting_node<Node>>& waiting, Add add, Copy copy) {
    auto nodes = std::move(waiting);
    waiting.clear();
    for (auto& [number, entry] : nodes) {
        if (entry.node->name_text().empty()) continue;
        add(entry.node->parent_record, entry.node);
        if (entry.second_name.empty()) continue;
        auto second = copy(*entry.node);
        second->set_name(entry.second_name);
        add(entry.node->parent_record, second);
    }
}

}  // namespace

void attribute_list_mgr::leftover_pass(file_node_info& tree) {
    add_waiting(
        waiting_folders, [&](uint64_t parent, const auto& folder) { tree.add_folder(parent, folder); },
        [](const tagNtfsFolderInfoEx& folder) { return folder.clone_empty(); });
    add_waiting(
        waiting_files, [&](uint64_t parent, const auto& file) { tree.add_file(parent, file); },
        [](const tagNtfsFileInfoEx& file) { return std::static_pointer_cast<tagNtfsFileInfoEx>(file.clone()); });
    auto open_entries = std::move(entries_);
    entries_.clear();
    for (auto& [owner, entry] : open_entries) {
        if (!entry->is(attribute_list_flag::complete)) build_nodes(*entry, tree);
    }
}

}  // namespace ostrel
