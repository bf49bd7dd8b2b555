// Throughput of identify_signature as the deep scan calls it: once per
// 512-byte block, with the bytes from the block to the end of a 1 MiB read
// buffer.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "filetype/identify_signature.h"

namespace {

constexpr size_t block_bytes = 512;
constexpr size_t read_buffer_bytes = 1 << 20;

void identify_blocks(benchmark::State& state, const std::vector<uint8_t>& buffer) {
    std::u16string extension;
    uint32_t beyond = 0;
    size_t offset = 0;
    uint64_t identified = 0;
    for (auto _ : state) {
        identified += ostrel::identify_signature(buffer.data() + offset, buffer.size() - offset, &beyond, extension) != 0;
        offset += block_bytes;
        if (offset == buffer.size()) offset = 0;
    }
    benchmark::DoNotOptimize(identified);
    state.SetBytesProcessed(int64_t(state.iterations()) * block_bytes);
    state.counters["identified"] = benchmark::Counter(double(identified) / double(state.iterations()));
}

// Unallocated space of a used disk is mostly compressed or encrypted data:
// bytes that look random.
void random_blocks(benchmark::State& state) {
    std::vector<uint8_t> buffer(read_buffer_bytes);
    std::mt19937_64 rng(42);
    for (auto& byte : buffer) byte = uint8_t(rng());
    identify_blocks(state, buffer);
}
BENCHMARK(random_blocks);

void zero_blocks(benchmark::State& state) {
    identify_blocks(state, std::vector<uint8_t>(read_buffer_bytes, 0));
}
BENCHMARK(zero_blocks);

// The first 4 KiB of every sample file, one after another, each at the
// start of a block: every block starts a file.
void mixed_headers(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> headers;
    for (const auto& entry : std::filesystem::directory_iterator(OSTREL_SAMPLES_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
        data.resize(4096, 0);
        headers.push_back(std::move(data));
    }
    if (headers.empty()) {
        state.SkipWithError("no samples in " OSTREL_SAMPLES_DIR);
        return;
    }
    std::vector<uint8_t> buffer;
    while (buffer.size() + 4096 <= read_buffer_bytes) {
        const auto& header = headers[(buffer.size() / 4096) % headers.size()];
        buffer.insert(buffer.end(), header.begin(), header.end());
    }
    // Only block starts that begin a sample; the blocks inside a sample
    // would mostly measure the random case again.
    std::u16string extension;
    uint32_t beyond = 0;
    size_t offset = 0;
    uint64_t identified = 0;
    for (auto _ : state) {
        identified += ostrel::identify_signature(buffer.data() + offset, buffer.size() - offset, &beyond, extension) != 0;
        offset += 4096;
        if (offset == buffer.size()) offset = 0;
    }
    benchmark::DoNotOptimize(identified);
    state.SetBytesProcessed(int64_t(state.iterations()) * block_bytes);
    state.counters["identified"] = benchmark::Counter(double(identified) / double(state.iterations()));
}
BENCHMARK(mixed_headers);

}  // namespace

BENCHMARK_MAIN();
