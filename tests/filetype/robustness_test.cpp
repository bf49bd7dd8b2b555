// Random and truncated input: every call returns, reads only inside the
// buffer it is given (buffers are heap blocks of exactly that size, so the
// address sanitizer reports any read past them) and leaves it unchanged.
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

class exact_buffer {
public:
    exact_buffer(const uint8_t* source, size_t size) : source_(source), size_(size), bytes_(new uint8_t[size]) {
        if (size) std::memcpy(bytes_.get(), source, size);
    }
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool unchanged() const { return size_ == 0 || std::memcmp(bytes_.get(), source_, size_) == 0; }

private:
    const uint8_t* source_;
    size_t size_;
    std::unique_ptr<uint8_t[]> bytes_;
};

// Runs every entry point over the buffer and checks what must hold whatever it holds.
void check_all(const uint8_t* source, size_t size, const char* what, size_t index, bool only_zip_directories = false) {
    const exact_buffer buffer(source, size);
    std::u16string extension;
    if (size >= 512) {
        uint32_t beyond = 0;
        const uint32_t code = identify_signature(buffer.data(), buffer.size(), &beyond, extension);
        ASSERT_LE(code, file_type::last_code) << what << " " << index;
        if (code == file_type::exe) {
            ASSERT_TRUE(extension == u"exe" || extension == u"dll") << what << " " << index;
        } else {
            ASSERT_EQ(extension, file_type_extension(code)) << what << " " << index;
        }
        if (std::memcmp(source, "PK\3\4", 4) != 0) {
            ASSERT_EQ(beyond, 0u) << what << " " << index;  // only the ZIP walker sets it
        }
        identify_signature(buffer.data(), buffer.size(), nullptr, extension);
    }
    identify_container(buffer.data(), buffer.size(), extension);
    uint32_t beyond = 0;
    sniff_zip_entries(buffer.data(), buffer.size(), &beyond);
    // The end-record search reads the whole buffer; over every cut of every
    // sample that would be quadratic, so it is left to ZIP-like input there.
    if (size >= 2 && (source[0] == 'P' || !only_zip_directories)) sniff_zip_directory(buffer.data(), buffer.size());
    compound_sniff_state state;
    sniff_compound_file(buffer.data(), buffer.size(), state);
    ASSERT_TRUE(buffer.unchanged()) << what << " " << index;
}

void put_le(std::vector<uint8_t>& b, size_t offset, uint32_t value, int width) {
    for (int i = 0; i < width && offset + i < b.size(); ++i) b[offset + i] = uint8_t(value >> (8 * i));
}

// Values that tend to break length arithmetic.
uint32_t hostile_value(std::mt19937& rng, uint32_t small_limit) {
    switch (rng() % 5) {
        case 0: return 0;
        case 1: return 0xFFFFFFFF - rng() % 64;
        case 2: return rng();
        default: return rng() % small_limit;
    }
}

TEST(FiletypeRobustness, RandomBuffers) {
    std::mt19937 rng(2024);
    std::vector<uint8_t> data;
    for (size_t round = 0; round < 3000; ++round) {
        data.resize(round % 4 == 0 ? rng() % 600 : 512 + rng() % 3000);
        for (auto& byte : data) byte = uint8_t(rng() % 3 == 0 ? 0 : rng());
        ASSERT_NO_FATAL_FAILURE(check_all(data.data(), data.size(), "random", round));
    }
}

TEST(FiletypeRobustness, RandomZipArchives) {
    std::mt19937 rng(99);
    std::vector<uint8_t> data;
    for (size_t round = 0; round < 3000; ++round) {
        data.assign(rng() % 1500, 0);
        for (auto& byte : data) byte = uint8_t(rng() % 4 == 0 ? rng() : 'a' + rng() % 26);
        // Local headers at random places, the first at offset 0.
        for (size_t at = 0; at + 30 <= data.size(); at += 30 + rng() % 200) {
            put_le(data, at, 0x04034B50, 4);
            put_le(data, at + 6, rng() % 2 ? 0x08 : 0, 2);
            put_le(data, at + 14, rng() % 2 ? 0 : rng(), 4);
            put_le(data, at + 18, hostile_value(rng, 300), 4);
            put_le(data, at + 22, hostile_value(rng, 300), 4);
            put_le(data, at + 26, hostile_value(rng, 40), 2);
            put_le(data, at + 28, hostile_value(rng, 20), 2);
            if (rng() % 3 == 0) std::memcpy(&data[at + 30], "mimetype", std::min<size_t>(8, data.size() - at - 30));
        }
        // A central directory and end record with hostile fields.
        if (data.size() >= 22 + 46 && rng() % 2) {
            const size_t end = data.size() - 22 - rng() % 10;
            put_le(data, end, 0x06054B50, 4);
            put_le(data, end + 12, hostile_value(rng, 400), 4);
            put_le(data, end + 16, hostile_value(rng, uint32_t(end)), 4);
            const size_t central = rng() % (end - 46 + 1);
            put_le(data, central, 0x02014B50, 4);
            put_le(data, central + 20, hostile_value(rng, 300), 4);
            put_le(data, central + 24, hostile_value(rng, 300), 4);
            put_le(data, central + 28, hostile_value(rng, 40), 2);
            put_le(data, central + 42, hostile_value(rng, uint32_t(data.size())), 4);
        }
        ASSERT_NO_FATAL_FAILURE(check_all(data.data(), data.size(), "zip", round));
    }
}

TEST(FiletypeRobustness, RandomCompoundFiles) {
    std::mt19937 rng(7);
    const uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::vector<uint8_t> data;
    for (size_t round = 0; round < 2000; ++round) {
        data.assign(rng() % 5000, 0);
        for (auto& byte : data) byte = uint8_t(rng() % 2 ? 'W' : rng());
        std::memcpy(data.data(), signature, std::min(data.size(), sizeof signature));
        put_le(data, 26, rng() % 6, 2);
        put_le(data, 30, rng() % 4 == 0 ? hostile_value(rng, 64) : 9 + rng() % 4, 2);
        put_le(data, 40, hostile_value(rng, 12), 4);
        put_le(data, 48, hostile_value(rng, 10), 4);
        ASSERT_NO_FATAL_FAILURE(check_all(data.data(), data.size(), "compound", round));
    }
}

std::vector<std::vector<uint8_t>> sample_files() {
    std::vector<std::vector<uint8_t>> files;
    const auto folder = std::filesystem::path(OSTREL_TEST_DATA_DIR) / "filetype" / "samples";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

TEST(FiletypeRobustness, SamplesCutAtEveryLength) {
    const auto files = sample_files();
    ASSERT_FALSE(files.empty());
    for (size_t f = 0; f < files.size(); ++f) {
        const auto& file = files[f];
        for (size_t length = 0; length <= file.size(); ++length) {
            ASSERT_NO_FATAL_FAILURE(check_all(file.data(), length, "sample cut", f * 100000 + length, true));
        }
    }
}

}  // namespace
}  // namespace ostrel
