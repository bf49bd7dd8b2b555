#include "carve/deep_scan_engine.h"

#include "core/recover_impl.h"
#include "core/report/report.h"
#include "core/save.h"

namespace ostrel {

deep_scan_engine::deep_scan_engine(recover_impl& owner) : engine(owner) {
    engine.geometry(device, volume_start, sector_count);
}

bool deep_scan_engine::save(const tagFileInfo& node, const char16_t* destination, int32_t& error) {
    switch (node.source_kind) {
        case 4: return save_byte_range(device, node, destination, engine.save_token, error);
        default: return false;
    }
}

std::string deep_scan_engine::extent_text(const tagFileInfo& node) const {
    switch (node.source_kind) {
        case 4: {
            if (node.runs.empty()) return "[]";
            return "[" + format_extent(node.runs.front().first, node.runs.front().count, true, true) + "]";
        }
        case 1: return cluster_extent_text(engine, node, true);
        default: return {};
    }
}

void deep_scan_engine::start_carved_file(uint64_t offset, uint32_t code, std::u16string_view extension) {
    current_carved_file = std::make_shared<tagUnknownFormatFileInfoEx>(offset, code, extension);
}

void deep_scan_engine::close_carved_file() {
    if (!current_carved_file) return;
    const std::shared_ptr<tagUnknownFormatFileInfoEx> file = std::move(current_carved_file);
    current_carved_file.reset();
    if (file->runs.size() == 1) file->size = file->runs.front().count;
    carved_files[file->name_text()] = file;
    report_file(item_kind_carved_file, file, nullptr, 0);
}

}  // namespace ostrel
