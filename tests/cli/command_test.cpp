// The `ostrel` command run as users run it, against the fixture images.
#include <gtest/gtest.h>

#ifdef OSTREL_CLI

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/cli/cli_runner.h"
#include "tests/support/files.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;
using fields = std::map<std::string, std::string>;

fs::path data_file(const std::string& name) { return fs::path(OSTREL_TEST_DATA_DIR) / name; }

#define REQUIRE_FIXTURE(var, name)                                 \
    const fs::path var = fixture_image(name);                      \
    if (var.empty()) GTEST_SKIP() << name << " is not available"

// Parses every line of `out` as a JSON object.
std::vector<fields> json_lines(const std::string& out) {
    std::vector<fields> objects;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        fields f;
        EXPECT_TRUE(parse_json_object(line, f)) << "not one JSON object: " << line;
        objects.push_back(f);
    }
    return objects;
}

// ls on a FAT image, skipping the test while that scan is not available.
cli_result listing(const fs::path& image, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"ls", image.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args);
}

#define SKIP_IF_NOT_SCANNED(result) \
    if ((result).status == 3) GTEST_SKIP() << "the scan is not available yet: " << (result).err

std::string manifest_path_to_listing(const std::string& path) {
    std::string out = path;
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

std::string file_sha256(const fs::path& path) { return sha256_hex(read_file(path)); }

// ---- volumes ---------------------------------------------------------------

TEST(VolumesCommand, FindsTheDiskVolumesAtThePartitionOffsets) {
    REQUIRE_FIXTURE(disk, "disk.img");
    const cli_result result = run_cli({"volumes", disk.string(), "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<fields> volumes = json_lines(result.out);
    ASSERT_FALSE(volumes.empty());

    uint64_t previous_end = 0;
    for (size_t i = 0; i < volumes.size(); ++i) {
        const fields& v = volumes[i];
        for (const char* key : {"index", "type", "start_byte", "start_sector", "length_bytes", "length_sectors"}) {
            EXPECT_TRUE(v.count(key)) << "missing " << key;
        }
        EXPECT_EQ(v.at("index"), std::to_string(i));
        const uint64_t start = std::stoull(v.at("start_byte"));
        EXPECT_EQ(std::stoull(v.at("start_sector")), start / 512);
        EXPECT_GE(start, previous_end) << "volumes overlap or go backwards";
        previous_end = start + std::stoull(v.at("length_bytes"));
    }

    // Every partition is listed with its own type, or (for a file system the
    // engine does not recognise yet) lies inside a raw volume.
    for (const auto& row : read_tsv(data_file("disk.layout.tsv"))) {
        if (row.at("index") == "-") continue;
        const uint64_t start = std::stoull(row.at("start_byte"));
        const uint64_t length = std::stoull(row.at("length_bytes"));
        const auto same_start = std::find_if(volumes.begin(), volumes.end(), [&](const fields& v) {
            return std::stoull(v.at("start_byte")) == start && v.at("type") == row.at("type");
        });
        if (same_start != volumes.end()) {
            // The NTFS volume's span includes its backup boot sector, so the
            // partition length is what the walk reports for every type.
            EXPECT_EQ(std::stoull(same_start->at("length_bytes")), length) << row.at("type");
            continue;
        }
        EXPECT_TRUE(row.at("type") == "exfat" || row.at("type") == "ntfs")
            << row.at("type") << " volume at " << start << " not found";
        const bool covered = std::any_of(volumes.begin(), volumes.end(), [&](const fields& v) {
            const uint64_t s = std::stoull(v.at("start_byte")), l = std::stoull(v.at("length_bytes"));
            return v.at("type") == "raw" && s <= start && start + length <= s + l;
        });
        EXPECT_TRUE(covered) << row.at("type") << " partition at " << start << " is in no volume";
    }
}

TEST(VolumesCommand, HumanOutputHasOneRowPerVolume) {
    REQUIRE_FIXTURE(disk, "disk.img");
    const cli_result json = run_cli({"volumes", disk.string(), "--json"});
    const cli_result human = run_cli({"volumes", disk.string()});
    ASSERT_EQ(human.status, 0);
    const auto lines = human.out_lines();
    ASSERT_EQ(lines.size(), json.out_lines().size() + 1);  // a header line
    EXPECT_NE(lines[1].find("fat16"), std::string::npos);
    EXPECT_NE(lines[1].find("1048576"), std::string::npos);
    EXPECT_TRUE(human.err.empty()) << human.err;
}

TEST(VolumesCommand, EngineLogLinesOnlyWithVerbose) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result quiet = run_cli({"volumes", image.string()});
    EXPECT_TRUE(quiet.err.empty()) << quiet.err;
    const cli_result verbose = run_cli({"volumes", image.string(), "--verbose"});
    EXPECT_NE(verbose.err.find("[fat16]\t"), std::string::npos) << verbose.err;
    EXPECT_EQ(verbose.out, quiet.out);
}

// ---- errors ----------------------------------------------------------------

TEST(CommandErrors, BadUsageAndBadSourcesGiveOneLineAndStatusTwo) {
    scratch_dir dir;
    write_file(dir / "tiny.img", std::vector<uint8_t>(100, 0));
    const fs::path image = fixture_image("fat16.img");
    struct error_case {
        std::vector<std::string> args;
        std::string names;  // what the line must mention
    };
    std::vector<error_case> cases = {
        {{}, "command"},
        {{"frobnicate", "x"}, "frobnicate"},
        {{"volumes", (dir / "missing.img").string()}, "missing.img"},
        {{"volumes", dir.path().string()}, dir.path().string()},
        {{"volumes", (dir / "tiny.img").string()}, "tiny.img"},
        {{"ls", "x", "--bogus"}, "--bogus"},
        {{"ls", "x", "--volume"}, "--volume"},
        {{"ls", "x", "--volume", "first"}, "first"},
        {{"ls", "x", "--types", "jpg"}, "--types"},
        {{"recover", "x"}, "-o"},
        {{"extents", "x"}, "PATH"},
        {{"volumes", "x", "y"}, "y"},
    };
    if (!image.empty()) cases.push_back({{"ls", image.string(), "--volume", "7"}, "volume 7"});
    for (const auto& c : cases) {
        const cli_result result = run_cli(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(result.err_lines().size(), 1u) << shown << "\n" << result.err;
        EXPECT_NE(result.err.find(c.names), std::string::npos) << shown << "\n" << result.err;
        EXPECT_TRUE(result.out.empty()) << shown;
    }
}

TEST(CommandErrors, HelpIsNotAnError) {
    const cli_result result = run_cli({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("recover SOURCE -o DIR"), std::string::npos);
}

// ---- ls --------------------------------------------------------------------

TEST(ListCommand, JsonListsEveryManifestEntryWithItsSizeAndState) {
    REQUIRE_FIXTURE(image, "fat32.img");
    const cli_result result = listing(image, {"--json"});
    SKIP_IF_NOT_SCANNED(result);
    ASSERT_EQ(result.status, 0) << result.err;
    std::map<std::string, fields> by_path;
    for (const fields& f : json_lines(result.out)) {
        for (const char* key : {"volume", "section", "path", "name", "folder", "size", "deleted", "created",
                                "accessed", "modified", "attributes"}) {
            ASSERT_TRUE(f.count(key)) << "missing " << key;
        }
        by_path[f.at("path")] = f;
    }
    for (const auto& row : read_tsv(data_file("fat32.manifest.tsv"))) {
        if (row.at("path") == "\\GONE.TXT") continue;  // its first letter is lost on disk
        const bool folder = row.at("kind") == "folder";
        std::string path = manifest_path_to_listing(row.at("path")) + (folder ? "/" : "");
        // Recycled items are listed under the names the bin restored.
        if (!row.at("former_path").empty()) continue;
        ASSERT_TRUE(by_path.count(path)) << path;
        const fields& f = by_path.at(path);
        EXPECT_EQ(f.at("folder"), folder ? "true" : "false") << path;
        EXPECT_EQ(f.at("deleted"), row.at("deleted") == "1" ? "true" : "false") << path;
        if (!folder) EXPECT_EQ(f.at("size"), row.at("size")) << path;
        EXPECT_EQ(f.at("modified").substr(0, 16), row.at("mtime").substr(0, 16).replace(4, 1, "/").replace(7, 1, "/"))
            << path;
    }
}

TEST(ListCommand, DeletedShowsOnlyDeletedFilesAndTheFoldersLeadingToThem) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result all = listing(image, {"--json"});
    SKIP_IF_NOT_SCANNED(all);
    const cli_result deleted = listing(image, {"--json", "--deleted"});
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    std::set<std::string> folders_needed, folders_shown;
    size_t deleted_files = 0;
    for (const fields& f : json_lines(deleted.out)) {
        const std::string& path = f.at("path");
        if (f.at("folder") == "true") {
            folders_shown.insert(path);
            continue;
        }
        EXPECT_TRUE(f.at("deleted") == "true" || f.at("section") != "tree") << path;
        ++deleted_files;
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            folders_needed.insert(path.substr(0, slash + 1));
        }
    }
    EXPECT_GT(deleted_files, 3u);
    for (const auto& folder : folders_needed) EXPECT_TRUE(folders_shown.count(folder)) << folder;
    // A live folder with nothing deleted below it is left out.
    EXPECT_FALSE(folders_shown.count("/many/"));
    EXPECT_LT(json_lines(deleted.out).size(), json_lines(all.out).size());
}

TEST(ListCommand, HumanOutputMarksDeletedItems) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result result = listing(image);
    SKIP_IF_NOT_SCANNED(result);
    ASSERT_EQ(result.status, 0) << result.err;
    bool saw_deleted = false, saw_live = false;
    for (const auto& line : result.out_lines()) {
        if (line.ends_with("/deleted in root.txt")) saw_deleted = line.starts_with("D ");
        if (line.ends_with("/README.TXT")) saw_live = line.starts_with("  ");
    }
    EXPECT_TRUE(saw_deleted) << result.out;
    EXPECT_TRUE(saw_live) << result.out;
    EXPECT_NE(result.out.find("volume 0: fat16"), std::string::npos);
}

TEST(ListCommand, StartPathLimitsTheScanAndAMissingFolderIsNamed) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result whole = listing(image);
    SKIP_IF_NOT_SCANNED(whole);
    const cli_result limited = listing(image, {"--path", "docs/Reports 2023", "--json"});
    ASSERT_EQ(limited.status, 0) << limited.err;
    bool saw_summary = false;
    for (const fields& f : json_lines(limited.out)) {
        saw_summary = saw_summary || f.at("path") == "/docs/Reports 2023/Q1/summary.v1.final.txt";
        EXPECT_NE(f.at("path"), "/many/file 001.txt");
    }
    EXPECT_TRUE(saw_summary) << limited.out;

    const cli_result missing = listing(image, {"--path", "no such folder"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("no such folder"), std::string::npos) << missing.err;
}

// ---- recover ---------------------------------------------------------------

// Recovers `image` into a fresh folder; skips while its scan is unavailable.
#define RECOVER_OR_SKIP(result, image, dir, ...)                                            \
    std::vector<std::string> recover_args{"recover", (image).string(), "-o", (dir).string()}; \
    for (const std::string& extra : std::vector<std::string>{__VA_ARGS__}) recover_args.push_back(extra); \
    const cli_result result = run_cli(recover_args);                                       \
    SKIP_IF_NOT_SCANNED(result)

TEST(RecoverCommand, SavesLiveFilesWithTheirBytesAndLeavesTheSourceAlone) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const std::string image_hash = file_sha256(image);
    const auto image_time = fs::last_write_time(image);
    scratch_dir dir;
    RECOVER_OR_SKIP(result, image, dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path volume = dir / "0-fat16";
    size_t checked = 0;
    for (const auto& row : read_tsv(data_file("fat16.manifest.tsv"))) {
        if (row.at("kind") != "file" || row.at("expect_identical") != "1" || row.at("path") == "\\GONE.TXT") continue;
        std::string relative = row.at("former_path").empty() ? row.at("path").substr(1) : row.at("former_path").substr(3);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const fs::path saved = volume / relative;
        ASSERT_TRUE(fs::exists(saved)) << saved;
        EXPECT_EQ(file_sha256(saved), row.at("sha256")) << saved;
        ++checked;
    }
    EXPECT_GT(checked, 100u);
    EXPECT_EQ(file_sha256(image), image_hash);
    EXPECT_EQ(fs::last_write_time(image), image_time);

    // The summary counts what happened.
    const auto lines = result.out_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("found ")) << lines.back();
    EXPECT_NE(lines.back().find("failed 0"), std::string::npos) << lines.back();
}

TEST(RecoverCommand, NeverOverwritesAndSaysWhatItSkipped) {
    REQUIRE_FIXTURE(image, "fat16.img");
    scratch_dir dir;
    fs::create_directories(dir / "0-fat16");
    const std::vector<uint8_t> mine = {'m', 'i', 'n', 'e'};
    write_file(dir / "0-fat16" / "README.TXT", mine);
    RECOVER_OR_SKIP(first, image, dir.path(), "--json");
    EXPECT_EQ(first.status, 1) << "a file that was not saved must show in the status";
    EXPECT_EQ(read_file(dir / "0-fat16" / "README.TXT"), mine);
    bool reported = false;
    fields summary;
    for (const fields& f : json_lines(first.out)) {
        if (f.count("summary")) summary = f;
        if (f.count("path") && f.at("path") == "/README.TXT") reported = f.at("result") == "skipped";
    }
    EXPECT_TRUE(reported);
    ASSERT_TRUE(summary.count("skipped"));
    EXPECT_EQ(summary.at("skipped"), "1");
    EXPECT_TRUE(fs::exists(dir / "0-fat16" / "Café.txt"));

    // A second run saves nothing and skips everything the first one saved.
    const std::string hello = file_sha256(dir / "0-fat16" / "Café.txt");
    const cli_result second = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"});
    EXPECT_EQ(second.status, 1);
    for (const fields& f : json_lines(second.out)) {
        if (f.count("summary")) {
            EXPECT_EQ(f.at("saved"), "0");
            EXPECT_EQ(std::stoul(f.at("skipped")), std::stoul(summary.at("saved")) + 1);
        }
    }
    EXPECT_EQ(file_sha256(dir / "0-fat16" / "Café.txt"), hello);
}

TEST(RecoverCommand, TypesAndDeletedNarrowTheSelection) {
    REQUIRE_FIXTURE(image, "fat32.img");
    scratch_dir dir;
    RECOVER_OR_SKIP(typed, image, dir / "typed", "--types", "PNG,.jpg");
    ASSERT_EQ(typed.status, 0) << typed.err;
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "typed")) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string ext = entry.path().extension().string();
        EXPECT_TRUE(ext == ".png" || ext == ".jpg") << entry.path();
    }
    EXPECT_EQ(files, 2u);  // beach.jpg and Sunset photo.png, saved once each

    const cli_result deleted = run_cli({"recover", image.string(), "-o", (dir / "deleted").string(), "--deleted"});
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_TRUE(fs::exists(dir / "deleted" / "0-fat32" / "deleted in root.txt"));
    EXPECT_TRUE(fs::exists(dir / "deleted" / "0-fat32" / "old project" / "Source Code" / "Main Program.c"));
    EXPECT_FALSE(fs::exists(dir / "deleted" / "0-fat32" / "README.TXT"));
    EXPECT_FALSE(fs::exists(dir / "deleted" / "0-fat32" / "many"));
}

TEST(RecoverCommand, EachVolumeOfADiskGetsItsOwnFolder) {
    REQUIRE_FIXTURE(disk, "disk.img");
    scratch_dir dir;
    const cli_result result = run_cli({"recover", disk.string(), "-o", dir.path().string()});
    if (!fs::exists(dir / "0-fat16")) GTEST_SKIP() << "the FAT scan is not available yet: " << result.err;
    for (const auto& row : read_tsv(data_file("disk.manifest.tsv"))) {
        if (row.at("kind") != "file") continue;
        const int index = std::stoi(row.at("volume")) - 1;  // partitions count from 1, volumes from 0
        std::string type = index == 0 ? "fat16" : index == 1 ? "fat32" : index == 2 ? "exfat" : "ntfs";
        const fs::path volume = dir / (std::to_string(index) + "-" + type);
        if (!fs::exists(volume)) continue;  // that file system's scan is not there yet
        std::string relative = row.at("path").substr(1);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        ASSERT_TRUE(fs::exists(volume / relative)) << volume / relative;
        EXPECT_EQ(file_sha256(volume / relative), row.at("sha256")) << relative;
    }
}

// ---- extents ---------------------------------------------------------------

TEST(ExtentsCommand, PointsAtTheFileBytesOnTheSource) {
    REQUIRE_FIXTURE(image, "fat32.img");
    const std::string path = "/docs/Reports 2023/Q1/deep/big file.bin";
    const cli_result result = run_cli({"extents", image.string(), path, "--json"});
    SKIP_IF_NOT_SCANNED(result);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto objects = json_lines(result.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].at("size"), "204800");

    // Concatenate the extents straight from the image and compare with the manifest.
    const std::string text = objects[0].at("extents");
    const std::vector<uint8_t> bytes = read_file(image);
    std::vector<uint8_t> data;
    for (size_t at = text.find("\"o\":"); at != std::string::npos; at = text.find("\"o\":", at + 1)) {
        const uint64_t offset = std::stoull(text.substr(at + 4));
        const uint64_t length = std::stoull(text.substr(text.find("\"l\":", at) + 4));
        ASSERT_LE(offset + length, bytes.size());
        data.insert(data.end(), bytes.begin() + offset, bytes.begin() + offset + length);
    }
    data.resize(std::min<size_t>(data.size(), 204800));
    std::string expected;
    for (const auto& row : read_tsv(data_file("fat32.manifest.tsv"))) {
        if (row.at("path") == "\\docs\\Reports 2023\\Q1\\deep\\big file.bin") expected = row.at("sha256");
    }
    EXPECT_EQ(sha256_hex(data), expected);

    // Backslashes and another letter case name the same file.
    const cli_result human = run_cli({"extents", image.string(), "DOCS\\reports 2023\\q1\\DEEP\\Big File.bin"});
    EXPECT_EQ(human.status, 0) << human.err;
    EXPECT_EQ(human.out, text + "\n");
}

TEST(ExtentsCommand, AnUnknownFileOrAFolderIsAnError) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result missing = run_cli({"extents", image.string(), "/no/such/file.txt"});
    SKIP_IF_NOT_SCANNED(missing);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err_lines().size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("/no/such/file.txt"), std::string::npos);
    const cli_result folder = run_cli({"extents", image.string(), "/docs"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("folder"), std::string::npos) << folder.err;
}

}  // namespace
}  // namespace ostrel::test

#endif  // OSTREL_CLI
