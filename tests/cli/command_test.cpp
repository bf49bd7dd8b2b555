// The `ostrel` command run as users run it, against the fixture images:
// volumes, ls, extents, errors and exit statuses, the progress line.
#include <gtest/gtest.h>

#ifdef OSTREL_CLI

#include <algorithm>
#include <filesystem>
#include <set>

#include "tests/cli/cli_runner.h"
#include "tests/support/files.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;

cli_result listing(const fs::path& image, std::vector<std::string> extra = {}, const cli_options& options = {}) {
    std::vector<std::string> args{"ls", image.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args, options);
}

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
        EXPECT_EQ(v.at("index"), std::to_string(i));
        const uint64_t start = std::stoull(v.at("start_byte"));
        EXPECT_EQ(std::stoull(v.at("start_sector")), start / 512);
        EXPECT_GE(start, previous_end) << "volumes overlap or go backwards";
        previous_end = start + std::stoull(v.at("length_bytes"));
    }
    // Every partition is listed with its own type and the partition's length
    // (the NTFS span includes its backup boot sector), or lies in a raw volume.
    for (const auto& row : read_tsv("disk.layout.tsv")) {
        if (row.at("index") == "-") continue;
        const uint64_t start = std::stoull(row.at("start_byte"));
        const uint64_t length = std::stoull(row.at("length_bytes"));
        const auto same_start = std::find_if(volumes.begin(), volumes.end(), [&](const fields& v) {
            return std::stoull(v.at("start_byte")) == start && v.at("type") == row.at("type");
        });
        if (same_start != volumes.end()) {
            EXPECT_EQ(std::stoull(same_start->at("length_bytes")), length) << row.at("type");
            continue;
        }
        const bool covered = std::any_of(volumes.begin(), volumes.end(), [&](const fields& v) {
            const uint64_t s = std::stoull(v.at("start_byte")), l = std::stoull(v.at("length_bytes"));
            return v.at("type") == "raw" && s <= start && start + length <= s + l;
        });
        EXPECT_TRUE(covered) << row.at("type") << " partition at " << start << " is in no volume";
    }

    // The human table: a heading and one row per volume; engine log lines
    // only with --verbose.
    const cli_result human = run_cli({"volumes", disk.string()});
    ASSERT_EQ(human.status, 0);
    const auto lines = human.out_lines();
    ASSERT_EQ(lines.size(), volumes.size() + 1);
    EXPECT_TRUE(lines[0].starts_with("INDEX")) << lines[0];
    EXPECT_NE(lines[1].find("fat16"), std::string::npos);
    EXPECT_TRUE(human.err.empty()) << human.err;
    const cli_result verbose = run_cli({"volumes", disk.string(), "--verbose"});
    EXPECT_NE(verbose.err.find("[fat16]\t"), std::string::npos) << verbose.err;
    EXPECT_EQ(verbose.out, human.out);
}

// ---- errors and exit statuses ------------------------------------------------

TEST(CommandErrors, BadUsageAndBadSourcesGiveOneLineAndStatusTwo) {
    scratch_dir dir;
    write_file(dir / "tiny.img", std::vector<uint8_t>(100, 0));
    const fs::path image = fixture_image("fat16.img");
    struct error_case {
        std::vector<std::string> args;
        std::string names;  // what the line must mention
    };
    std::vector<error_case> cases = {
        {{"--json"}, "command"},
        {{"frobnicate", "x"}, "frobnicate"},
        {{"volumes", (dir / "missing.img").string()}, "missing.img"},
        {{"volumes", dir.path().string()}, dir.path().string()},
        {{"volumes", (dir / "tiny.img").string()}, "tiny.img"},
        {{"ls", "x", "--bogus"}, "--bogus"},
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

TEST(CommandErrors, HelpVersionAndTheBareCommand) {
    const cli_result help = run_cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("recover SOURCE -o DIR"), std::string::npos);
    const cli_result version = run_cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("ostrel ")) << version.out;
    // Alone, the command shows how to use it (and that nothing was done).
    const cli_result bare = run_cli({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.out, help.out);
}

TEST(CommandErrors, ASourceWithoutAFileSystemSaysWhatItIs) {
    scratch_dir dir;
    std::vector<uint8_t> noise = pattern_bytes(64 * 1024, 7);
    write_file(dir / "noise.bin", noise);
    const std::vector<std::pair<std::string, std::string>> magic = {
        {std::string("\x1f\x8b\x08\x00", 4), "gzip"},
        {"PK\x03\x04", "zip"},
        {std::string("EVF\x09\x0d\x0a\xff\x00", 8), "E01"},
    };
    std::vector<std::pair<fs::path, std::string>> sources = {{dir / "noise.bin", ""}};
    if (fs::exists(data_file("fat16.img.xz"))) sources.push_back({data_file("fat16.img.xz"), "xz"});
    for (size_t i = 0; i < magic.size(); ++i) {
        std::vector<uint8_t> bytes = noise;
        std::copy(magic[i].first.begin(), magic[i].first.end(), bytes.begin());
        const fs::path file = dir / ("packed" + std::to_string(i));
        write_file(file, bytes);
        sources.push_back({file, magic[i].second});
    }
    for (const auto& [file, kind] : sources) {
        for (const char* command : {"ls", "volumes"}) {
            const cli_result result = run_cli({command, file.string()});
            EXPECT_EQ(result.status, 1) << command << " " << file;
            EXPECT_NE(result.err.find("no file system found"), std::string::npos) << result.err;
            EXPECT_NE(result.err.find(kind), std::string::npos) << result.err;
        }
    }
}

TEST(CommandErrors, ExitStatusesFollowTheHelpText) {
    REQUIRE_FIXTURE(fat16, "fat16.img");
    REQUIRE_FIXTURE(disk, "disk.img");
    // A path that is nowhere is "no such file" on a volume and on a disk.
    for (const fs::path& image : {fat16, disk}) {
        const cli_result missing = listing(image, {"--path", "no such folder"});
        EXPECT_EQ(missing.status, 1) << image;
        EXPECT_NE(missing.err.find("no such folder"), std::string::npos) << missing.err;
    }
#ifndef _WIN32  // Windows has no device that is always full
    // Results that cannot be written are not a success.
    const cli_result full = listing(fat16, {}, {.stdout_path = "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write the output"), std::string::npos) << full.err;
#endif
    // A deep scan this version cannot run is said, and is no failure.
    const cli_result deep = listing(fat16, {"--deep", "--json"});
    EXPECT_EQ(deep.status, 0) << deep.err;
    EXPECT_EQ(deep.err.find("could not"), std::string::npos) << deep.err;
}

// ---- ls --------------------------------------------------------------------

TEST(ListCommand, JsonListsEveryItemOnceWithItsStateAndTheBinsFormerPaths) {
    REQUIRE_FIXTURE(image, "fat32.img");
    const cli_result result = listing(image, {"--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<fields> objects = json_lines(result.out);
    std::map<std::string, fields> by_path;
    size_t files = 0;
    for (const fields& f : objects) {
        by_path[f.at("path")] = f;
        if (f.at("folder") == "false" && f.at("state") != "copy") ++files;
        if (f.at("state") == "copy") {
            // A copy at a former path points at the recycled item it repeats.
            ASSERT_TRUE(by_path.count(f.at("copy_of"))) << f.at("path");
            EXPECT_EQ(by_path.at(f.at("copy_of")).at("recycled"), "true");
        }
        if (f.count("made_for_former_paths")) {
            EXPECT_EQ(f.at("deleted"), "false") << f.at("path");
        }
    }
    size_t manifest_files = 0;
    for (const auto& row : read_tsv("fat32.manifest.tsv")) {
        const bool folder = row.at("kind") == "folder";
        manifest_files += folder ? 0 : 1;
        if (row.at("path") == "\\GONE.TXT") continue;  // its first letter is lost on disk
        const std::string path = slashed(row.at("path")) + (folder ? "/" : "");
        ASSERT_TRUE(by_path.count(path)) << path;
        const fields& f = by_path.at(path);
        EXPECT_EQ(f.at("folder"), folder ? "true" : "false") << path;
        EXPECT_EQ(f.at("deleted"), row.at("deleted") == "1" ? "true" : "false") << path;
        if (!folder) {
            EXPECT_EQ(f.at("size"), row.at("size")) << path;
        }
        EXPECT_EQ(f.at("modified").substr(0, 16), row.at("mtime").substr(0, 16)) << path;
        // A recycled item keeps its name in the bin and tells where it was.
        if (!row.at("former_path").empty()) {
            EXPECT_EQ(f.at("recycled"), "true") << path;
            EXPECT_EQ(f.at("former_path"), row.at("former_path")) << path;
        }
    }
    EXPECT_EQ(files, manifest_files) << "copies at former paths must not count as files";
    EXPECT_EQ(item_at(objects, "/Users/x/Documents/report.txt")["copy_of"], "/$RECYCLE.BIN/$RABC123.txt");
}

TEST(ListCommand, HumanListingHasHeadingsIsoTimesAndStatesItsTimeZone) {
    REQUIRE_FIXTURE(fat16, "fat16.img");
    const cli_result result = listing(fat16);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto lines = result.out_lines();
    ASSERT_GT(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("volume 0: fat16")) << lines[0];
    EXPECT_NE(lines[0].find("no time zone"), std::string::npos) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("STATE")) << lines[1];
    for (const char* column : {"SIZE", "MODIFIED", "CREATED", "PATH"}) {
        EXPECT_NE(lines[1].find(column), std::string::npos) << column;
    }
    const auto row = [&](const std::string& path) {
        const auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(path) != std::string::npos; });
        return it == lines.end() ? std::string() : *it;
    };
    EXPECT_TRUE(row("/deleted in root.txt").starts_with("deleted ")) << row("/deleted in root.txt");
    EXPECT_TRUE(row("/README.TXT").starts_with("  ")) << row("/README.TXT");
    EXPECT_NE(row("/README.TXT").find("2023-05-04 09:02:00"), std::string::npos) << row("/README.TXT");
    EXPECT_NE(row("/$RECYCLE.BIN/$RABC123.txt").find("was C:\\Users\\x\\Documents\\report.txt"), std::string::npos);

    // NTFS keeps UTC: the listing says which zone it shows times in.
    REQUIRE_FIXTURE(ntfs, "ntfs_files.img");
    const cli_result utc = listing(ntfs, {"--json"}, {.env = {{"TZ", "UTC"}}});
    // The POSIX form of the zone: no zone files needed, and the Windows C
    // runtime reads it too.
    const cli_result tokyo = listing(ntfs, {}, {.env = {{"TZ", "JST-9"}}});
    ASSERT_EQ(tokyo.status, 0) << tokyo.err;
    EXPECT_NE(tokyo.out_lines()[0].find("UTC+09:00"), std::string::npos) << tokyo.out_lines()[0];
    const std::string modified = item_at(json_lines(utc.out), "/empty.dat")["modified"];
    ASSERT_EQ(modified.size(), 19u) << modified;
    const int hour = (std::stoi(modified.substr(11, 2)) + 9) % 24;
    const std::string shifted = (hour < 10 ? "0" : "") + std::to_string(hour);
    bool found = false;
    for (const auto& line : tokyo.out_lines()) {
        if (line.ends_with("/empty.dat")) found = line.find(std::string(" ") + shifted + modified.substr(13, 6)) != std::string::npos;
    }
    EXPECT_TRUE(found) << tokyo.out;
}

TEST(ListCommand, DeletedShowsDeletedAndRecycledItemsAndTheFoldersLeadingToThem) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result all = listing(image, {"--json"});
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
        EXPECT_TRUE(f.at("deleted") == "true" || f.at("recycled") == "true" || f.at("state") == "copy" ||
                    f.at("section") != "tree")
            << path;
        ++deleted_files;
        for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            folders_needed.insert(path.substr(0, slash + 1));
        }
    }
    EXPECT_GT(deleted_files, 3u);
    for (const auto& folder : folders_needed) EXPECT_TRUE(folders_shown.count(folder)) << folder;
    EXPECT_TRUE(folders_shown.count("/$RECYCLE.BIN/$RGHI789/"));
    // A live folder with nothing deleted below it is left out.
    EXPECT_FALSE(folders_shown.count("/many/"));
    EXPECT_LT(json_lines(deleted.out).size(), json_lines(all.out).size());
}

TEST(ListCommand, PathShowsOnlyTheFileOrSubtreeAskedFor) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result docs = listing(image, {"--path", "docs", "--json"});
    ASSERT_EQ(docs.status, 0) << docs.err;
    const std::vector<fields> objects = json_lines(docs.out);
    for (const fields& f : objects) EXPECT_TRUE(f.at("path").starts_with("/docs/")) << f.at("path");
    EXPECT_FALSE(item_at(objects, "/docs/Reports 2023/Q1/summary.v1.final.txt").empty());

    const cli_result file = listing(image, {"--path", "/docs/Reports 2023/Q1/summary.v1.final.txt", "--json"});
    ASSERT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(json_lines(file.out).size(), 1u) << file.out;
    // Folders are found under the names ls shows: a folder made for former
    // paths, in another case, and a recycled folder under its name in the bin.
    for (const char* path : {"users/X/Documents", "/$RECYCLE.BIN/$RGHI789/"}) {
        const cli_result named = listing(image, {"--path", path, "--json"});
        EXPECT_EQ(named.status, 0) << path << ": " << named.err;
        EXPECT_GE(json_lines(named.out).size(), 2u) << path;
    }
}

TEST(ListCommand, DeletedFilesUnderLiveDataAreMarkedOverwritten) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result result = listing(image, {"--json", "--deleted"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::vector<fields> objects = json_lines(result.out);
    const std::map<std::string, std::string> expected = {
        {"/frag/part B.bin", "all"},         // its clusters now hold part D
        {"/scratch/draft v1.txt", "part"},   // v2 took its first clusters
        {"/frag/part E - reused by G.bin", "none"},  // G is deleted too
        {"/deleted in root.txt", "none"},
    };
    for (const auto& [path, state] : expected) EXPECT_EQ(item_at(objects, path)["overwritten"], state) << path;
    EXPECT_EQ(item_at(objects, "/frag/part B.bin")["state"], "overwritten");
    EXPECT_EQ(item_at(objects, "/scratch/draft v1.txt")["state"], "part overwritten");
    const size_t marked = std::count_if(objects.begin(), objects.end(), [](const fields& f) {
        return f.count("overwritten") && f.at("overwritten") != "none";
    });

    // recover marks them too, and counts them.
    scratch_dir dir;
    const cli_result saved = run_cli({"recover", image.string(), "-o", dir.path().string(), "--deleted", "--json"});
    ASSERT_EQ(saved.status, 0) << saved.err;
    const std::vector<fields> reports = json_lines(saved.out);
    EXPECT_EQ(item_at(reports, "/frag/part B.bin")["overwritten"], "all");
    EXPECT_EQ(reports.back().at("overwritten"), std::to_string(marked));
}

// ---- extents ---------------------------------------------------------------

TEST(ExtentsCommand, PointsAtTheFileBytesOnTheSource) {
    REQUIRE_FIXTURE(image, "fat32.img");
    const std::string path = "/docs/Reports 2023/Q1/deep/big file.bin";
    const cli_result result = run_cli({"extents", image.string(), path, "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto objects = json_lines(result.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].at("size"), "204800");

    // The human table, with backslashes and another letter case naming the
    // same file: its rows, read straight from the image, are the file.
    const cli_result human = run_cli({"extents", image.string(), "DOCS\\reports 2023\\q1\\DEEP\\Big File.bin"});
    ASSERT_EQ(human.status, 0) << human.err;
    const auto lines = human.out_lines();
    ASSERT_GT(lines.size(), 2u);
    EXPECT_NE(lines[0].find("204800 bytes"), std::string::npos) << lines[0];
    EXPECT_TRUE(lines[1].find("OFFSET") != std::string::npos && lines[1].find("LENGTH") != std::string::npos);
    const std::vector<uint8_t> bytes = read_file(image);
    std::vector<uint8_t> data;
    for (size_t i = 2; i < lines.size(); ++i) {
        std::istringstream row(lines[i]);
        uint64_t offset = 0, length = 0;
        ASSERT_TRUE(row >> offset >> length) << lines[i];
        ASSERT_LE(offset + length, bytes.size());
        EXPECT_NE(objects[0].at("extents").find("{\"o\":" + std::to_string(offset) + ", \"l\":" + std::to_string(length)),
                  std::string::npos);
        data.insert(data.end(), bytes.begin() + offset, bytes.begin() + offset + length);
    }
    EXPECT_EQ(sha256_hex(data), manifest_sha("fat32.manifest.tsv", "\\docs\\Reports 2023\\Q1\\deep\\big file.bin"));
}

TEST(ExtentsCommand, AnUnknownFileOrAFolderIsAnError) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const cli_result missing = run_cli({"extents", image.string(), "/no/such/file.txt"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err_lines().size(), 1u) << missing.err;
    EXPECT_NE(missing.err.find("/no/such/file.txt"), std::string::npos);
    const cli_result folder = run_cli({"extents", image.string(), "/docs"});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("folder"), std::string::npos) << folder.err;
}

// ---- progress ----------------------------------------------------------------

TEST(Progress, IsOneLineThatFitsTheTerminal) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal for standard error";
#endif
    REQUIRE_FIXTURE(disk, "disk.img");
    scratch_dir dir;
    const unsigned short columns = 60;
    const cli_result result =
        run_cli({"recover", disk.string(), "-o", dir.path().string()}, {.terminal_columns = columns});
    ASSERT_EQ(result.status, 0) << result.err;
    // Each redraw starts with a carriage return and erases the line.
    std::vector<std::string> drawn;
    std::string segment;
    for (char c : result.err + "\r") {
        if (c != '\r' && c != '\n') {
            segment += c;
            continue;
        }
        if (segment.starts_with("\x1b[K")) segment.erase(0, 3);
        if (!segment.empty()) drawn.push_back(segment);
        segment.clear();
    }
    bool saving = false, searching = false;
    for (const std::string& line : drawn) {
        size_t width = 0;
        for (unsigned char c : line) width += (c & 0xC0) != 0x80 ? 1 : 0;
        EXPECT_LT(width, columns) << line;
        saving = saving || (line.find(": saving ") != std::string::npos && line.find("% (") != std::string::npos);
        searching = searching || (line.starts_with("looking for volumes: ") && line.find("%)") != std::string::npos);
    }
    EXPECT_TRUE(saving) << result.err;
    EXPECT_TRUE(searching) << result.err;
}

}  // namespace
}  // namespace ostrel::test

#endif  // OSTREL_CLI
