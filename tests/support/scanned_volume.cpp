#include "tests/support/scanned_volume.h"

#include "core/node.h"
#include "platform/wide_text.h"

namespace ostrel::test {

bool scanned_volume::scan(const char16_t* start_path) {
    host.clear();
    paths.clear();
    root.reset();
    const bool ok = scanned->scan(root, start_path);
    for (const auto& item : host.items) paths[host.mirrored_path(item.record.handle)] = item.record.handle;
    return ok;
}

const tree_node* scanned_volume::node_at(const std::string& path) const {
    const auto it = paths.find(path);
    return it == paths.end() ? nullptr : tree_node::from_handle(it->second);
}

bool scanned_volume::save(const tree_node* node, std::vector<uint8_t>& bytes) {
    bytes.clear();
    auto* file = dynamic_cast<const tagFileInfo*>(node);
    if (!file) return false;
    const std::filesystem::path target = out / ("saved" + std::to_string(saves++));
    const std::u16string destination = platform::utf8_to_utf16(target.string());
    const bool ok = scanned->save(borrow_node(const_cast<tagFileInfo*>(file)), destination.c_str(), save_error);
    bytes = read_file(target);
    return ok;
}

std::string scanned_volume::saved_sha(const tree_node* node) {
    std::vector<uint8_t> bytes;
    return save(node, bytes) ? sha256_hex(bytes) : "not saved, error " + std::to_string(save_error);
}

}  // namespace ostrel::test
