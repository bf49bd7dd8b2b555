#include "filetype/identify_container.h"

#include <cstring>

#include "filetype/compound_file.h"
#include "filetype/file_type.h"
#include "filetype/zip_sniff.h"

namespace ostrel {

uint32_t identify_container(const uint8_t* buffer, size_t size, std::u16string& extension) {
    if (!buffer || size == 0) return 0;
    uint32_t code = 0;
    if (size >= 4 && std::memcmp(buffer, "PK\3\4", 4) == 0) {
        code = zip_file_type(sniff_zip_entries(buffer, size, nullptr));
    } else if (size >= sizeof compound_file_signature &&
               std::memcmp(buffer, compound_file_signature, sizeof compound_file_signature) == 0) {
        compound_sniff_state state;
        sniff_compound_file(buffer, size, state);
        code = compound_file_type(state.result);
    } else {
        return 0;
    }
    extension.assign(file_type_extension(code));
    return code;
}

}  // namespace ostrel
