#include "filetype/identify_signature.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <strings.h>
#include <vector>

#include "filetype/compound_file.h"
#include "filetype/file_type.h"
#include "filetype/identify_container.h"
#include "filetype/signature_rules.h"

namespace ostrel {
namespace {

using bytes = std::vector<uint8_t>;

// A zero-filled block from a spec: hex bytes "4D 5A", quoted text 'ftyp', and
// @N to continue at offset N.
bytes block(const std::string& spec, size_t size = 1024) {
    bytes b(size, 0);
    size_t at = 0;
    std::istringstream in(spec);
    for (std::string token; (in >> std::ws).peek() != EOF;) {
        if (in.peek() == '\'') {
            std::getline(in.ignore(), token, '\'');
            for (char c : token) b.at(at++) = uint8_t(c);
        } else if (in >> token; token[0] == '@') {
            at = std::stoul(token.substr(1));
        } else {
            b.at(at++) = uint8_t(std::stoul(token, nullptr, 16));
        }
    }
    return b;
}

struct result { uint32_t code; std::u16string extension; };

// identify_signature, checking on every call that the buffer is not written
// and that only the ZIP walker touches the counter.
result identify(const bytes& data) {
    const bytes before = data;
    result r{0, u"(unset)"};
    uint32_t beyond = 0xDEADBEEF;
    r.code = identify_signature(data.data(), data.size(), &beyond, r.extension);
    EXPECT_EQ(data, before);
    if (data.size() < 4 || std::memcmp(data.data(), "PK\3\4", 4) != 0) { EXPECT_EQ(beyond, 0u); }
    return r;
}

// The chain run in full, stage by stage, without the first-byte dispatch.
result identify_in_order(const bytes& data) {
    uint32_t beyond = 0;
    signature_block block{data.data(), data.size(), &beyond};
    uint32_t code = 0;
    auto run_rules_of = [&](signature_stage stage) {
        for (const signature_rule& rule : signature_chain()) {
            if (code == 0 && rule.stage == stage) code = run_signature_rule(rule, block);
        }
    };
    run_rules_of(signature_stage::executable);
    for (auto stage : {detect_image, detect_document, detect_video, detect_audio, detect_archive}) {
        if (!code) code = stage(block);
    }
    for (auto stage : {signature_stage::magic, signature_stage::text, signature_stage::zero}) run_rules_of(stage);
    return {code, (code == file_type::exe && block.dll) ? u"dll" : std::u16string(file_type_extension(code))};
}

struct sample { std::string file; uint32_t code = 0; std::u16string extension; bytes data; };

std::vector<sample> load_samples() {
    const std::string folder = std::string(OSTREL_TEST_DATA_DIR) + "/filetype/";
    std::ifstream manifest(folder + "samples.tsv");
    std::vector<sample> samples;
    for (std::string line, code, extension; std::getline(manifest, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        sample s;
        std::getline(std::getline(std::getline(fields, s.file, '\t'), code, '\t'), extension, '\t');
        s.code = uint32_t(std::stoul(code));
        s.extension.assign(extension.begin(), extension.end());
        std::ifstream in(folder + "samples/" + s.file, std::ios::binary);
        s.data.assign(std::istreambuf_iterator<char>(in), {});
        samples.push_back(std::move(s));
    }
    return samples;
}

TEST(FiletypeSamples, EverySampleIsNamedAsItsType) {
    const auto samples = load_samples();
    ASSERT_GE(samples.size(), 60u);
    for (const sample& s : samples) {
        bytes sector = s.data;  // on disk a short file's sector is zero-filled
        sector.resize(std::max<size_t>(sector.size(), 512), 0);
        const result r = identify(sector);
        EXPECT_EQ(std::pair(r.code, r.extension), std::pair(s.code, s.extension)) << s.file;
        std::u16string extension;  // without a counter the central directory may be consulted
        EXPECT_EQ(identify_signature(sector.data(), sector.size(), nullptr, extension), s.code) << s.file;
        if (!std::memcmp(sector.data(), "PK\3\4", 4) || !std::memcmp(sector.data(), compound_file_signature, 8)) {
            const uint32_t code = identify_container(s.data.data(), s.data.size(), extension);
            EXPECT_EQ(std::pair(code, extension), std::pair(s.code, s.extension)) << s.file;
        }
    }
}

const std::string pe = "'MZ' @60 00 03 @78 'This program cannot be run in DOS mode.\r\r\n$' @768 'PE' @790 ";

// Blocks whose answer depends on rule order, on a tie-break inside a rule or
// on a bound; they also seed the dispatch comparison below.
struct decision { std::string spec; uint32_t code; size_t size = 1024; const char16_t* extension = nullptr; };
const decision decisions[] = {
    {"49 49 2A 00 10 00 00 00 'CR'", file_type::tiff},  // TIFF before CR2: an even offset is TIFF
    {"49 49 2A 00 11", file_type::cr2},
    {"'MM' 00 2A 00 00 00 09", 0},
    {"00 00 00 18 'ftypheic'", file_type::heic},  // HEIF brands in a 24-byte box before ISO media
    {"00 00 00 18 'ftypmif1'", file_type::heif},
    {"00 00 00 1C 'ftypheic'", file_type::mp4},
    {"00 00 00 18 'ftypmif1' 01", file_type::mp4},
    {"00 00 00 10 'ftypisom'", file_type::mp4},  // the box size is little-endian and signed
    {"10 00 00 00 'ftypisom'", 0},
    {"00 00 00 80 'ftypisom'", 0},
    {"30 26 B2 75 8E 66 CF 11 A6 D9 00 AA 00 62 CE 6C", file_type::wmv},  // ASF is video
    {"'OggS' 00 02 @28 01 'vorbis'", file_type::ogv},
    {"FF D8 FF E1 00 10 'JFIF'", 0},  // JPEG by APP0 only: an Exif-first file is not named
    {"FF D8 FF E0 00 10 'AVI1'", file_type::mjpeg},
    {"FF D8 FF E0 00 10 'TIFF'", file_type::tiff},
    {"'<?xml version=\"1.0\"?><svg a=\"1\"/>'", file_type::xml},  // the text stage comes last
    {"'<?XML version=\"1.0\"?><svg a=\"1\"/>'", file_type::svg},
    {"FF 01 00 00 'Standard Jet DB'", file_type::mdb},
    {"'Sway' @36 5D EB 0E E4 5D EB 0E E4", file_type::azw3},
    {"'!BDN' @8 'SM' 17 00 00 00 01 01", file_type::pst},
    {"2A 1C '-lh5-' @21 01", file_type::lzh},
    {pe + "02 21", file_type::exe, 768 + 249, u"dll"},  // the characteristics word must be in the buffer
    {pe + "02 21", file_type::exe, 768 + 248, u"exe"},
    {pe + "02 01", file_type::exe, 1024, u"exe"},
    {"'MZ' @60 00 03 @78 'THIS PROGRAM CANNOT BE RUN IN DOS MODE.\r\r\n$'", file_type::exe},
    {"'MZ' @60 40 @78 'This program cannot be run in DOS mode.\r\r\n$'", 0},
    {"FF F1 50 80 2E 7F FC @371 FF F1 50 80", file_type::aac, 512},  // ADTS: a second header at 371
    {"FF F1 50 80 2E 7F FC @371 FF F3 50 80", 0},
    {"FF F1 50 83 FF FF FC", 0},
    {"'P4\n12345678 12345678\n'", file_type::pbm},  // anymap: two parts of 1-8 bytes, one space
    {"'P3\n1 1\n'", file_type::ppm},
    {"'P2\nx ' 00 'y\n'", file_type::pgm},
    {"'P3\n123456789 1\n'", 0}, {"'P3\n1 123456789\n'", 0}, {"'P3\n1  1\n'", 0},
    {"'P3\n 1\n'", 0}, {"'P3\n1 1'", 0}, {"'P2\n' 00 ' 1\n'", 0},
    {"", file_type::zero_block, 512, u""},
    {"@600 AA", file_type::zero_block, 4096},  // only the first 512 bytes count
    {"@511 01", 0, 512, u""},
};

TEST(IdentifySignature, OverlapsTieBreaksAndBounds) {
    for (const decision& d : decisions) {
        const result r = identify(block(d.spec, d.size));
        EXPECT_EQ(r.code, d.code) << d.spec;
        if (d.extension) { EXPECT_EQ(r.extension, d.extension) << d.spec; }
    }
}

// The first-byte dispatch gives what the whole chain gives: for every hand-built
// block and sample with each of the 256 first bytes, and for random and mutated blocks.
TEST(IdentifySignature, DispatchAgreesWithTheWholeChain) {
    std::vector<bytes> seeds;
    for (const decision& d : decisions) seeds.push_back(block(d.spec, d.size));
    for (const sample& s : load_samples()) {
        seeds.push_back(s.data);
        seeds.back().resize(std::max<size_t>(s.data.size(), 512), 0);
    }
    auto agree = [](const bytes& data, size_t case_number) {
        const result fast = identify(data), full = identify_in_order(data);
        ASSERT_EQ(std::pair(fast.code, fast.extension), std::pair(full.code, full.extension)) << "case " << case_number;
    };
    for (size_t i = 0; i < seeds.size(); ++i) {
        bytes data = seeds[i];
        for (int first = 0; first < 256; ++first) {
            data[0] = uint8_t(first);
            ASSERT_NO_FATAL_FAILURE(agree(data, i * 1000 + first));
        }
    }
    std::mt19937 rng(12345);
    for (size_t round = 0; round < 20000; ++round) {
        bytes data;
        if (round % 2 == 0) {
            data.resize(512 + rng() % 1024);
            for (auto& byte : data) byte = uint8_t(rng());
        } else {
            data = seeds[rng() % seeds.size()];
            for (int k = 1 + rng() % 3; k > 0; --k) data[rng() % 64] = uint8_t(rng() % 4 == 0 ? 0 : rng());
        }
        ASSERT_NO_FATAL_FAILURE(agree(data, 1000000 + round));
    }
}

// The text stage against the C library on a copy cut at min(size - 1, 2048).
uint32_t text_stage_with_c_strings(const bytes& data) {
    std::vector<char> copy(data.begin(), data.end());
    copy[std::min<size_t>(data.size() - 1, 2048)] = 0;
    const char* text = copy.data();
    if (strncasecmp(text, "<?xml ", 6) == 0 && std::strstr(text, "<svg ")) return file_type::svg;
    if (strncasecmp(text, "Received: from ", 15) == 0 && std::strstr(text, " with SMTP id ")) return file_type::eml;
    return 0;
}

TEST(IdentifySignature, TextStageSeesOneStringOfAtMost2048Bytes) {
    std::mt19937 rng(777);
    const std::string heads[] = {"<?XML ", "Received: from a"}, needles[] = {"<svg ", " with SMTP id "};
    for (int round = 0; round < 3000; ++round) {
        const size_t size = round % 3 == 0 ? 512 : 512 + rng() % 3000;
        bytes data(size);
        for (auto& byte : data) byte = uint8_t('a' + rng() % 26);
        const int kind = rng() % 2;
        const std::string &head = heads[kind], &needle = needles[kind];
        std::copy(head.begin(), head.end(), data.begin());
        // The needle around where the string ends, and sometimes a NUL that ends it earlier.
        const size_t n = std::min<size_t>(size - 1, 2048);
        const size_t around[] = {n - needle.size(), n - needle.size() + 1, 40, size_t(rng() % (size - needle.size()))};
        const size_t at = std::max(head.size(), around[rng() % 4]);
        if (at + needle.size() <= size) std::copy(needle.begin(), needle.end(), data.begin() + at);
        if (rng() % 3 == 0) data[head.size() + rng() % (size - head.size())] = 0;
        ASSERT_EQ(identify(data).code, text_stage_with_c_strings(data)) << "round " << round;
    }
}

}  // namespace
}  // namespace ostrel
