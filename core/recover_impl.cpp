#include "core/recover_impl.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "carve/deep_scan_engine.h"
#include "carve/sweep.h"
#include "engine/log.h"
#include "platform/descriptor_io.h"

namespace ostrel {

namespace {

constexpr const char* close_message = "close\n";

}  // namespace

recover_impl::recover_impl(int32_t d_scan_in, std::shared_ptr<const _boot_sector> boot, uint64_t offset,
                           bool deep_scan_in)
    : d_scan(duplicate_descriptor(d_scan_in, "dup file err, orign file:%d\n")),
      deep_scan(deep_scan_in),
      boot_sector(std::move(boot)),
      volume_offset(offset) {}

recover_impl::~recover_impl() {
    log_recovery(close_message);
    close_descriptors();
}

void recover_impl::close() {
    log_recovery(close_message);
    close_descriptors();
}

void recover_impl::close_descriptors() {
    for (int32_t* fd : {&d_scan, &d_recovery, &d_preview}) {
        if (*fd != 0) platform::close_descriptor(*fd);
        *fd = 0;
    }
}

bool recover_impl::find_node_if(node_predicate predicate, void* context, const std::shared_ptr<tagFolderInfo>& folder,
                                std::shared_ptr<tree_node>& out, bool recursive) const {
    if (!predicate || !folder) return false;
    if (predicate(folder.get(), nullptr, context)) {
        out = folder;
        return true;
    }
    if (recursive) {
        for (const auto& [name, child] : folder->folders) {
            if (find_node_if(predicate, context, child, out, true)) return true;
        }
    }
    for (const auto& [name, file] : folder->files) {
        if (predicate(nullptr, file.get(), context)) {
            out = file;
            return true;
        }
    }
    return false;
}

bool recover_impl::find_node_by_name(std::shared_ptr<tree_node>& out, const std::shared_ptr<tagFolderInfo>& folder,
                                     std::u16string_view name, bool recursive) const {
    if (!folder) return false;
    const name_ptr key = make_name(std::u16string(name));
    if (const auto it = folder->files.find(key); it != folder->files.end()) {
        out = it->second;
        return true;
    }
    if (const auto it = folder->folders.find(key); it != folder->folders.end()) {
        out = it->second;
        return true;
    }
    if (recursive) {
        for (const auto& [child_name, child] : folder->folders) {
            if (find_node_by_name(out, child, name, true)) return true;
        }
    }
    return false;
}

bool append_to_memory(const uint8_t* buffer, uint32_t count, void* context, uint32_t, int32_t*) {
    auto* out = static_cast<write_buffer_info*>(context);
    try {
        out->bytes.insert(out->bytes.end(), buffer, buffer + count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool recover_impl::read_to_memory(int32_t fd, const tagFileInfo& node, write_buffer_info& out) {
    out.bytes.clear();
    if (node.size == 0 || node.runs.empty()) return false;
    try {
        // The size comes from the disk: no more than the volume holds is
        // reserved, and the data grows past that as it arrives.
        out.bytes.reserve(static_cast<size_t>(std::min(node.size, volume_size())));
    } catch (const std::exception&) {
        return false;  // a size no buffer can hold
    }
    const uint64_t delivered = save_runs(fd, node.runs, node.size, append_to_memory, &out, stop_token, nullptr);
    return delivered == node.size;
}

bool recover_impl::run_deep_scan() {
    std::shared_ptr<ostrel::deep_scan_engine> sweep;
    try {
        sweep = std::make_shared<ostrel::deep_scan_engine>(*this);
    } catch (const std::bad_alloc&) {
        return false;
    }
    deep_scan_engine = sweep;
    try {
        ostrel::run_deep_scan(*sweep);
    } catch (const std::bad_alloc&) {
        // What was carved before memory ran out stays found.
    }
    return true;
}

int32_t recover_impl::full_path(const tree_node& node, char16_t* buffer, uint32_t buffer_chars) const {
    if (auto former = former_paths.find(node.handle())) {
        const size_t needed = former->size() + 1;
        if (buffer && former->size() < buffer_chars) {
            std::memcpy(buffer, former->c_str(), needed * sizeof(char16_t));
        }
        return static_cast<int32_t>(needed);
    }
    // Walk up to the root, or to a folder that has a former path of its own.
    std::vector<std::shared_ptr<tagFolderInfo>> chain;
    std::shared_ptr<const std::u16string> prefix;
    for (auto folder = node.parent.lock(); folder; folder = folder->parent.lock()) {
        if ((prefix = former_paths.find(folder->handle()))) break;
        chain.push_back(folder);
        if (chain.size() > 1000000) break;  // a parent cycle cannot be real; stop
    }
    std::u16string path;
    if (prefix) path = *prefix + u"\\";
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += (*it)->name_text() + u"\\";
    path += node.name_text();
    const size_t needed = path.size() + 1;
    if (buffer && needed <= buffer_chars) {
        std::memset(buffer, 0, buffer_chars * sizeof(char16_t));
        std::memcpy(buffer, path.c_str(), needed * sizeof(char16_t));
    }
    return static_cast<int32_t>(needed);
}

}  // namespace ostrel
