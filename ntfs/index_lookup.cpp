// Finding a child folder by name in a folder's $I30 directory index: the
// entries of its $INDEX_ROOT, then those of every "INDX" record its
// $INDEX_ALLOCATION holds. Only a scan limited to one folder uses this, to
// resolve its start path without reading the whole MFT.
#include <algorithm>
#include <memory>
#include <new>

#include "core/scan_frame.h"
#include "ntfs/attribute_walk.h"
#include "ntfs/fixup.h"
#include "ntfs/ntfs_recover.h"
#include "ntfs/run_list.h"
#include "platform/descriptor_io.h"
#include "volume/checked_math.h"

namespace ostrel {

namespace {

namespace index_entry {
constexpr size_t file_reference = 0x00;  // u64
constexpr size_t length = 0x08;          // u16
constexpr size_t key_flags = 0x48;       // u32: the $FILE_NAME key's attribute flags
constexpr size_t name_length = 0x50;     // u8
constexpr size_t name_space = 0x51;      // u8
constexpr size_t name = 0x52;            // UTF-16
constexpr size_t min_length = 0x58;
}  // namespace index_entry

constexpr uint32_t directory_flag = 0x10000000;
constexpr uint32_t indexed_file_name = 0x30;
constexpr size_t index_root_header = 0x10;   // entries offset and index size count from here
constexpr size_t index_record_header = 0x18;
constexpr uint64_t index_read_records = 32;

// Upper case for the letters whose case Windows folds in file names and that
// names use most: ASCII, Latin-1, Greek and Cyrillic.
char16_t fold(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

bool matches_folder(byte_view entry, std::u16string_view wanted) {
    const uint8_t length = entry.u8_or(index_entry::name_length);
    if (entry.u8_or(index_entry::name_space) == 2) return false;  // a DOS 8.3 alias
    if (!(entry.u32_or(index_entry::key_flags) & directory_flag)) return false;
    if (length == 0 || length != wanted.size() || !entry.contains(index_entry::name, 2u * length)) return false;
    for (size_t i = 0; i < length; ++i) {
        if (fold(static_cast<char16_t>(entry.u16_or(index_entry::name + 2 * i))) != fold(wanted[i])) return false;
    }
    return true;
}

// The entries from `first` while an entry's fixed part ends inside
// `index_end`; an entry shorter than its fixed part ends the walk.
uint64_t search_entries(byte_view entries, size_t first, size_t index_end, std::u16string_view wanted) {
    for (size_t at = first; at + index_entry::min_length <= index_end;) {
        const byte_view entry = entries.from(at);
        const uint16_t length = entry.u16_or(index_entry::length);
        if (length < index_entry::min_length) break;
        if (matches_folder(entry, wanted)) return reference_record_number(entry.u64_or(index_entry::file_reference));
        at += length;
    }
    return 0;
}

uint64_t search_index_root(byte_view value, std::u16string_view wanted) {
    if (value.u32_or(0) != indexed_file_name) return 0;
    const uint64_t first = uint64_t{value.u32_or(index_root_header)} + index_root_header;
    const uint64_t end = std::min<uint64_t>(uint64_t{value.u32_or(index_root_header + 4)} + index_root_header,
                                            value.size());
    return first < end ? search_entries(value, static_cast<size_t>(first), static_cast<size_t>(end), wanted) : 0;
}

// Puts back the sector ends of an "INDX" record from its update sequence
// array, without comparing them with the sequence number.
void fix_index_record(std::span<uint8_t> record) {
    const byte_view view(record);
    const size_t array = view.u16_or(0x04);
    const size_t count = view.u16_or(0x06);
    if (count == 0 || array + 2 * count > record.size()) return;
    const size_t sectors = std::min(count - 1, record.size() / 512);
    for (size_t i = 0; i < sectors; ++i) {
        record[i * 512 + 510] = record[array + 2 + 2 * i];
        record[i * 512 + 511] = record[array + 3 + 2 * i];
    }
}

uint64_t search_index_record(std::span<uint8_t> record, std::u16string_view wanted) {
    fix_index_record(record);
    const byte_view view(record);
    const uint64_t first = uint64_t{view.u32_or(index_record_header)} + index_record_header;
    const uint64_t end = std::min<uint64_t>(uint64_t{view.u32_or(index_record_header + 4)} + index_record_header,
                                            record.size());
    return first < end ? search_entries(view, static_cast<size_t>(first), static_cast<size_t>(end), wanted) : 0;
}

}  // namespace

uint64_t ntfs_recover::find_child_folder(uint64_t folder, std::u16string_view name) const {
    std::vector<uint64_t> to_visit{folder};
    const uint32_t index_size = geometry_.index_record_size;
    const uint64_t cluster_bytes = cluster_size();
    for (size_t i = 0; i < to_visit.size(); ++i) {
        std::vector<uint8_t> record;
        if (!read_mft_record(d_scan, to_visit[i], record)) continue;
        const byte_view view(record);
        if (!view.matches(mft_header::magic, "FILE") || apply_fixup(record) == 0) continue;
        attribute_walk walk(view, length_rule::repairing);
        while (const auto attribute = walk.next()) {
            if (attribute->type == attribute_type::attribute_list && i == 0) {
                for (uint64_t listed : listed_records(*attribute, d_scan)) {
                    if (std::find(to_visit.begin(), to_visit.end(), listed) == to_visit.end()) {
                        to_visit.push_back(listed);
                    }
                }
            } else if (attribute->type == attribute_type::index_root && !attribute->non_resident()) {
                if (const uint64_t found = search_index_root(attribute->resident_value(), name)) return found;
            } else if (attribute->type == attribute_type::index_allocation && attribute->non_resident() &&
                       equal_ignoring_case(attribute->name(), u"$I30")) {
                if (index_size < 512 || index_size > max_ntfs_record_bytes || cluster_bytes == 0) continue;
                const uint64_t size = attribute_data_size(attribute->bytes);
                const run_list runs =
                    decode_runs(run_list_bytes(attribute->bytes), size, cluster_size(), geometry_.total_clusters());
                std::vector<uint8_t> buffer;
                try {
                    // At most 2 MiB: index records above 64 KiB were refused above.
                    buffer.resize(index_read_records * index_size);
                } catch (const std::bad_alloc&) {
                    return 0;
                }
                for (const data_run& run : runs) {
                    if (run.first == 0) continue;  // sparse: no records
                    const auto start = checked_mul(run.first, cluster_bytes);
                    const auto length = checked_mul(run.count, cluster_bytes);
                    if (!start || !length) continue;
                    for (uint64_t done = 0; done < *length;) {
                        const auto want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), *length - done));
                        std::fill(buffer.begin(), buffer.end(), uint8_t{0});
                        const int32_t got = read_at(d_scan, buffer.data(), *start + volume_offset + done, want);
                        if (got <= 0) break;
                        for (size_t at = 0; at + 16 <= static_cast<size_t>(got) && at + index_size <= buffer.size();
                             at += index_size) {
                            if (!byte_view(buffer).matches(at, "INDX")) break;
                            const std::span<uint8_t> one(buffer.data() + at, index_size);
                            if (const uint64_t found = search_index_record(one, name)) return found;
                        }
                        done += static_cast<uint64_t>(got);
                    }
                }
            }
        }
    }
    return 0;
}

}  // namespace ostrel
