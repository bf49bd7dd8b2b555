// `ostrel recover` run as users run it: what it saves and where, and what it
// refuses to do to the user's data.
#include <gtest/gtest.h>

#ifdef OSTREL_CLI

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include "cli/paths.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/files.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;

std::string file_sha256(const fs::path& path) { return sha256_hex(read_file(path)); }

// The files whose bytes a recovery reproduces, by where they are saved.
std::map<std::string, fields> identical_files(const std::string& manifest) {
    std::map<std::string, fields> files;
    for (const fields& row : read_tsv(manifest)) {
        if (row.at("kind") == "file" && row.at("expect_identical") == "1" && row.at("path") != "\\GONE.TXT") {
            files[saved_at(row)] = row;
        }
    }
    return files;
}

std::vector<fs::path> files_below(const fs::path& dir) {
    std::vector<fs::path> found;
    if (!fs::exists(dir)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.symlink_status().type() == fs::file_type::regular) found.push_back(entry.path());
    }
    return found;
}

// Every file below `volume` named as one of `expected` holds its bytes.
void expect_whole_where_named(const fs::path& volume, const std::map<std::string, fields>& expected) {
    for (const fs::path& file : files_below(volume)) {
        const std::string relative = utf8_text(fs::relative(file, volume));
        if (expected.count(relative)) {
            EXPECT_EQ(file_sha256(file), expected.at(relative).at("sha256")) << relative;
        }
    }
}

// "2023-05-04 09:02:00" read as UTC, in seconds since 1970.
int64_t utc_seconds(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) return -1;
    const std::chrono::sys_days date{std::chrono::year{year} / month / day};
    return date.time_since_epoch() / std::chrono::seconds(1) + hour * 3600 + minute * 60 + second;
}

int64_t modified_seconds(const fs::path& path) {
    const auto when = std::chrono::file_clock::to_sys(fs::last_write_time(path));
    return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

#ifndef _WIN32
bool run_quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
#endif

// ---- what is saved ---------------------------------------------------------

TEST(RecoverCommand, SavesEachFileOnceWithItsBytesAndTimesAndLeavesTheSourceAlone) {
    REQUIRE_FIXTURE(image, "fat16.img");
    const std::string image_hash = file_sha256(image);
    const auto image_time = fs::last_write_time(image);
    scratch_dir dir;
    const cli_result result = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"},
                                      {.env = {{"TZ", "UTC"}}});
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path volume = dir / "0-fat16";
    const auto expected = identical_files("fat16.manifest.tsv");
    for (const auto& [relative, row] : expected) {
        const fs::path saved = volume / utf8_path(relative);
        ASSERT_TRUE(fs::exists(saved)) << relative;
        EXPECT_EQ(file_sha256(saved), row.at("sha256")) << relative;
        // FAT times are wall-clock times: with TZ=UTC they are the epoch's.
        EXPECT_EQ(modified_seconds(saved), utc_seconds(row.at("mtime"))) << relative;
    }
    EXPECT_GT(expected.size(), 100u);
    EXPECT_EQ(file_sha256(image), image_hash);
    EXPECT_EQ(fs::last_write_time(image), image_time);

    // Each file once: the copies the bin restoration placed at former paths
    // are the recycled items themselves.
    std::set<std::string> destinations;
    const std::vector<fields> reports = json_lines(result.out);
    for (const fields& f : reports) {
        if (f.count("destination")) {
            EXPECT_TRUE(destinations.insert(f.at("destination")).second) << f.at("destination");
        }
    }
    const fields& summary = reports.back();
    EXPECT_EQ(summary.at("found"), "117");  // the manifest's files
    EXPECT_EQ(summary.at("saved"), summary.at("found"));
    EXPECT_EQ(summary.at("incomplete"), "0");
    for (const fs::path& file : files_below(dir.path())) EXPECT_FALSE(utf8_text(file).ends_with(".partial")) << file;
}

TEST(RecoverCommand, NeverOverwritesAndSaysWhatItSkipped) {
    REQUIRE_FIXTURE(image, "fat16.img");
    scratch_dir dir;
    fs::create_directories(dir / "0-fat16");
    const std::vector<uint8_t> mine = {'m', 'i', 'n', 'e'};
    write_file(dir / "0-fat16" / "README.TXT", mine);
    const cli_result first = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"});
    EXPECT_EQ(first.status, 1) << "a file that was not saved must show in the status";
    EXPECT_EQ(read_file(dir / "0-fat16" / "README.TXT"), mine);
    const std::vector<fields> reports = json_lines(first.out);
    EXPECT_EQ(item_at(reports, "/README.TXT")["result"], "skipped");
    EXPECT_EQ(reports.back().at("skipped"), "1");

    // A second run saves nothing and skips everything the first one saved.
    const std::string hello = file_sha256(dir / "0-fat16" / utf8_path("Café.txt"));
    const cli_result second = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"});
    EXPECT_EQ(second.status, 1);
    const fields summary = json_lines(second.out).back();
    EXPECT_EQ(summary.at("saved"), "0");
    EXPECT_EQ(std::stoul(summary.at("skipped")), std::stoul(reports.back().at("saved")) + 1);
    EXPECT_EQ(file_sha256(dir / "0-fat16" / utf8_path("Café.txt")), hello);
}

TEST(RecoverCommand, TypesDeletedAndPathNarrowTheSelection) {
    REQUIRE_FIXTURE(image, "fat32.img");
    scratch_dir dir;
    const cli_result typed = run_cli({"recover", image.string(), "-o", (dir / "typed").string(), "--types", "PNG,.jpg"});
    ASSERT_EQ(typed.status, 0) << typed.err;
    const std::vector<fs::path> pictures = files_below(dir / "typed");
    EXPECT_EQ(pictures.size(), 2u);  // beach.jpg and Sunset photo.png, saved once each
    for (const fs::path& file : pictures) EXPECT_TRUE(file.extension() == ".png" || file.extension() == ".jpg") << file;

    const cli_result deleted = run_cli({"recover", image.string(), "-o", (dir / "deleted").string(), "--deleted"});
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_TRUE(fs::exists(dir / "deleted" / "0-fat32" / "deleted in root.txt"));
    EXPECT_TRUE(fs::exists(dir / "deleted" / "0-fat32" / "old project" / "Source Code" / "Main Program.c"));
    EXPECT_TRUE(fs::exists(dir / "deleted" / "0-fat32" / "Users" / "x" / "Documents" / "report.txt"));  // recycled
    EXPECT_FALSE(fs::exists(dir / "deleted" / "0-fat32" / "README.TXT"));
    EXPECT_FALSE(fs::exists(dir / "deleted" / "0-fat32" / "many"));

    // --path saves that subtree only; a copy at a former path brings its item.
    const cli_result docs = run_cli({"recover", image.string(), "-o", (dir / "docs").string(), "--path", "docs"});
    ASSERT_EQ(docs.status, 0) << docs.err;
    for (const fs::path& file : files_below(dir / "docs")) {
        EXPECT_TRUE(utf8_text(fs::relative(file, dir / "docs" / "0-fat32")).starts_with("docs/")) << file;
    }
    const cli_result former = run_cli({"recover", image.string(), "-o", (dir / "former").string(), "--path",
                                       "/Users/x/Documents/report.txt"});
    ASSERT_EQ(former.status, 0) << former.err;
    EXPECT_EQ(files_below(dir / "former").size(), 1u);
}

TEST(RecoverCommand, EachVolumeOfADiskGetsItsOwnFolder) {
    REQUIRE_FIXTURE(disk, "disk.img");
    scratch_dir dir;
    const cli_result result = run_cli({"recover", disk.string(), "-o", dir.path().string()});
    EXPECT_NE(result.status, 2) << result.err;
    for (const auto& row : read_tsv("disk.manifest.tsv")) {
        if (row.at("kind") != "file") continue;
        const int index = std::stoi(row.at("volume")) - 1;  // partitions count from 1, volumes from 0
        const std::string type = index == 0 ? "fat16" : index == 1 ? "fat32" : index == 2 ? "exfat" : "ntfs";
        const fs::path volume = dir / (std::to_string(index) + "-" + type);
        if (!fs::exists(volume)) continue;  // that file system's scan is not there yet
        const std::string relative = slashed(row.at("path").substr(1));
        const fs::path saved = volume / utf8_path(relative);
        ASSERT_TRUE(fs::exists(saved)) << relative;
        EXPECT_EQ(file_sha256(saved), row.at("sha256")) << saved;
    }
    EXPECT_TRUE(fs::exists(dir / "0-fat16")) << result.err;
}

TEST(RecoverCommand, DeepCarvesFreeSpaceAndTheStretchesBetweenVolumes) {
    // Files before the partition, in its free space and after it: with
    // --deep each is carved at its offset, under $Lost of its stretch.
    REQUIRE_FIXTURE(disk, "carve_disk.img");
    scratch_dir dir;
    const cli_result plain = run_cli({"ls", disk.string(), "--json"});
    EXPECT_EQ(plain.out.find("$Lost"), std::string::npos);
    const cli_result result = run_cli({"recover", disk.string(), "-o", dir.path().string(), "--deep", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::set<std::string> carved;
    for (const fs::path& file : files_below(dir.path())) {
        if (file.parent_path().filename() == "$Lost") carved.insert(file.filename().string());
    }
    for (const auto& row : read_tsv("carve_disk.manifest.tsv")) {
        char name[64];
        std::snprintf(name, sizeof name, "%llx.%s", std::stoull(row.at("offset")), row.at("ext").c_str());
        EXPECT_EQ(carved.count(name), 1u) << name;
    }
    EXPECT_TRUE(fs::exists(dir / "gap-0-raw" / "$Lost")) << result.err;
}

// ---- what it refuses to do -------------------------------------------------

TEST(RecoverSafety, AFileCutShortKeepsAPartialNameUntilARerunCompletesIt) {
#ifdef _WIN32
    GTEST_SKIP() << "cutting a copy short needs a file size limit (RLIMIT_FSIZE)";
#else
    REQUIRE_FIXTURE(image, "fat16.img");
    scratch_dir dir;
    const fs::path relative = fs::path("docs") / "Reports 2023" / "Q1" / "deep" / "big file.bin";
    const fs::path big = dir / "0-fat16" / relative;
    const auto expected = identical_files("fat16.manifest.tsv");
    const auto kill_at_64k = [&] {
        // Killed while writing the first file above 64 KiB, as a crash or a
        // kill would leave it.
        const cli_result killed = run_cli({"recover", image.string(), "-o", dir.path().string()},
                                          {.file_size_limit = 64 * 1024});
        ASSERT_EQ(killed.signal, SIGXFSZ) << killed.status << " " << killed.err;
    };
    const auto rerun_completes_it = [&] {
        const cli_result rerun = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"});
        EXPECT_EQ(rerun.status, 1) << rerun.err;  // what the first run saved is skipped
        EXPECT_EQ(item_at(json_lines(rerun.out), "/docs/Reports 2023/Q1/deep/big file.bin")["result"], "saved");
        EXPECT_EQ(file_sha256(big), expected.at("docs/Reports 2023/Q1/deep/big file.bin").at("sha256"));
        EXPECT_FALSE(fs::exists(dir / "0-fat16.partial"));
        for (const fs::path& file : files_below(dir.path())) EXPECT_FALSE(utf8_text(file).ends_with(".partial")) << file;
    };

    // A new volume folder is filled as 0-fat16.partial: nothing carries its
    // final path. A rerun takes the folder up again; one that does not select
    // the file cut short leaves it partial.
    kill_at_64k();
    EXPECT_FALSE(fs::exists(dir / "0-fat16"));
    EXPECT_EQ(fs::file_size(dir / "0-fat16.partial" / relative), 64u * 1024);
    const cli_result texts = run_cli({"recover", image.string(), "-o", dir.path().string(), "--types", "txt"});
    EXPECT_EQ(texts.status, 1) << texts.err;
    EXPECT_FALSE(fs::exists(big));
    EXPECT_EQ(fs::file_size(big.string() + ".partial"), 64u * 1024);
    expect_whole_where_named(dir / "0-fat16", expected);
    rerun_completes_it();

    // In a volume folder that exists, the copy is NAME.partial until whole.
    fs::remove(big);
    kill_at_64k();
    EXPECT_FALSE(fs::exists(big));
    EXPECT_EQ(fs::file_size(big.string() + ".partial"), 64u * 1024);
    expect_whole_where_named(dir / "0-fat16", expected);
    rerun_completes_it();
#endif
}

TEST(RecoverSafety, AFileTheSourceCannotGiveWholeIsKeptAsPartial) {
    REQUIRE_FIXTURE(image, "fat32_cut.img");  // the last file's second half is past the image's end
    scratch_dir dir;
    const cli_result result = run_cli({"recover", image.string(), "-o", dir.path().string(), "--json"});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(item_at(json_lines(result.out), "/at the end.bin")["result"], "incomplete");
    EXPECT_TRUE(fs::exists(dir / "0-fat32" / "at the end.bin.partial"));
    EXPECT_FALSE(fs::exists(dir / "0-fat32" / "at the end.bin"));
    EXPECT_FALSE(fs::exists(dir / "0-fat32.partial"));
    expect_whole_where_named(dir / "0-fat32", identical_files("fat32_cut.manifest.tsv"));
}

TEST(RecoverSafety, AFullOutputDiskStopsWithOneClearLine) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a small file system mounted (tmpfs)";
#else
    REQUIRE_FIXTURE(image, "fat16.img");
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    scratch_dir dir;
    const fs::path small = dir / "small";
    fs::create_directories(small);
    if (!run_quietly("mount -t tmpfs -o size=96k tmpfs '" + small.string() + "'")) GTEST_SKIP() << "cannot mount tmpfs";
    const struct unmount {
        std::string path;
        ~unmount() { run_quietly("umount '" + path + "'"); }
    } unmount_at_end{small.string()};
    const cli_result result = run_cli({"recover", image.string(), "-o", small.string()});
    EXPECT_EQ(result.status, 1) << result.err;
    // Whatever carries its real name is whole, and the volume folder has its.
    EXPECT_TRUE(fs::exists(small / "0-fat16"));
    expect_whole_where_named(small / "0-fat16", identical_files("fat16.manifest.tsv"));
    size_t full_lines = 0, file_lines = 0;
    for (const std::string& line : result.err_lines()) {
        full_lines += line.find("disk is full") != std::string::npos ? 1 : 0;
        file_lines += line.starts_with("failed:") || line.starts_with("incomplete:") ? 1 : 0;
    }
    EXPECT_EQ(full_lines, 1u) << result.err;
    EXPECT_EQ(file_lines, 0u) << result.err;
    EXPECT_NE(result.out.find("not tried"), std::string::npos) << result.out;
#endif
}

TEST(RecoverSafety, TheOutputFolderIsCheckedFirstAndCreatedOnlyForAFile) {
    REQUIRE_FIXTURE(image, "fat16.img");
    scratch_dir dir;
    write_file(dir / "a file", {'x'});
    struct refused {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<refused> cases = {
        {{"recover", image.string(), "-o", (dir / "out").string(), "--volume", "9"}, 2, "no volume 9"},
        {{"recover", (dir / "missing.img").string(), "-o", (dir / "out").string()}, 2, "missing.img"},
        {{"recover", image.string(), "-o", (dir / "a file" / "sub").string()}, 2, "not a folder"},
        {{"recover", image.string(), "-o", (dir / "out").string(), "--path", "nosuch"}, 1, "nosuch"},
    };
    for (const refused& c : cases) {
        const cli_result result = run_cli(c.args);
        EXPECT_EQ(result.status, c.status) << c.args[1] << " " << c.args.back();
        EXPECT_EQ(result.err_lines().size(), 1u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(dir / "out")) << c.args.back();
    }
#ifndef _WIN32  // a folder's permissions there are access lists, not mode bits
    if (::geteuid() != 0) {  // root writes anywhere
        fs::create_directories(dir / "locked");
        fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        const cli_result locked = run_cli({"recover", image.string(), "-o", (dir / "locked" / "out").string()});
        EXPECT_EQ(locked.status, 2);
        EXPECT_EQ(locked.err_lines().size(), 1u) << locked.err;
        fs::permissions(dir / "locked", fs::perms::owner_all);
    }
#endif
}

#ifndef _WIN32
// A disk image on a loop device: the FAT16 fixture as its first partition,
// and an ext2 partition mounted read-write.
class loop_disk {
public:
    loop_disk(const fs::path& dir, const fs::path& fat16) : mount_(dir / "mnt"), image_(dir / "disk.img") {
        if (::geteuid() != 0) {
            why_ = "loop devices need root";
            return;
        }
        for (const char* tool : {"losetup", "sfdisk", "mke2fs", "partx"}) {
            if (!run_quietly(std::string("command -v ") + tool)) {
                why_ = std::string(tool) + " is not installed";
                return;
            }
        }
        const std::string image = image_.string();
        if (!run_quietly("truncate -s 32M '" + image + "'") ||
            !run_quietly("printf 'label: dos\\nstart=2048, size=32768, type=6\\nstart=34816, type=83\\n' | sfdisk -q '" +
                         image + "'") ||
            !run_quietly("dd if='" + fat16.string() + "' of='" + image + "' bs=512 seek=2048 conv=notrunc")) {
            why_ = "cannot partition an image";
            return;
        }
        FILE* attach = ::popen(("losetup -fP --show '" + image + "' 2>/dev/null").c_str(), "r");
        char line[64] = {};
        if (attach && std::fgets(line, sizeof line, attach)) device_ = std::string(line, std::strcspn(line, "\n"));
        if (attach) ::pclose(attach);
        if (device_.empty()) {
            why_ = "no loop device available";
            return;
        }
        // Without udev the partitions may need announcing, and their nodes
        // a moment to appear.
        const std::string name = fs::path(device_).filename();
        if (!fs::exists("/sys/block/" + name + "/" + name + "p2")) run_quietly("partx -a '" + device_ + "'");
        for (int i = 0; i < 50 && !fs::exists(device_ + "p2"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fs::create_directories(mount_);
        if (!run_quietly("mke2fs -q '" + device_ + "p2'") ||
            !run_quietly("mount -t ext2 '" + device_ + "p2' '" + mount_.string() + "'")) {
            why_ = "cannot make or mount the partitions of " + device_;
            return;
        }
        mounted_ = true;
    }
    ~loop_disk() {
        if (mounted_) run_quietly("umount '" + mount_.string() + "'");
        if (!device_.empty()) run_quietly("partx -d '" + device_ + "'; losetup -d '" + device_ + "'");
    }
    bool ready() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& device() const { return device_; }
    const fs::path& mount() const { return mount_; }
    const fs::path& image() const { return image_; }

private:
    fs::path mount_, image_;
    std::string device_, why_;
    bool mounted_ = false;
};
#endif

TEST(RecoverSafety, RefusesAnOutputFolderOnTheDiskBeingRecovered) {
#ifdef _WIN32
    GTEST_SKIP() << "needs loop devices and a read-write mount";
#else
    REQUIRE_FIXTURE(fat16, "fat16.img");
    scratch_dir dir;
    const loop_disk disk(dir.path(), fat16);
    if (!disk.ready()) GTEST_SKIP() << disk.why();
    const std::string out = (disk.mount() / "out").string();
    // The whole disk, the partition itself, and the image file behind them.
    for (const std::string& source : {disk.device(), disk.device() + "p2", disk.image().string()}) {
        const cli_result result = run_cli({"recover", source, "-o", out});
        EXPECT_EQ(result.status, 2) << source << ": " << result.err;
        EXPECT_EQ(result.err_lines().size(), 1u) << result.err;
        EXPECT_NE(result.err.find("would write"), std::string::npos) << result.err;
        EXPECT_FALSE(fs::exists(out));
    }
    // Reading a disk that is mounted read-write is allowed, with a warning.
    const cli_result listed = run_cli({"ls", disk.device()});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.err.find("warning: " + disk.device() + "p2 at " + disk.mount().string() + " is mounted read-write"),
              std::string::npos)
        << listed.err;
    // Another partition of the same disk is another place.
    const cli_result sibling = run_cli({"recover", disk.device() + "p1", "-o", out});
    EXPECT_EQ(sibling.status, 0) << sibling.err;
    EXPECT_EQ(sibling.err.find("ostrel:"), std::string::npos) << sibling.err;
    EXPECT_TRUE(fs::exists(fs::path(out) / "0-fat16" / "README.TXT"));
#endif
}

TEST(RecoverSafety, LinksInsideTheOutputFolderAreNotFollowed) {
#ifdef _WIN32
    GTEST_SKIP() << "mingw's C++ runtime makes no symbolic links on Windows (nor does wine's CreateSymbolicLinkW)";
#endif
    REQUIRE_FIXTURE(image, "fat16.img");
    scratch_dir dir;
    const fs::path out = dir / "out", outside = dir / "outside";
    fs::create_directories(out / "0-fat16");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, out / "0-fat16" / "docs");
    fs::create_symlink(outside / "planted", out / "0-fat16" / "README.TXT");
    const cli_result result = run_cli({"recover", image.string(), "-o", out.string(), "--json"});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(fs::is_empty(outside));
    const std::vector<fields> reports = json_lines(result.out);
    EXPECT_EQ(item_at(reports, "/docs/notes.md")["result"], "failed");
    EXPECT_NE(item_at(reports, "/docs/notes.md")["reason"].find("symbolic link"), std::string::npos);
    EXPECT_EQ(item_at(reports, "/README.TXT")["result"], "skipped");
    EXPECT_TRUE(fs::exists(out / "0-fat16" / utf8_path("Café.txt")));
}

// ---- names from a hostile volume ---------------------------------------------

// UTF-16 of UTF-8 text (the test's names are all in the BMP).
std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : 2;
        char16_t unit = extra == 0 ? c : extra == 1 ? (c & 0x1F) : (c & 0x0F);
        for (size_t k = 1; k <= extra; ++k) unit = static_cast<char16_t>((unit << 6) | (text[i + k] & 0x3F));
        out += unit;
        i += 1 + extra;
    }
    return out;
}

// Gives live FAT entries other long names by rewriting their long-name
// entries in place (the checksum covers only the short name); returns how
// many were renamed.
size_t rename_long_names(std::vector<uint8_t>& image, const std::map<std::string, std::string>& renames) {
    static constexpr size_t char_offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    size_t renamed = 0;
    for (size_t at = 0; at + 32 <= image.size(); at += 32) {
        const uint8_t first = image[at];
        if (image[at + 11] != 0x0F || first == 0xE5 || !(first & 0x40)) continue;
        const size_t count = first & 0x1F;
        if (count == 0 || at + 32 * count > image.size()) continue;
        // The entries run from the last part of the name to the first.
        const auto unit = [&](size_t index) -> size_t {
            return at + 32 * (count - 1 - index / 13) + char_offsets[index % 13];
        };
        std::u16string name;
        for (size_t i = 0; i < 13 * count; ++i) {
            const char16_t c = static_cast<char16_t>(image[unit(i)] | image[unit(i) + 1] << 8);
            if (c == 0 || c == 0xFFFF) break;
            name += c;
        }
        for (const auto& [from, to] : renames) {
            const std::u16string old_name = utf16(from), new_name = utf16(to);
            if (name != old_name || new_name.size() > 13 * count) continue;
            for (size_t i = 0; i < 13 * count; ++i) {
                const char16_t c = i < new_name.size() ? new_name[i] : i == new_name.size() ? 0 : 0xFFFF;
                image[unit(i)] = static_cast<uint8_t>(c);
                image[unit(i) + 1] = static_cast<uint8_t>(c >> 8);
            }
            ++renamed;
        }
    }
    return renamed;
}

TEST(NameSafety, HostileNamesAreEscapedOnScreenAndEncodedOnDisk) {
    REQUIRE_FIXTURE(fixture, "fat16.img");
    const std::map<std::string, std::string> renames = {
        {"name with spaces.txt", "\x1b[31mred\nline.txt"},
        {"MixedCase.Txt", "a\\b.txt"},
        {"Café.txt", "x/y.txt"},
        {"archive.tar.gz.part1", "notes.txt.partial"},
        {"日本語.txt", ".."},
        {"Reports 2023", "\xe2\x80\xae" "evil"},  // U+202E turns what follows around on screen
    };
    std::vector<uint8_t> bytes = read_file(fixture);
    ASSERT_EQ(rename_long_names(bytes, renames), renames.size());
    scratch_dir dir;
    const fs::path image = dir / "hostile.img";
    write_file(image, bytes);

    // On screen: escaped, one line per item, and typed back as shown.
    const cli_result human = run_cli({"ls", image.string()});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_EQ(human.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(human.out.find("\xe2\x80\xae"), std::string::npos);
    for (const char* shown : {"/\\x1b[31mred\\x0aline.txt", "/a\\\\b.txt", "/x\\x2fy.txt", "/docs/\\u202eevil/Q1/"}) {
        EXPECT_NE(human.out.find(shown), std::string::npos) << shown;
    }
    for (const std::string& line : human.out_lines()) EXPECT_FALSE(line.starts_with("line.txt")) << line;
    const cli_result typed = run_cli({"ls", image.string(), "--path", "/\\x1b[31mred\\x0aline.txt", "--json"});
    EXPECT_EQ(typed.status, 0) << typed.err;
    EXPECT_EQ(item_at(json_lines(typed.out), "/\x1b[31mred\nline.txt")["name"], "\x1b[31mred\nline.txt");

    // On disk: every file inside the output folder, under a name that
    // decodes to its name on the volume, with its bytes.
    const fs::path out = dir / "out";
    const cli_result saved = run_cli({"recover", image.string(), "-o", out.string()});
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    const auto expected = identical_files("fat16.manifest.tsv");
    const std::map<std::string, std::string> encoded = {
        {"name with spaces.txt", "%1B[31mred%0Aline.txt"}, {"MixedCase.Txt", "a%5Cb.txt"},
        {"Café.txt", "x%2Fy.txt"}, {"archive.tar.gz.part1", "notes.txt%2Epartial"},
        {"日本語.txt", "%2E%2E"}, {"docs/Reports 2023/Q1/summary.v1.final.txt", "docs/\xe2\x80\xae" "evil/Q1/summary.v1.final.txt"},
    };
    for (const auto& [original, name] : encoded) {
        const fs::path file = out / "0-fat16" / utf8_path(name);
        ASSERT_TRUE(fs::exists(file)) << name;
        EXPECT_EQ(file_sha256(file), expected.at(original).at("sha256")) << name;
        const std::string base = utf8_text(utf8_path(original).filename());
        if (renames.count(base)) {
            EXPECT_EQ(cli::decode_name(utf8_text(utf8_path(name).filename())), renames.at(base));
        }
    }
}

}  // namespace
}  // namespace ostrel::test

#endif  // OSTREL_CLI
