// Damaged sources: every fixture image cut short, with its boot sector
// zeroed, or with random bytes written over its metadata and elsewhere must
// give a defined result — sessions or none, scans that end, saves that fail
// cleanly — and never a crash or a read outside a buffer (the sanitizer
// build runs these too).
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::counting_stop_token;
using test::recording_host;

// Opens every volume of `path`, scans it, and saves a few of its files.
void walk_scan_and_save(recording_host& host, const std::filesystem::path& path, const test::scratch_dir& out) {
    const uint64_t end = std::filesystem::file_size(path);
    test::open_file a(path), b(path), c(path);
    uint64_t position = 0;
    counting_stop_token token;
    host.deep_scan_answer = 0;
    for (int volume = 0; volume < 16 && position < end; ++volume) {
        recover_session* s = host.ops.open_descriptors(a.fd(), b.fd(), c.fd(), &position, end, &token);
        if (!s) break;
        host.items.clear();
        host.ops.scan_session(s, nullptr, 1, &token, nullptr);
        int saved = 0;
        for (const auto& item : host.items) {
            if (item.kind != OSTREL_KIND_FILE || saved >= 8) continue;
            const std::u16string destination = platform::utf8_to_utf16(
                (out.path() / ("v" + std::to_string(volume) + "_" + std::to_string(saved++))).string());
            host.ops.save_file(s, item.record.handle, reinterpret_cast<const ostrel_char*>(destination.c_str()));
            char extent[256];
            host.ops.extent_text(s, item.record.handle, extent, sizeof extent);
            char16_t full[260];
            host.ops.node_path(s, item.record.handle, reinterpret_cast<ostrel_char*>(full), 260);
        }
        host.ops.close_session(s);
    }
}

std::vector<uint8_t> read_all(const std::filesystem::path& path) { return test::read_file(path); }

class DamagedImage : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        original = test::fixture_image(std::string(GetParam()) + ".img");
        if (original.empty()) GTEST_SKIP() << "fixture missing";
        bytes = read_all(original);
    }
    void run(const std::vector<uint8_t>& variant) {
        test::write_file(dir / "variant.img", variant);
        test::scratch_dir out;
        walk_scan_and_save(host, dir / "variant.img", out);
    }

    recording_host host;
    test::scratch_dir dir;
    std::filesystem::path original;
    std::vector<uint8_t> bytes;
};

TEST_P(DamagedImage, CutShort) {
    for (size_t length : {size_t{512}, size_t{1536}, size_t{64 * 1024}, bytes.size() / 3, bytes.size() - 512}) {
        SCOPED_TRACE(length);
        run(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size()))));
    }
}

TEST_P(DamagedImage, BootSectorZeroed) {
    std::vector<uint8_t> variant = bytes;
    std::fill(variant.begin(), variant.begin() + 512, 0);
    run(variant);
}

TEST_P(DamagedImage, RandomBytesOverMetadataAndElsewhere) {
    std::mt19937 random(20261205);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> variant = bytes;
        // Metadata (tables, root directories, the MFT of small volumes)
        // lives near the start; scatter patches there and across the image,
        // but keep the boot sector so the volume is still recognised.
        const size_t hot = std::min<size_t>(variant.size(), 2 << 20);
        for (int patch = 0; patch < 200; ++patch) {
            const size_t span = patch % 2 ? hot : variant.size();
            const size_t at = 512 + random() % (span - 512);
            const size_t length = 1 + random() % 64;
            for (size_t i = at; i < std::min(at + length, variant.size()); ++i) variant[i] = static_cast<uint8_t>(random());
        }
        run(variant);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DamagedImage, ::testing::Values("fat16", "fat32", "exfat", "ntfs", "disk"));

}  // namespace
}  // namespace ostrel
