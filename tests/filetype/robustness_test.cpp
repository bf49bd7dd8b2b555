// Random and truncated input: every call returns, reads only inside the
// buffer it is given (an exactly-sized heap copy, so the address sanitizer
// reports any read past it) and leaves it unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "filetype/compound_file.h"
#include "filetype/file_type.h"
#include "filetype/identify_container.h"
#include "filetype/identify_signature.h"
#include "filetype/zip_sniff.h"

namespace ostrel {
namespace {

using bytes = std::vector<uint8_t>;

// Every entry point over the first `size` bytes of `source`. Over every cut of
// every sample the end-record search, which reads the whole buffer, is left to
// ZIP-like input (`all_directories` false) to stay linear.
void check_all(const uint8_t* source, size_t size, size_t index, bool all_directories = true) {
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size) std::memcpy(copy.get(), source, size);
    const uint8_t* buffer = copy.get();
    std::u16string extension = u"old";
    uint32_t beyond = 7;
    const uint32_t code = identify_signature(buffer, size, &beyond, extension);
    ASSERT_TRUE(code <= file_type::last_code && (size >= 512 || code == 0)) << code << " " << index;
    const bool dll = code == file_type::exe && extension == u"dll";
    ASSERT_EQ(extension, dll ? std::u16string_view(u"dll") : file_type_extension(code)) << index;
    if (size < 4 || std::memcmp(buffer, "PK\3\4", 4) != 0) {
        ASSERT_EQ(beyond, 0u) << index;  // only the ZIP walker sets it
    }
    identify_signature(buffer, size, nullptr, extension);
    identify_container(buffer, size, extension);
    sniff_zip_entries(buffer, size, &beyond);
    if (size >= 2 && (all_directories || source[0] == 'P')) sniff_zip_directory(buffer, size);
    compound_sniff_state state;
    sniff_compound_file(buffer, size, state);
    ASSERT_TRUE(size == 0 || std::memcmp(buffer, source, size) == 0) << "buffer changed " << index;
}

void put_le(bytes& b, size_t offset, uint32_t value, int width) {
    for (int i = 0; i < width && offset + i < b.size(); ++i) b[offset + i] = uint8_t(value >> (8 * i));
}

// Values that tend to break length arithmetic.
uint32_t hostile(std::mt19937& rng, uint32_t small_limit) {
    const uint32_t kind = rng() % 5;
    return kind == 0 ? 0 : kind == 1 ? 0xFFFFFFFF - rng() % 64 : kind == 2 ? rng() : rng() % small_limit;
}

// Plain random buffers, and ZIP-like and compound-like ones with hostile fields.
TEST(FiletypeRobustness, RandomBuffers) {
    std::mt19937 rng(2024);
    bytes data;
    for (size_t round = 0; round < 9000; ++round) {
        const int kind = round % 3;  // plain, ZIP, compound
        const size_t plain_size = round % 4 == 0 ? rng() % 600 : 512 + rng() % 3000;
        data.resize(kind == 1 ? rng() % 1500 : kind == 2 ? rng() % 5000 : plain_size);
        for (auto& byte : data) byte = uint8_t(kind == 2 && rng() % 2 ? 'W' : rng() % 3 == 0 ? 0 : rng());
        for (size_t at = 0; kind == 1 && at + 30 <= data.size(); at += 30 + rng() % 200) {  // local headers from 0
            put_le(data, at, 0x04034B50, 4);
            put_le(data, at + 6, rng() % 2 ? 0x08 : 0, 2);
            put_le(data, at + 14, rng() % 2 ? 0 : rng(), 4);
            put_le(data, at + 18, hostile(rng, 300), 4);
            put_le(data, at + 22, hostile(rng, 300), 4);
            put_le(data, at + 26, hostile(rng, 40), 2);
            put_le(data, at + 28, hostile(rng, 20), 2);
            if (rng() % 3 == 0) std::memcpy(&data[at + 30], "mimetype", std::min<size_t>(8, data.size() - at - 30));
        }
        if (kind == 1 && data.size() >= 22 + 46 + 10 && rng() % 2) {  // an end record and a central header
            const size_t end = data.size() - 22 - rng() % 10, central = rng() % (end - 46 + 1);
            put_le(data, end, 0x06054B50, 4);
            put_le(data, end + 12, hostile(rng, 400), 4);
            put_le(data, end + 16, hostile(rng, uint32_t(end)), 4);
            put_le(data, central, 0x02014B50, 4);
            put_le(data, central + 20, hostile(rng, 300), 4);
            put_le(data, central + 24, hostile(rng, 300), 4);
            put_le(data, central + 28, hostile(rng, 40), 2);
            put_le(data, central + 42, hostile(rng, uint32_t(data.size())), 4);
        }
        if (kind == 2) {
            std::memcpy(data.data(), compound_file_signature, std::min(data.size(), sizeof compound_file_signature));
            put_le(data, 26, rng() % 6, 2);
            put_le(data, 30, rng() % 4 == 0 ? hostile(rng, 64) : 9 + rng() % 4, 2);
            put_le(data, 40, hostile(rng, 12), 4);
            put_le(data, 48, hostile(rng, 10), 4);
        }
        ASSERT_NO_FATAL_FAILURE(check_all(data.data(), data.size(), round));
    }
}

TEST(FiletypeRobustness, SamplesCutAtEveryLength) {
    size_t files = 0;
    const std::string folder = std::string(OSTREL_TEST_DATA_DIR) + "/filetype/samples";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        for (size_t length = 0; length <= file.size(); ++length) {
            ASSERT_NO_FATAL_FAILURE(check_all(file.data(), length, files * 100000 + length, false));
        }
        ++files;
    }
    ASSERT_GE(files, 60u);
}

}  // namespace
}  // namespace ostrel
