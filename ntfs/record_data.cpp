// A found NTFS file's data: saved, read into memory, or described as
// extents, from its runs or, when it has none, through its MFT record.
#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "core/save.h"
#include "engine/log.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "ntfs/ntfs_recover.h"
#include "ntfs/record_block.h"
#include "ntfs/record_tree.h"
#include "ntfs/run_list.h"
#include "ostrel/ostrel.h"
#include "platform/descriptor_io.h"

namespace ostrel {

namespace {

constexpr uint16_t compressed_flag = 0x0001;
// A resident value's extent object is cut at this many characters.
constexpr size_t resident_extent_chars = 99;

struct destination_file {
    int fd = -1;
    ~destination_file() {
        if (fd > 0) platform::close_descriptor(fd);
    }
};

bool is_unnamed_data(const attribute_ref& attribute) {
    return attribute.type == attribute_type::data && attribute.bytes.u8_or(attribute_header::name_length) == 0;
}

}  // namespace

std::vector<uint64_t> ntfs_recover::listed_records(const attribute_ref& attribute, int32_t fd) const {
    std::vector<uint8_t> storage;
    byte_view list;
    if (attribute.non_resident()) {
        const uint64_t size = attribute_data_size(attribute.bytes);
        const run_list runs =
            decode_runs(run_list_bytes(attribute.bytes), size, cluster_size(), geometry_.total_clusters());
        storage = read_ntfs_runs_to_memory(cluster_source(fd), runs, size, max_attribute_list_bytes);
        list = byte_view(storage.data(), storage.size());
    } else {
        list = attribute.resident_value();
    }
    std::vector<uint64_t> numbers;
    for (const attribute_list_item& item : list_items(list)) {
        if (std::find(numbers.begin(), numbers.end(), item.record) == numbers.end()) numbers.push_back(item.record);
    }
    return numbers;
}

uint64_t ntfs_recover::read_through_record(int32_t fd, uint64_t number, uint64_t size, data_sink sink,
                                           void* context, ::stop_token* stop, int32_t* error) const {
    if (fd <= 0 || number == 0 || !sink || !context) return 0;
    std::vector<uint64_t> extension_records;
    // The base record first, then each extension record it lists; an
    // extension record's own list (there should be none) is not followed,
    // so a list that names itself cannot loop.
    std::vector<uint64_t> to_visit{number};
    for (size_t i = 0; i < to_visit.size(); ++i) {
        std::vector<uint8_t> record;
        const auto offset = mft_record_offset(to_visit[i]);
        if (!offset || geometry_.record_size > max_ntfs_record_bytes ||
            !read_record_through_block(fd, record_block_owner_, *offset, geometry_.record_size, record)) {
            continue;
        }
        const byte_view view(record);
        if (!view.matches(mft_header::magic, "FILE") || apply_fixup(record) == 0) continue;
        attribute_walk walk(view, length_rule::repairing);
        while (const auto attribute = walk.next()) {
            if (is_stopped(stop)) return 0;
            if (attribute->type == attribute_type::attribute_list && i == 0) {
                for (uint64_t listed : listed_records(*attribute, fd)) {
                    if (listed != number) to_visit.push_back(listed);
                }
                continue;
            }
            if (!is_unnamed_data(*attribute)) continue;
            if (!attribute->non_resident()) {
                const byte_view value = attribute->resident_value();
                if (value.empty()) continue;
                return sink(value.data(), static_cast<uint32_t>(value.size()), context, 4, error) ? value.size() : 0;
            }
            if (attribute->bytes.u64_or(attribute_header::first_vcn) != 0) continue;
            const uint64_t data_size = attribute_data_size(attribute->bytes);
            if (data_size == 0) continue;
            uint8_t compression = 0;
            uint64_t cover = data_size;
            if (attribute->bytes.u16_or(attribute_header::flags) & compressed_flag) {
                compression = attribute->bytes.u8_or(attribute_header::compression_unit);
                cover = std::max(cover, attribute->bytes.u64_or(attribute_header::allocated_size));
            }
            const run_list runs =
                decode_runs(run_list_bytes(attribute->bytes), cover, cluster_size(), geometry_.total_clusters());
            return read_ntfs_runs(cluster_source(fd), runs, size ? size : data_size, compression, sink, context, stop,
                                  error);
        }
    }
    return 0;
}

uint64_t ntfs_recover::read_file_data(int32_t fd, const tagNtfsFileInfoEx& file, data_sink sink, void* context,
                                      ::stop_token* stop, int32_t* error) const {
    if (file.runs.empty()) return read_through_record(fd, file.record_number, file.size, sink, context, stop, error);
    return read_ntfs_runs(cluster_source(fd), file.runs, file.size, file.compression_unit_log2, sink, context, stop,
                          error);
}

bool ntfs_recover::save(const std::shared_ptr<tagFileInfo>& node, const char16_t* destination, int32_t& error) {
    error = 0;
    platform::clear_error();
    if (!node) return false;
    if (node->source_kind != 0) return save_deep_scan_node(*node, destination, error);
    const auto* file = dynamic_cast<const tagNtfsFileInfoEx*>(node.get());
    if (!file) return recover_impl::save(node, destination, error);

    bool saved = false;
    {
        destination_file out;
        out.fd = create_destination(destination, error);
        if (out.fd < 0) return false;
        if (file->size == 0) {
            saved = true;
        } else {
            int32_t sink_fd = out.fd;
            saved = read_file_data(d_recovery, *file, write_chunk, &sink_fd, save_token, &error) == file->size;
        }
    }
    if (save_token && is_stopped(save_token)) save_token->on_stopped();
    return saved;
}

bool ntfs_recover::read_to_memory(int32_t fd, const tagFileInfo& node, write_buffer_info& out) {
    out.bytes.clear();
    const auto* file = dynamic_cast<const tagNtfsFileInfoEx*>(&node);
    if (!file || file->size == 0) return false;
    try {
        // The size comes from the record: no more than the volume holds is
        // reserved, and the data grows past that as it arrives.
        out.bytes.reserve(static_cast<size_t>(std::min(file->size, volume_size())));
    } catch (const std::exception&) {
        return false;  // a size no buffer can hold
    }
    return read_file_data(fd, *file, append_to_memory, &out, stop_token, nullptr) == file->size;
}

namespace {

// Appends the extent object of a value kept inside its record.
void append_resident_extent(std::string& out, uint64_t record_position, uint64_t value_offset, uint32_t length,
                            uint32_t sequence_offset) {
    // Written digit by digit: a listing asks every file's extents.
    const size_t start = out.size();
    out += "{\"o\":";
    append_decimal(out, static_cast<long long>(record_position + value_offset));
    out += ", \"l\":";
    append_decimal(out, static_cast<long long>(length));
    if (sequence_offset != 0) {
        out += ", \"s\":";
        append_decimal(out, static_cast<long long>(record_position));
        out += ", \"u\":";
        append_decimal(out, static_cast<long long>(sequence_offset));
    }
    out += "}";
    if (out.size() - start > resident_extent_chars) out.resize(start + resident_extent_chars);
}

}  // namespace

std::string ntfs_recover::resident_extent_text(const tagNtfsFileInfoEx& file) const {
    std::string text = "[";
    // What the scan noted when it read the record gives the same text
    // without reading the record again.
    const auto known_position = mft_record_offset(file.record_number);
    if (file.resident_value_offset != 0 && known_position && geometry_.record_size >= 1024) {
        append_resident_extent(text, *known_position, file.resident_value_offset, static_cast<uint32_t>(file.size),
                               file.resident_sequence_offset);
        text += "]";
        return text;
    }
    std::vector<uint64_t> to_visit{file.record_number};
    for (size_t i = 0; i < to_visit.size(); ++i) {
        const auto position = mft_record_offset(to_visit[i]);
        std::vector<uint8_t> record;
        if (!position || !read_record_at(d_preview, *position, record) || record.size() < 1024) continue;
        const byte_view view(record);
        if (!view.matches(mft_header::magic, "FILE")) continue;
        const uint32_t update_sequence = apply_fixup(record);
        attribute_walk walk(view, length_rule::repairing);
        while (const auto attribute = walk.next()) {
            if (attribute->type == attribute_type::attribute_list && i == 0) {
                for (uint64_t listed : listed_records(*attribute, d_preview)) {
                    if (listed != file.record_number) to_visit.push_back(listed);
                }
                continue;
            }
            if (!is_unnamed_data(*attribute)) continue;
            if (attribute->non_resident()) return text + "]";  // the data is not in the record
            const uint32_t length = attribute->bytes.u32_or(attribute_header::value_length);
            if (length == 0) continue;
            const uint64_t value_at = attribute->offset + attribute->bytes.u16_or(attribute_header::value_offset);
            append_resident_extent(text, *position, value_at, length, update_sequence);
            text += "]";
            return text;
        }
    }
    return text + "]";
}

std::string ntfs_recover::extent_text(const std::shared_ptr<tagFileInfo>& node) const {
    if (!node) return {};
    if (node->source_kind != 0) return deep_scan_extent_text(*node);
    if (node->size == 0) return {};
    const auto* file = dynamic_cast<const tagNtfsFileInfoEx*>(node.get());
    if (!node->runs.empty() || !file) return cluster_extent_text(*this, *node, false);
    return resident_extent_text(*file);
}

int32_t ntfs_recover::full_path(const tree_node& node, char16_t* buffer, uint32_t buffer_chars) const {
    if (former_paths.find(node.handle())) return recover_impl::full_path(node, buffer, buffer_chars);
    std::vector<std::shared_ptr<tagFolderInfo>> chain;
    std::shared_ptr<const std::u16string> prefix;
    bool reached_root = false;
    for (auto folder = node.parent.lock(); folder; folder = folder->parent.lock()) {
        if ((prefix = former_paths.find(folder->handle()))) break;
        const auto* ntfs_folder = dynamic_cast<const tagNtfsFolderInfoEx*>(folder.get());
        if (ntfs_folder && ntfs_folder->record_number == root_record && !folder->parent.lock()) {
            reached_root = true;
            break;
        }
        chain.push_back(folder);
        if (chain.size() > 1000000) break;  // a parent cycle cannot be real; stop
    }
    std::u16string path;
    if (prefix) path = *prefix + u"\\";
    if (reached_root) path = start_path.substr(0, 3);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += (*it)->name_text() + u"\\";
    path += node.name_text();
    const size_t needed = path.size() + 1;
    if (buffer && buffer_chars > 0) std::memset(buffer, 0, buffer_chars * sizeof(char16_t));
    if (buffer && needed <= buffer_chars) std::memcpy(buffer, path.c_str(), needed * sizeof(char16_t));
    return static_cast<int32_t>(needed);
}

}  // namespace ostrel
