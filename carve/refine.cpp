// The pass after the sweep that names carved containers by their contents:
// a carved ZIP whose members are a word-processing document becomes a
// .docx, a compound file with a workbook stream an .xls, and so on.
#include <algorithm>
#include <memory>
#include <new>

#include "carve/deep_scan_engine.h"
#include "carve/sweep.h"
#include "core/recover_impl.h"
#include "core/report/report.h"
#include "filetype/identify_container.h"
#include "platform/descriptor_io.h"

namespace ostrel {

namespace {

constexpr uint64_t refine_chunk_bytes = 50 * 1024 * 1024;
// The contents looked at for one file. A container names its type in its
// first members or, for a ZIP, in the central directory at its end; a
// carved extent runs on to the next boundary and can be far longer than
// the container, so what is kept in memory for one file is bounded.
constexpr uint64_t max_refined_bytes = 4 * refine_chunk_bytes;

// Puts the new extension in place of everything after the last dot.
bool rename_extension(tagUnknownFormatFileInfoEx& file, const std::u16string& extension) {
    const std::u16string& name = file.name_text();
    const size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos) return false;
    file.set_name(name.substr(0, dot + 1) + extension);
    return true;
}

void refine_one(deep_scan_engine& sweep, const std::shared_ptr<tagUnknownFormatFileInfoEx>& carved, uint8_t* buffer,
                write_buffer_info& data) {
    tagUnknownFormatFileInfoEx& file = *carved;
    data.bytes.clear();
    const int64_t position = static_cast<int64_t>(file.offset());
    if (file.runs.empty() || platform::seek_to(sweep.device, position) != position) return;
    const uint64_t length = std::min(file.runs.front().count, max_refined_bytes);
    bool first = true;
    for (uint64_t done = 0; done < length;) {
        uint64_t want = std::min(refine_chunk_bytes, length - done) / 512 * 512;
        if (want < 512) want = 512;
        const int32_t got = platform::read_some(sweep.device, buffer, static_cast<uint32_t>(want));
        if (got < 1) return;
        std::u16string extension;
        uint32_t code;
        if (first) {
            code = identify_container(buffer, static_cast<size_t>(got), extension);
            data.bytes.assign(buffer, buffer + got);
        } else {
            data.bytes.insert(data.bytes.end(), buffer, buffer + got);
            code = identify_container(data.bytes.data(), data.bytes.size(), extension);
        }
        first = false;
        if (code != 0 && code != file.type && rename_extension(file, extension)) {
            static constexpr uint32_t retyped_group = item_group_carved_retyped;
            report_file(item_kind_file_renamed, std::static_pointer_cast<tagFileInfo>(carved),
                        &retyped_group, 0);
            return;
        }
        done += static_cast<uint64_t>(got);
    }
}

}  // namespace

void refine_carved_files(deep_scan_engine& sweep) {
    if (sweep.refinement_lists.empty()) return;
    // Reads of 50 MiB, or as long as the longest file when all are shorter.
    uint64_t longest = 512;
    for (const auto& [code, files] : sweep.refinement_lists) {
        for (const auto& file : files) {
            if (!file->runs.empty()) longest = std::max(longest, std::min(file->runs.front().count, refine_chunk_bytes));
        }
    }
    const size_t buffer_bytes = static_cast<size_t>((longest + 511) / 512 * 512);
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[buffer_bytes]);
    if (!buffer) return;
    write_buffer_info data;
    try {
        for (auto& [code, files] : sweep.refinement_lists) {
            for (const auto& file : files) refine_one(sweep, file, buffer.get(), data);
        }
    } catch (const std::bad_alloc&) {
        // The files keep the names the sweep gave them.
    }
}

}  // namespace ostrel
