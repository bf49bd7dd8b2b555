// File-type identification: the signature chain over the input as one
// block run (with and without the ZIP walker's count of bytes beyond it),
// and the container sniffing that renames carved ZIP and compound files.
#include <cstddef>
#include <cstdint>
#include <string>

#include "filetype/identify_container.h"
#include "filetype/identify_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel;
    std::u16string extension;
    uint32_t beyond = 0;
    identify_signature(data, size, &beyond, extension);
    identify_signature(data, size, nullptr, extension);
    identify_container(data, size, extension);
    return 0;
}
