// LZNT1 decompression and the reading of compressed attributes through their
// runs: on clusters ntfs-3g wrote for a file in a compressed folder
// (tests/data/ntfs/lznt1_units.bin, made by make_lznt1_sample.sh) and on
// hand-built hostile streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "ntfs/compression_units.h"
#include "ntfs/lznt1.h"
#include "tests/support/files.h"

namespace ostrel {
namespace {

constexpr uint32_t cluster = 4096;
constexpr uint64_t sample_size = 136072;
const run_list sample_runs = {{2560, 2}, {0, 30}, {2562, 1}, {0, 15}};  // as the attribute holds them

std::vector<uint8_t> sample_clusters() {  // device clusters 2560-2562
    return test::read_file(std::filesystem::path(OSTREL_TEST_DATA_DIR) / "ntfs" / "lznt1_units.bin");
}

// A compressed chunk: its header, then `body`.
std::vector<uint8_t> chunk(std::vector<uint8_t> body) {
    const uint16_t header = uint16_t(0xB000 | (body.size() - 1));
    body.insert(body.begin(), {uint8_t(header), uint8_t(header >> 8)});
    return body;
}

TEST(Lznt1, RealUnitsDecompressToTheirContent) {
    const std::vector<uint8_t> clusters = sample_clusters();
    ASSERT_EQ(clusters.size(), 3u * cluster);
    EXPECT_EQ(clusters[863] | clusters[864] << 8, 0x3FFF);  // ntfs-3g stored chunk 1 uncompressed
    std::vector<uint8_t> out(65536);
    EXPECT_EQ(lznt1_decompress(std::span(clusters).first(2 * cluster), out), 65536u);
    EXPECT_EQ(test::sha256_hex(out), "675e428cb762782ea56cc438dc6845e5f949460249baff357daea43ffe605f42");
    EXPECT_EQ(lznt1_decompress(std::span(clusters).subspan(2 * cluster), out), 5000u);  // the file's end
    out.resize(5000);
    EXPECT_EQ(test::sha256_hex(out), "891537d472e92193a5ec8bd20106621162afe6cd4e85c535fb2f2ce50391c635");
}

TEST(Lznt1, ShortChunksArePaddedAndAFullOutIsNoFault) {
    std::vector<uint8_t> stream = chunk({0x00, 'a', 'b'});
    const std::vector<uint8_t> run = chunk({0x02, 'c', 0xFC, 0x0F});  // 'c', then 4095 bytes one back
    stream.insert(stream.end(), run.begin(), run.end());
    std::vector<uint8_t> out(3 * 4096, 0xEE);
    ASSERT_EQ(lznt1_decompress(stream, out), 2 * 4096u);
    EXPECT_EQ(std::count(out.begin() + 2, out.begin() + 4096, 0), 4094);  // "ab" stands for 4096 bytes
    EXPECT_EQ(std::count(out.begin() + 4096, out.begin() + 2 * 4096, 'c'), 4096);
    EXPECT_EQ(out[2 * 4096], 0xEE);
    EXPECT_EQ(lznt1_decompress(stream, std::span(out).first(4096 + 100)), 4096 + 100u);
}

TEST(Lznt1, HostileStreamsGiveADefinedResultAndKeepWhatDecoded) {
    const std::pair<std::vector<uint8_t>, std::optional<size_t>> cases[] = {
        {{}, 0}, {{0x41}, 0}, {{0x00, 0x00, 0x02, 'a'}, 0},
        {chunk({0x01, 0x00, 0x00}), std::nullopt},                    // a reference at the chunk's start
        {chunk({0x02, 'a', 0x00, 0x10}), std::nullopt},               // reaching 2 back from 1
        {chunk({0x02, 'a', 0xFD, 0x0F}), std::nullopt},               // 4096 bytes from position 1
        {chunk({0x02, 'a', 0xFC, 0x0F, 'b'}), std::nullopt},          // a literal past 4096
        {chunk({0x02, 'a', 0x00}), std::nullopt},                     // a reference cut by the chunk's end
        {{0x10, 0xB0, 0x00, 'a', 'b'}, std::nullopt},                       // 17 bytes announced, 3 there
        {{0xFF, 0x3F, 'a'}, std::nullopt},                                  // a stored chunk cut short
    };
    for (const auto& [stream, expected] : cases) {
        std::vector<uint8_t> out(8192, 0xEE);
        EXPECT_EQ(lznt1_decompress(stream, out), expected) << testing::PrintToString(stream);
        if (!expected && stream.size() > 3 && stream[3] == 'a') { EXPECT_EQ(out[0], 'a'); }
    }
}

TEST(Lznt1, EveryCutOfTheRealStreamDecodesAPrefixAndTouchesNothingAfterIt) {
    const std::vector<uint8_t> clusters = sample_clusters();
    std::vector<uint8_t> plain(65536), inverted(65536), out;
    ASSERT_EQ(lznt1_decompress(std::span(clusters).first(2 * cluster), plain), 65536u);
    std::transform(plain.begin(), plain.end(), inverted.begin(), [](uint8_t b) { return uint8_t(~b); });
    std::vector<size_t> starts = {0};  // where each chunk header lies, then the end marker
    while (clusters[starts.back()] | clusters[starts.back() + 1]) {
        starts.push_back(starts.back() + (clusters[starts.back()] | (clusters[starts.back() + 1] & 0x0F) << 8) + 3);
    }
    ASSERT_EQ(starts.size(), 17u);
    for (size_t cut = 0; cut <= starts.back() + 2; ++cut) {
        out = inverted;
        const auto result = lznt1_decompress(std::span(clusters).first(cut), out);
        const size_t good = size_t(std::mismatch(out.begin(), out.end(), plain.begin()).first - out.begin());
        ASSERT_TRUE(std::equal(out.begin() + good, out.end(), inverted.begin() + good)) << cut;
        // Only a cut before a chunk's header is complete, or in the end
        // marker, ends the stream cleanly.
        const size_t whole = size_t(std::upper_bound(starts.begin(), starts.end(), cut) - starts.begin()) - 1;
        if (cut - starts[whole] < 2 || whole + 1 == starts.size()) {
            ASSERT_EQ(result, whole * 4096) << cut;
        } else {
            ASSERT_FALSE(result) << cut;
            ASSERT_GE(good, whole * 4096) << cut;
        }
    }
}

TEST(CompressionUnits, FollowTheRunsAcrossRunBoundaries) {
    const run_list runs = {{100, 3}, {0, 1}, {200, 2}, {300, 2}, {0, 0}, {0, 4},
                           {400, 1}, {500, 1}, {0, 2}, {600, 5}};
    const compression_unit want[] = {{0, 4, unit_kind::compressed, {{100, 3}}},
                                     {4, 4, unit_kind::stored, {{200, 2}, {300, 2}}},
                                     {8, 4, unit_kind::sparse, {}},
                                     {12, 4, unit_kind::compressed, {{400, 1}, {500, 1}}},
                                     {16, 4, unit_kind::stored, {{600, 4}}},
                                     {20, 1, unit_kind::stored, {{604, 1}}}};  // the runs end inside it
    compression_unit_walk walk(runs, 4);
    for (const compression_unit& expected : want) EXPECT_EQ(walk.next(), expected) << expected.first_vcn;
    EXPECT_FALSE(walk.next());

    compression_unit_walk real(sample_runs, 16);  // the hole's run spans two units
    for (unit_kind kind : {unit_kind::compressed, unit_kind::sparse, unit_kind::compressed}) {
        EXPECT_EQ(real.next()->kind, kind);
    }
    EXPECT_FALSE(real.next());
    EXPECT_FALSE(compression_unit_walk(sample_runs, 0).next());
    EXPECT_FALSE(compression_unit_walk(run_list{{UINT64_MAX - 1, 4}}, 16).next());  // past any cluster number
}

TEST(CompressionUnits, ReadTheRealFileAndStopWhereTheyMust) {
    const std::vector<uint8_t> clusters = sample_clusters();
    uint64_t fail_at = UINT64_MAX;
    const cluster_reader device = [&](uint64_t first, uint64_t count, uint8_t* out) {
        if (first < 2560 || first + count > 2563 || first + count > fail_at) return false;
        std::memcpy(out, clusters.data() + (first - 2560) * cluster, count * cluster);
        return true;
    };
    std::vector<uint8_t> got;
    size_t refuse_at = SIZE_MAX;
    const content_sink sink = [&](const uint8_t* data, size_t size) {
        if (got.size() >= refuse_at) return false;
        got.insert(got.end(), data, data + size);
        return true;
    };
    auto read = [&](const run_list& runs, uint64_t size, uint64_t unit = 16, uint32_t cluster_size = cluster) {
        got.clear();
        return read_compressed_runs(runs, unit, cluster_size, size, device, sink);
    };

    ASSERT_EQ(read(sample_runs, sample_size), sample_size);
    EXPECT_EQ(test::sha256_hex(got), "1f17d9bc66cf564ab3b08c212937cfb320301b999d8521bdf13b958c63a695a2");
    EXPECT_EQ(read({{2560, 2}, {0, 30}}, sample_size), 131072u);  // the runs end first
    EXPECT_EQ(read({{2560, 3}}, sample_size), 3u * cluster);       // stored whole: copied as is
    EXPECT_EQ(got, clusters);
    EXPECT_EQ(read({{2561, 1}, {0, 15}}, sample_size), 65536u);   // a stream starting mid-chunk
    EXPECT_EQ(read(sample_runs, sample_size, 32, 65536), 0u);      // a 2 MiB unit
    EXPECT_EQ(read(sample_runs, sample_size, 16, 0), 0u);
    refuse_at = 1;
    EXPECT_EQ(read(sample_runs, sample_size), 65536u);
    refuse_at = SIZE_MAX;
    fail_at = 2562;
    EXPECT_EQ(read(sample_runs, sample_size), 131072u);
}

}  // namespace
}  // namespace ostrel
