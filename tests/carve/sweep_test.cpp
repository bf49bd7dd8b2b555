// The deep scan: carved files start where identification names a block and
// grow to the next boundary; structures in free space end them; occupied
// sectors are skipped; carved containers are renamed by their contents; and
// the fixtures' files are all found at their offsets with their first bytes.
#include <gtest/gtest.h>

#include <map>

#include "carve/deep_scan_engine.h"
#include "carve/raw_recover.h"
#include "carve/sweep.h"
#include "fat/fat_recover.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/manifest.h"
#include "tests/support/recording_host.h"
#include "volume/device_io.h"
#include "volume/volume_discovery.h"

namespace ostrel {
namespace {

std::vector<uint8_t> sample(const std::string& name) {
    return test::read_file(std::filesystem::path(OSTREL_TEST_DATA_DIR) / "filetype" / "samples" / name);
}

void place(std::vector<uint8_t>& image, size_t at, const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + at);
}

// The name a file carved at `offset` gets.
std::string carved_name(uint64_t offset, const std::string& extension) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx.", static_cast<unsigned long long>(offset));
    return hex + extension;
}

// Blocks that identify as nothing and are not zero.
std::vector<uint8_t> filler(size_t size) { return std::vector<uint8_t>(size, 0x5A); }

class Sweep : public ::testing::Test {
protected:
    // Carves a raw range holding `image`; the carved files by name.
    std::map<std::string, uint64_t> carve(const std::vector<uint8_t>& image) {
        test::write_file(dir / "raw.img", image);
        return carve_file(dir / "raw.img");
    }
    std::map<std::string, uint64_t> carve_file(const std::filesystem::path& path) {
        const test::open_file file(path);
        engine = std::make_unique<raw_recover>(file.fd(), 0, std::filesystem::file_size(path));
        engine->stop_token = &token;
        host.clear();
        std::shared_ptr<tagFolderInfo> root;
        EXPECT_TRUE(engine->scan(root, nullptr));
        return carved();
    }
    std::map<std::string, uint64_t> carved() const {
        std::map<std::string, uint64_t> sizes;
        if (!engine->deep_scan_engine) return sizes;
        for (const auto& [name, file] : engine->deep_scan_engine->carved_files) {
            sizes[platform::utf16_to_utf8(file->name_text())] = file->size;
        }
        return sizes;
    }
    std::vector<uint8_t> saved(const std::string& name) {
        for (const auto& [key, file] : engine->deep_scan_engine->carved_files) {
            if (platform::utf16_to_utf8(file->name_text()) != name) continue;
            const auto target = dir / ("saved-" + name);
            int32_t error = 0;
            engine->d_recovery = platform::duplicate(engine->d_scan);
            EXPECT_TRUE(engine->save(file, platform::utf8_to_utf16(target.string()).c_str(), error)) << name;
            return test::read_file(target);
        }
        return {};
    }
    // Exactly the files of `manifest` are carved, each at its offset and
    // beginning with its first `length` bytes.
    void expect_carved_as_listed(const std::map<std::string, uint64_t>& files, const std::string& manifest) {
        const auto rows = test::read_tsv(manifest);
        for (const auto& row : rows) {
            const std::string name = carved_name(std::stoull(row.at("offset")), row.at("ext"));
            ASSERT_EQ(files.count(name), 1u) << name;
            const std::vector<uint8_t> bytes = saved(name);
            const size_t length = std::stoull(row.at("length"));
            ASSERT_GE(bytes.size(), length) << name;
            EXPECT_EQ(test::sha256_hex({bytes.begin(), bytes.begin() + length}), row.at("sha256")) << name;
        }
        EXPECT_EQ(files.size(), rows.size());
    }

    test::recording_host host;
    test::counting_stop_token token;
    test::scratch_dir dir;
    std::unique_ptr<recover_impl> engine;
};

TEST_F(Sweep, FilesRunFromTheirHeaderToTheNextBoundary) {
    std::vector<uint8_t> image(64 * 512, 0);
    place(image, 0, filler(image.size()));
    place(image, 2 * 512, sample("image.jpg"));  // 456 bytes: one block
    place(image, 4 * 512, sample("image.png"));  // two blocks on: the JPEG keeps 1024 bytes
    std::vector<uint8_t> boot(512, 0);
    boot[3] = 'N', boot[4] = 'T', boot[5] = 'F', boot[6] = 'S', boot[510] = 0x55, boot[511] = 0xAA;
    place(image, 8 * 512, boot);  // a boot sector ends the PNG's growth
    place(image, 12 * 512, sample("image.gif"));
    std::vector<uint8_t> record(512, 0);
    const uint8_t header[] = {'F', 'I', 'L', 'E', 0x30, 0, 3, 0};
    std::copy(std::begin(header), std::end(header), record.begin());
    record[0x14] = 0x38, record[0x1C] = 4, record[0x38] = 0x10;
    place(image, 16 * 512, record);  // an MFT record ends the GIF
    std::vector<uint8_t> exfat_entries(512, 0);  // a File, Stream Extension and File Name set
    exfat_entries[0] = 0x85, exfat_entries[1] = 2;
    exfat_entries[32] = 0xC0, exfat_entries[32 + 3] = 1;
    exfat_entries[64] = 0xC1, exfat_entries[64 + 2] = 'a';
    place(image, 17 * 512, sample("image.gif"));
    place(image, 19 * 512, exfat_entries);  // ... and so does an exFAT directory sector
    const auto files = carve(image);
    EXPECT_EQ(files, (std::map<std::string, uint64_t>{
                         {"400.jpg", 1024}, {"800.png", 2048}, {"1800.gif", 2048}, {"2200.gif", 1024}}));
    EXPECT_EQ(saved("400.jpg"), std::vector<uint8_t>(image.begin() + 1024, image.begin() + 2048));
    // Events: the sweep starts, reports progress, ends; items are carved files.
    const auto events = host.event_codes();
    EXPECT_EQ(events.front(), 3);
    EXPECT_EQ(events.back(), 6);
    ASSERT_EQ(host.items.size(), 4u);
    for (const auto& item : host.items) EXPECT_EQ(item.kind, uint32_t{OSTREL_KIND_CARVED_FILE});
}

TEST_F(Sweep, ZeroRunsAndAdtsFramesContinueAFileUpToTheirLimits) {
    const size_t zero_limit = 100000;
    std::vector<uint8_t> image((zero_limit + 20) * 512, 0);
    place(image, 0, sample("image.jpg"));
    // Past the limit a zero block ends the file and starts nothing.
    std::vector<uint8_t> frame(512, 0x11);
    const uint8_t adts[] = {0xFF, 0xF1, 0x50, 0x80, 0x40, 0x00};
    std::copy(std::begin(adts), std::end(adts), frame.begin());
    const size_t frames_at = (zero_limit + 5) * 512;
    for (size_t i = 0; i < 4; ++i) place(image, frames_at + i * 512, frame);
    const auto files = carve(image);
    EXPECT_EQ(files.at("0.jpg"), (zero_limit + 1) * 512);
    // Consecutive frames are one stream.
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files.count(carved_name(frames_at, "aac")), 1u);
}

TEST_F(Sweep, OccupiedSectorsAreSkippedAndEndTheFileBeforeThem) {
    // A FAT volume whose deleted files lost their directory entries: only
    // the free clusters are swept, and every lost file is carved there.
    const auto image = test::fixture_image("carve_fat.img");
    if (image.empty()) GTEST_SKIP() << "fixture missing";
    const test::open_file file(image);
    auto boot = std::make_shared<_boot_sector>();
    ASSERT_TRUE(read_sector_at(file.fd(), boot->bytes.data(), 0));
    engine = std::make_unique<fat_recover>(file.fd(), classify_boot_sector(boot->bytes.data()), boot, 0, true);
    engine->stop_token = &token;
    std::shared_ptr<tagFolderInfo> root;
    ASSERT_TRUE(engine->scan(root, nullptr));
    EXPECT_EQ(host.event_codes().front(), 0);
    EXPECT_EQ(host.event_codes().back(), 6);
    // The live files are not carved: their clusters are occupied.
    expect_carved_as_listed(carved(), "carve_fat.manifest.tsv");
}

TEST_F(Sweep, EveryPlacedFileOfARawImageIsCarvedWithItsFirstBytes) {
    const auto image = test::fixture_image("carve_raw.img");
    if (image.empty()) GTEST_SKIP() << "fixture missing";
    expect_carved_as_listed(carve_file(image), "carve_raw.manifest.tsv");
}

TEST_F(Sweep, AContainerThatRunsPastItsChunkIsRenamedByItsContents) {
    // A docx whose first block is the last of a 64 MiB chunk: the first
    // look sees a zip that goes on past the buffer, the pass after the
    // sweep reads it whole.
    const size_t chunk = 64 * 1024 * 1024;
    std::vector<uint8_t> image(chunk + 64 * 1024, 0);
    const std::vector<uint8_t> docx = sample("document.docx");
    place(image, chunk - 512, docx);
    const auto files = carve(image);
    EXPECT_EQ(files.count(carved_name(chunk - 512, "docx")), 1u);
    bool renamed = false;
    for (const auto& item : host.items) {
        renamed |= item.kind == OSTREL_KIND_FILE_RENAMED && item.group == OSTREL_GROUP_CARVED_RETYPED;
    }
    EXPECT_TRUE(renamed);
    // A stop request ends the sweep after the current chunk, keeping what
    // was carved; the post-sweep pass still runs.
    token = test::counting_stop_token(2);  // the run and its first chunk
    const auto stopped = carve(image);
    EXPECT_EQ(stopped.size(), 1u);
    EXPECT_NE(host.event_codes().back(), 6);
}

}  // namespace
}  // namespace ostrel
