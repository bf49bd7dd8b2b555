#include "tests/support/files.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include "tests/support/portable.h"

namespace ostrel::test {

namespace fs = std::filesystem;

namespace {

// One directory per test process for decompressed fixtures.
const fs::path& fixture_cache() {
    static const fs::path dir = make_temp_dir("ostrel-fixtures-");
    static const struct cleanup {
        ~cleanup() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } remove_at_exit;
    return dir;
}

}  // namespace

fs::path fixture_image(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, fs::path> ready;
    std::lock_guard guard(mutex);
    if (auto it = ready.find(name); it != ready.end()) return it->second;
#ifdef OSTREL_FIXTURE_DIR
    // Decompressed by the build: a Windows test program has no xz to call.
    // Each test process still gets a copy of its own, as it would from xz.
    const fs::path built = fs::path(OSTREL_FIXTURE_DIR) / name;
    if (!fs::exists(built)) return {};
    const fs::path copy = fixture_cache() / name;
    std::error_code error;
    if (!fs::copy_file(built, copy, error)) return {};
    ready[name] = copy;
    return copy;
#else
    const fs::path source = fs::path(OSTREL_TEST_DATA_DIR) / (name + ".xz");
    if (!fs::exists(source)) return {};
    const fs::path target = fixture_cache() / name;
    const std::string command = "xz -dc '" + source.string() + "' > '" + target.string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    ready[name] = target;
    return target;
#endif
}

scratch_dir::scratch_dir() : path_(make_temp_dir("ostrel-test-")) {}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

open_file::open_file(const fs::path& path) : fd_(open_read_only(path)) {}

open_file::~open_file() {
    if (fd_ > 0) close_fd(fd_);
}

std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        b = static_cast<uint8_t>(state);
    }
    return bytes;
}

namespace {

// A compact SHA-256 for comparing recovered bytes with manifests.
struct sha256 {
    std::array<uint32_t, 8> h{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void block(const uint8_t* p) {
        static constexpr uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = uint32_t(p[4 * i]) << 24 | p[4 * i + 1] << 16 | p[4 * i + 2] << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, hh] = h;
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
};

}  // namespace

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
    sha256 state;
    std::vector<uint8_t> data = bytes;
    const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    data.push_back(0x80);
    while (data.size() % 64 != 56) data.push_back(0);
    for (int i = 7; i >= 0; --i) data.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    for (size_t i = 0; i < data.size(); i += 64) state.block(&data[i]);
    std::string hex;
    char part[9];
    for (uint32_t v : state.h) {
        std::snprintf(part, sizeof part, "%08x", v);
        hex += part;
    }
    return hex;
}

}  // namespace ostrel::test
