// Real files made by the tools of each format (tests/data/filetype/make_samples.sh).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "filetype/compound_file.h"
#include "filetype/identify_container.h"
#include "filetype/identify_signature.h"

namespace ostrel {
namespace {

struct sample {
    std::string file;
    uint32_t code = 0;
    std::u16string extension;
    std::vector<uint8_t> data;
};

std::vector<sample> load_samples() {
    const std::string folder = std::string(OSTREL_TEST_DATA_DIR) + "/filetype/";
    std::ifstream manifest(folder + "samples.tsv");
    std::vector<sample> samples;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        sample s;
        std::string code, extension;
        std::getline(fields, s.file, '\t');
        std::getline(fields, code, '\t');
        std::getline(fields, extension, '\t');
        s.code = uint32_t(std::stoul(code));
        s.extension.assign(extension.begin(), extension.end());
        std::ifstream in(folder + "samples/" + s.file, std::ios::binary);
        s.data.assign(std::istreambuf_iterator<char>(in), {});
        samples.push_back(std::move(s));
    }
    return samples;
}

bool starts_with(const std::vector<uint8_t>& data, const void* signature, size_t length) {
    return data.size() >= length && std::memcmp(data.data(), signature, length) == 0;
}

TEST(FiletypeSamples, EverySampleIsNamedAsItsType) {
    const auto samples = load_samples();
    ASSERT_GE(samples.size(), 60u);
    for (const sample& s : samples) {
        ASSERT_FALSE(s.data.empty()) << s.file;
        // On disk a short file fills the rest of its sector with zeros.
        std::vector<uint8_t> block = s.data;
        if (block.size() < 512) block.resize(512, 0);
        std::u16string extension;
        uint32_t beyond = 0;
        EXPECT_EQ(identify_signature(block.data(), block.size(), &beyond, extension), s.code) << s.file;
        EXPECT_EQ(extension, s.extension) << s.file;
        // Without a counter the central directory may be consulted too.
        EXPECT_EQ(identify_signature(block.data(), block.size(), nullptr, extension), s.code) << s.file;

        if (starts_with(s.data, "PK\3\4", 4) || starts_with(s.data, compound_file_signature, 8)) {
            std::u16string container_extension;
            EXPECT_EQ(identify_container(s.data.data(), s.data.size(), container_extension), s.code) << s.file;
            EXPECT_EQ(container_extension, s.extension) << s.file;
        }
    }
}

}  // namespace
}  // namespace ostrel
