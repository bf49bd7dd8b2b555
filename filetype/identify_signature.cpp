#include "filetype/identify_signature.h"

#include <array>
#include <vector>

#include "filetype/file_type.h"
#include "filetype/signature_rules.h"

namespace ostrel {

namespace {

// For every value of a block's first byte, the rules (as indexes into the
// chain, in chain order) that can hold for it. A random block meets only the
// handful of rules that do not anchor on byte 0 (Targa, the Access database,
// ISO media and LHA), so most of the chain is never looked at.
class first_byte_dispatch {
public:
    first_byte_dispatch() {
        const auto chain = signature_chain();
        for (unsigned value = 0; value < 256; ++value) {
            starts_[value] = uint16_t(indexes_.size());
            for (size_t i = 0; i < chain.size(); ++i) {
                if (chain[i].first_bytes.contains(uint8_t(value))) indexes_.push_back(uint8_t(i));
            }
        }
        starts_[256] = uint16_t(indexes_.size());
    }

    const uint8_t* begin(uint8_t value) const { return indexes_.data() + starts_[value]; }
    const uint8_t* end(uint8_t value) const { return indexes_.data() + starts_[value + 1]; }

private:
    std::array<uint16_t, 257> starts_{};
    std::vector<uint8_t> indexes_;
};

const first_byte_dispatch& dispatch() {
    static const first_byte_dispatch table;
    return table;
}

}  // namespace

uint32_t identify_signature(const uint8_t* buffer, size_t size, uint32_t* bytes_beyond, std::u16string& extension) {
    if (bytes_beyond) *bytes_beyond = 0;
    uint32_t code = 0;
    signature_block block{buffer, size, bytes_beyond};
    if (buffer && size >= signature_block_min_bytes) {
        const auto chain = signature_chain();
        const first_byte_dispatch& table = dispatch();
        for (const uint8_t* i = table.begin(buffer[0]); i != table.end(buffer[0]); ++i) {
            code = run_signature_rule(chain[*i], block);
            if (code) break;
        }
    }
    if (code == file_type::exe && block.dll) {
        extension.assign(u"dll");
    } else {
        extension.assign(file_type_extension(code));
    }
    return code;
}

}  // namespace ostrel
