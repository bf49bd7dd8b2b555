// The `ostrel` command on exFAT: the volume alone and inside a disk, listed,
// recovered and described by its extents as users run it.
#include <gtest/gtest.h>

#ifdef OSTREL_CLI

#include <algorithm>
#include <filesystem>

#include "tests/cli/cli_runner.h"
#include "tests/support/files.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;
using fields = std::map<std::string, std::string>;

// The fixture volume 1 MiB and 3 sectors into a disk of zeros, so that it
// starts on no cluster boundary of the disk.
constexpr uint64_t disk_offset = 1024 * 1024 + 3 * 512;

class ExfatCommand : public ::testing::Test {
protected:
    void SetUp() override {
        image = fixture_image("exfat_files.img");
        if (image.empty()) GTEST_SKIP() << "fixture missing";
        rows = read_tsv("exfat_files.manifest.tsv");
    }

    fs::path make_disk() {
        std::vector<uint8_t> disk(disk_offset, 0);
        const std::vector<uint8_t> volume = read_file(image);
        disk.insert(disk.end(), volume.begin(), volume.end());
        disk.resize(disk.size() + 1024 * 1024, 0);
        write_file(dir / "disk.img", disk);
        return dir / "disk.img";
    }

    fs::path image;
    std::vector<fields> rows;
    scratch_dir dir;
};

TEST_F(ExfatCommand, JsonListingMarksDeletedItemsOnTheVolumeAndOnADisk) {
    for (const fs::path& source : {image, make_disk()}) {
        const cli_result result = run_cli({"ls", source.string(), "--json"});
        ASSERT_EQ(result.status, 0) << result.err;
        std::map<std::string, fields> by_path;
        for (const fields& f : json_lines(result.out)) by_path[f.at("path")] = f;
        for (const fields& row : rows) {
            if (!row.at("former_path").empty()) continue;  // listed under the names the bin restored
            const std::string path = slashed(row.at("path")) + (row.at("kind") == "folder" ? "/" : "");
            ASSERT_TRUE(by_path.count(path)) << source << " " << path;
            EXPECT_EQ(by_path[path].at("deleted"), row.at("deleted") == "1" ? "true" : "false") << path;
            if (row.at("kind") == "file") {
                EXPECT_EQ(by_path[path].at("size"), row.at("size")) << path;
            }
        }
    }
}

TEST_F(ExfatCommand, RecoverSavesEveryLiveAndIntactDeletedFile) {
    const cli_result result = run_cli({"recover", make_disk().string(), "-o", (dir / "out").string()});
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path volume = dir / "out" / "0-exfat";
    size_t checked = 0;
    for (const fields& row : rows) {
        if (row.at("kind") != "file" || row.at("expect_identical") != "1") continue;
        const std::string relative = saved_at(row);
        // The command shortens names that leave no room for its partial-file
        // suffix; the 255-character name is one.
        if (relative.size() > 250) continue;
        ASSERT_TRUE(fs::exists(volume / utf8_path(relative))) << relative;
        EXPECT_EQ(sha256_hex(read_file(volume / utf8_path(relative))), row.at("sha256")) << relative;
        ++checked;
    }
    EXPECT_GT(checked, 230u);
}

TEST_F(ExfatCommand, ExtentsOfAChainedFilePointAtItsBytesOnTheDisk) {
    const fs::path disk = make_disk();
    const std::string path = "/frag/part D - fills the gap after B.bin";
    const cli_result result = run_cli({"extents", disk.string(), path, "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    fields object;
    ASSERT_TRUE(parse_json_object(result.out, object)) << result.out;
    const std::string text = object.at("extents");
    const std::vector<uint8_t> bytes = read_file(disk);
    std::vector<uint8_t> data;
    int extents = 0;
    for (size_t at = text.find("\"o\":"); at != std::string::npos; at = text.find("\"o\":", at + 1)) {
        const uint64_t offset = std::stoull(text.substr(at + 4));
        const uint64_t length = std::stoull(text.substr(text.find("\"l\":", at) + 4));
        ASSERT_LE(offset + length, bytes.size());
        EXPECT_GE(offset, disk_offset);
        data.insert(data.end(), bytes.begin() + offset, bytes.begin() + offset + length);
        ++extents;
    }
    EXPECT_EQ(extents, 2) << result.out;
    EXPECT_EQ(sha256_hex(data), manifest_sha("exfat_files.manifest.tsv", "\\frag\\part D - fills the gap after B.bin"));
}

}  // namespace
}  // namespace ostrel::test

#endif  // OSTREL_CLI
