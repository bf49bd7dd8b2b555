#include "ntfs/mft_record.h"

#include <algorithm>

#include "core/sector_bitmap.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/file_data.h"
#include "ntfs/fixup.h"
#include "ntfs/record_tree.h"
#include "ntfs/run_list.h"
#include "volume/checked_math.h"

namespace ostrel {

namespace {

// $STANDARD_INFORMATION and $FILE_NAME values are read only when they start
// this far before the record's end.
constexpr size_t fixed_value_bytes = 72;
constexpr uint8_t dos_only_namespace = 2;
constexpr uint16_t compressed_flag = 0x0001;


// Everything one record contributes while its attributes are walked.
class record_parser {
public:
    record_parser(std::span<uint8_t> record, const record_parse_context& context, uint32_t sequence_offset)
        : view_(record), context_(context), sequence_offset_(sequence_offset) {}

    parsed_record run();

private:
    file_node_info* tree() const { return context_.tree; }
    bool is_base() const { return base_reference_ == 0; }
    void find_or_create_entry();
    void choose_node();
    void walk_attributes();
    void on_standard_information(const attribute_ref& attribute);
    void on_attribute_list(const attribute_ref& attribute);
    void on_file_name(const attribute_ref& attribute);
    void on_data(const attribute_ref& attribute);
    void on_data_continuation(const attribute_ref& attribute);
    void on_index_allocation(const attribute_ref& attribute);
    // Turns the node built so far into a new attribute-list entry.
    void dissolve_node_into_entry();
    void complete();
    bool data_is_live() const;
    tree_node* node() const { return file_ ? static_cast<tree_node*>(file_.get()) : folder_.get(); }
    tagNtfsBaseInfo* base_info() const {
        return file_ ? static_cast<tagNtfsBaseInfo*>(file_.get()) : static_cast<tagNtfsBaseInfo*>(folder_.get());
    }

    byte_view view_;
    const record_parse_context& context_;
    uint32_t sequence_offset_;
    uint64_t base_reference_ = 0;
    uint64_t own_number_ = 0;
    uint64_t owner_ = 0;
    int16_t link_count_ = 0;
    bool in_use_ = false;
    bool directory_ = false;

    std::shared_ptr<attribute_list> entry_;
    std::shared_ptr<tagNtfsFileInfoEx> file_;
    std::shared_ptr<tagNtfsFolderInfoEx> folder_;
    std::u16string second_name_;
    bool named_ = false;
    unsigned file_names_ = 0;
};

parsed_record record_parser::run() {
    base_reference_ = reference_record_number(view_.u64_or(mft_header::base_reference));
    own_number_ = view_.u32_or(mft_header::record_number);
    owner_ = is_base() ? own_number_ : base_reference_;
    link_count_ = static_cast<int16_t>(view_.u16_or(mft_header::link_count));
    const uint16_t flags = view_.u16_or(mft_header::flags);
    in_use_ = flags & mft_header::flag_in_use;
    directory_ = flags & mft_header::flag_directory;

    if (tree()) find_or_create_entry();
    choose_node();
    walk_attributes();
    if (entry_) entry_->records_met.insert(own_number_);
    complete();
    return {file_, folder_};
}

void record_parser::find_or_create_entry() {
    attribute_list_mgr& lists = tree()->lists;
    if (link_count_ < 1 && !is_base()) {
        entry_ = lists.find(owner_);
        if (!entry_ && owner_ > own_number_) {
            entry_ = lists.create(owner_, unknown_link_count, context_.source_kind, false);
        } else if (entry_) {
            entry_->expected_links = static_cast<uint16_t>(entry_->expected_links + link_count_);
        }
    } else if (is_base() && link_count_ >= 1) {
        entry_ = lists.find(owner_);
        if (!entry_ && link_count_ > 2) {
            entry_ = lists.create(owner_, static_cast<uint16_t>(link_count_), context_.source_kind, true);
        } else if (entry_) {
            entry_->flags |= attribute_list_flag::base_met;
            entry_->expected_links =
                static_cast<uint16_t>(link_count_ - (unknown_link_count - entry_->expected_links));
        }
    }
}

void record_parser::choose_node() {
    if (entry_) {
        if (is_base()) {
            if (directory_) entry_->flags |= attribute_list_flag::directory;
            if (!in_use_) entry_->flags |= attribute_list_flag::deleted;
        }
        return;
    }
    attribute_list_mgr* lists = tree() ? &tree()->lists : nullptr;
    if (!directory_) {
        if (lists) {
            if (const auto it = lists->waiting_files.find(owner_); it != lists->waiting_files.end()) {
                file_ = it->second.node;
                second_name_ = it->second.second_name;
                named_ = !file_->name_text().empty();
            }
        }
        if (!file_) file_ = std::make_shared<tagNtfsFileInfoEx>();
        file_->record_number = owner_;
        file_->source_kind = context_.source_kind;
        if (!in_use_) file_->deleted = 1;
        return;
    }
    if (lists) {
        if (const auto it = lists->waiting_folders.find(owner_); it != lists->waiting_folders.end()) {
            folder_ = it->second.node;
            second_name_ = it->second.second_name;
            named_ = !folder_->name_text().empty();
        }
    }
    if (!folder_) folder_ = std::make_shared<tagNtfsFolderInfoEx>();
    folder_->record_number = owner_;
    if (!in_use_) folder_->deleted = 1;
}

void record_parser::walk_attributes() {
    attribute_walk walk(view_, length_rule::repairing);
    while (const auto attribute = walk.next()) {
        switch (attribute->type) {
            case attribute_type::standard_information: on_standard_information(*attribute); break;
            case attribute_type::attribute_list: on_attribute_list(*attribute); break;
            case attribute_type::file_name: on_file_name(*attribute); break;
            case attribute_type::data: on_data(*attribute); break;
            case attribute_type::index_allocation: on_index_allocation(*attribute); break;
            default: break;
        }
    }
}

// The start of a resident value whose fixed part must lie inside the record.
std::optional<size_t> fixed_value_start(const attribute_ref& attribute, size_t record_size) {
    if (attribute.non_resident()) return std::nullopt;
    const size_t start = attribute.offset + attribute.bytes.u16_or(attribute_header::value_offset);
    if (record_size < fixed_value_bytes || start >= record_size - fixed_value_bytes) return std::nullopt;
    return start;
}

void record_parser::on_standard_information(const attribute_ref& attribute) {
    const auto start = fixed_value_start(attribute, view_.size());
    if (!start) return;
    const byte_view value = view_.sub(*start, fixed_value_bytes);
    if (tagNtfsBaseInfo* info = base_info()) {
        apply_standard_information(*info, value);
    } else if (entry_ && value.u64_or(0) != 0) {
        std::copy_n(value.data(), fixed_value_bytes, entry_->standard_information.begin());
    }
}

void record_parser::dissolve_node_into_entry() {
    attribute_list_mgr& lists = tree()->lists;
    entry_ = lists.create(owner_, is_base() ? static_cast<uint16_t>(link_count_) : unknown_link_count,
                          context_.source_kind, is_base());
    tree_node* current = node();
    if (current && named_) {
        const uint64_t parent = file_ ? file_->parent_record : folder_->parent_record;
        lists.add_link(*entry_, parent, current->name_text());
        if (!second_name_.empty()) lists.add_link(*entry_, parent, second_name_);
    }
    if (current && current->deleted) entry_->flags |= attribute_list_flag::deleted;
    if (folder_) entry_->flags |= attribute_list_flag::directory;
    if (const tagNtfsBaseInfo* info = base_info()) {
        // Back into the on-disk layout of $STANDARD_INFORMATION.
        auto put = [&](size_t at, uint64_t value, int bytes) {
            for (int i = 0; i < bytes; ++i) entry_->standard_information[at + i] = uint8_t(value >> (8 * i));
        };
        put(0x00, info->created, 8);
        put(0x08, info->modified, 8);
        put(0x18, info->accessed, 8);
        put(0x20, info->attributes, 4);
    }
    lists.waiting_files.erase(owner_);
    lists.waiting_folders.erase(owner_);
    file_.reset();
    folder_.reset();
    named_ = false;
    second_name_.clear();
}

void record_parser::on_attribute_list(const attribute_ref& attribute) {
    if (!tree()) return;
    if (!entry_) dissolve_node_into_entry();
    attribute_list_mgr& lists = tree()->lists;
    if (!attribute.non_resident()) {
        lists.parse_list(*entry_, attribute.resident_value());
        return;
    }
    if (!attribute.name().empty()) return;
    entry_->flags |= attribute_list_flag::has_list;
    const uint64_t size = attribute_data_size(attribute.bytes);
    const run_list runs =
        decode_runs(run_list_bytes(attribute.bytes), size, context_.cluster_size, context_.total_clusters);
    const ntfs_cluster_source source{context_.device, context_.cluster_size, context_.volume_offset};
    const std::vector<uint8_t> list = read_ntfs_runs_to_memory(source, runs, size, max_attribute_list_bytes);
    lists.parse_list(*entry_, byte_view(list.data(), list.size()));
    if (context_.cluster_map && !entry_->is(attribute_list_flag::deleted)) {
        context_.cluster_map->mark_runs(runs, static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)));
    }
}

void record_parser::on_file_name(const attribute_ref& attribute) {
    const auto start = fixed_value_start(attribute, view_.size());
    if (!start) return;
    ++file_names_;
    const auto name = parse_file_name(view_.from(*start));
    if (!name) return;
    if (name->name_space == dos_only_namespace) {
        if (!node() && entry_) ++entry_->dos_names;
        return;
    }
    if (tree_node* current = node()) {
        if (!named_) {
            current->set_name(name->name);
            if (file_) file_->parent_record = name->parent_record;
            if (folder_) folder_->parent_record = name->parent_record;
            named_ = true;
        } else {
            second_name_ = name->name;
        }
    } else if (entry_) {
        tree()->lists.add_link(*entry_, name->parent_record, name->name);
    }
}

bool record_parser::data_is_live() const {
    if (file_) return !file_->deleted;
    return entry_ && !entry_->is(attribute_list_flag::deleted);
}

void record_parser::on_data(const attribute_ref& attribute) {
    if (attribute.bytes.u8_or(attribute_header::name_length) != 0) return;  // named streams are not the file
    if (folder_) return;
    const bool resident = !attribute.non_resident();
    if (!resident && attribute.bytes.u64_or(attribute_header::first_vcn) != 0) {
        on_data_continuation(attribute);
        return;
    }
    run_list runs;
    uint64_t size;
    uint8_t compression = 0;
    if (resident) {
        size = attribute.bytes.u32_or(attribute_header::value_length);
    } else {
        size = attribute_data_size(attribute.bytes);
        uint64_t cover = size;
        if (attribute.bytes.u16_or(attribute_header::flags) & compressed_flag) {
            compression = attribute.bytes.u8_or(attribute_header::compression_unit);
            // Compressed data is allocated in whole units; its runs are
            // decoded to the allocated size so the last unit's sparse tail,
            // which marks it compressed, is kept.
            cover = std::max(cover, attribute.bytes.u64_or(attribute_header::allocated_size));
        }
        runs = decode_runs(run_list_bytes(attribute.bytes), cover, context_.cluster_size, context_.total_clusters);
    }
    if (file_) {
        file_->size = size;
        file_->runs = runs;
        file_->compression_unit_log2 = compression;
        // Remembered only for data in the node's own record (an extension
        // record's data is found again through the list when asked for).
        const bool own_record = is_base() && resident && size > 0;
        file_->resident_value_offset = own_record ? static_cast<uint16_t>(
                                                        attribute.offset +
                                                        attribute.bytes.u16_or(attribute_header::value_offset))
                                                  : 0;
        file_->resident_sequence_offset = own_record ? static_cast<uint16_t>(sequence_offset_) : 0;
    } else if (entry_) {
        tree()->lists.add_data(*entry_, own_number_, resident ? nullptr : &runs,
                               static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)), compression);
        if (!resident) entry_->data_pieces[0] = runs;
    }
    if (!resident && context_.cluster_map && data_is_live()) {
        context_.cluster_map->mark_runs(runs, static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)));
    }
}

void record_parser::on_data_continuation(const attribute_ref& attribute) {
    // Only the first piece carries the sizes; a later piece covers the
    // virtual clusters from its first to its last.
    const uint64_t first_vcn = attribute.bytes.u64_or(attribute_header::first_vcn);
    const uint64_t last_vcn = attribute.bytes.u64_or(attribute_header::last_vcn);
    if (!entry_ || last_vcn < first_vcn) return;
    const auto cover = checked_mul(last_vcn - first_vcn + 1, context_.cluster_size);
    if (!cover) return;
    const run_list runs =
        decode_runs(run_list_bytes(attribute.bytes), *cover, context_.cluster_size, context_.total_clusters);
    entry_->data_pieces[first_vcn] = runs;
    if (context_.cluster_map && data_is_live()) {
        context_.cluster_map->mark_runs(runs, static_cast<int64_t>(std::min<uint64_t>(*cover, INT64_MAX)));
    }
}

void record_parser::on_index_allocation(const attribute_ref& attribute) {
    if (!folder_ || folder_->deleted || !attribute.non_resident()) return;
    if (attribute.bytes.u8_or(attribute_header::name_length) != 4 || attribute.name() != u"$I30") return;
    const uint64_t size = attribute_data_size(attribute.bytes);
    const run_list runs =
        decode_runs(run_list_bytes(attribute.bytes), size, context_.cluster_size, context_.total_clusters);
    if (context_.cluster_map) {
        context_.cluster_map->mark_runs(runs, static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)));
    }
}

void record_parser::complete() {
    if (!tree()) return;
    attribute_list_mgr& lists = tree()->lists;
    if (!file_ && !folder_) {
        if (entry_) lists.test_completion(*entry_, *tree());
        return;
    }
    const bool names_counted = static_cast<int>(file_names_) >= link_count_;
    if (file_) {
        if (named_ && file_->size > 0 && names_counted) {
            lists.waiting_files.erase(owner_);
            tree()->add_file(file_->parent_record, file_);
            if (!second_name_.empty()) {
                auto clone = std::static_pointer_cast<tagNtfsFileInfoEx>(file_->clone());
                clone->set_name(second_name_);
                tree()->add_file(file_->parent_record, clone);
            }
        } else {
            lists.waiting_files[owner_] = {file_, second_name_};
        }
        return;
    }
    if (named_ && names_counted) {
        lists.waiting_folders.erase(owner_);
        tree()->add_folder(folder_->parent_record, folder_);
        if (!second_name_.empty()) {
            auto clone = folder_->clone_empty();
            clone->set_name(second_name_);
            tree()->add_folder(folder_->parent_record, clone);
        }
    } else {
        lists.waiting_folders[owner_] = {folder_, second_name_};
    }
}

}  // namespace

bool looks_like_mft_record(byte_view block) {
    if (!block.matches(mft_header::magic, "FILE")) return false;
    const uint16_t first = block.u16_or(mft_header::first_attribute_offset);
    if (first == 0 || first >= 508) return false;
    if (block.u32_or(0x1C) < block.u32_or(0x18)) return false;  // allocated below used
    const uint16_t sequence_entries = block.u16_or(0x06);
    if (sequence_entries < 1 || sequence_entries > 3) return false;
    const uint32_t type = block.u32_or(first);
    return type == attribute_type::end_marker || type == 0x100 || (type >= 0x10 && type <= 0xF0 && type % 16 == 0);
}

parsed_record parse_mft_record(std::span<uint8_t> record, const record_parse_context& context) {
    const byte_view view(record);
    if (!view.matches(mft_header::magic, "FILE")) return {};
    const uint32_t sequence_offset = apply_fixup(record);
    if (sequence_offset == 0) return {};
    if (!has_parsable_first_attribute(view)) return {};
    try {
        return record_parser(record, context, sequence_offset).run();
    } catch (const std::bad_alloc&) {
        return {};  // this record is skipped; the scan goes on
    }
}

}  // namespace ostrel
