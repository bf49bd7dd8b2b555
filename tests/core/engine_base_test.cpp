// The engine base: full paths, tree searches, saving and extent texts, the
// scan frame, and the occupied-space map.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "carve/deep_scan_engine.h"
#include "core/save.h"
#include "core/scan_frame.h"
#include "exfat/exfat_recover.h"
#include "core/sector_bitmap.h"
#include "engine/session.h"
#include "ostrel/ostrel.h"
#include "platform/wide_text.h"
#include "tests/support/fake_engine.h"
#include "tests/support/files.h"
#include "tests/support/nodes.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::counting_stop_token;
using test::add_file;
using test::add_folder;
using test::fake_engine;
using test::folder_named;
using test::recording_host;

// A device image of 64 KiB of known bytes, and an engine over it.
class EngineOnImage : public ::testing::Test {
protected:
    void SetUp() override {
        device_bytes = test::pattern_bytes(64 * 1024, 7);
        test::write_file(dir / "device.img", device_bytes);
        device = std::make_unique<test::open_file>(dir / "device.img");
        engine = std::make_unique<fake_engine>(device->fd(), 4096);
        engine->d_recovery = engine->d_scan;
    }
    std::u16string destination(const std::string& name) { return platform::utf8_to_utf16((dir / name).string()); }

    recording_host host;
    test::scratch_dir dir;
    std::vector<uint8_t> device_bytes;
    std::unique_ptr<test::open_file> device;
    std::unique_ptr<fake_engine> engine;
};

TEST_F(EngineOnImage, FullPathJoinsFolderNamesAndHonoursTheBufferSize) {
    auto root = folder_named(u"");
    auto file = add_file(add_folder(root, u"docs"), u"a.txt");
    const std::u16string expected = u"\\docs\\a.txt";
    char16_t buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    const auto needed = static_cast<uint32_t>(expected.size() + 1);
    // One character short: nothing written, the needed length returned.
    EXPECT_EQ(engine->full_path(*file, buffer, needed - 1), static_cast<int32_t>(needed));
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(engine->full_path(*file, buffer, needed), static_cast<int32_t>(needed));
    EXPECT_EQ(std::u16string(buffer), expected);
}

TEST_F(EngineOnImage, FullPathStartsFromAFormerPathInTheIndex) {
    auto root = folder_named(u"");
    auto bin = add_folder(root, u"$RECYCLE.BIN");
    auto recycled_folder = add_folder(bin, u"Project");
    auto inner = add_file(recycled_folder, u"notes.txt");
    auto recycled_file = add_file(bin, u"report.docx");
    engine->former_paths.insert(recycled_folder->handle(), std::make_shared<std::u16string>(u"C:\\Users\\x\\Project"));
    engine->former_paths.insert(recycled_file->handle(), std::make_shared<std::u16string>(u"C:\\r.docx"));
    char16_t buffer[64];
    EXPECT_EQ(engine->full_path(*inner, buffer, 64), 29);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Users\\x\\Project\\notes.txt");
    // The node's own entry is returned whole; too small a buffer gets nothing.
    char16_t small[4] = {u'#'};
    EXPECT_EQ(engine->full_path(*recycled_file, small, 4), 10);
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(engine->full_path(*recycled_file, buffer, 64), 10);
    EXPECT_EQ(std::u16string(buffer), u"C:\\r.docx");
}

TEST_F(EngineOnImage, FormerPathIndexSurvivesConcurrentReadersAndWriters) {
    auto root = folder_named(u"");
    auto file = add_file(root, u"x");
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            engine->former_paths.insert(file->handle() + i, std::make_shared<std::u16string>(u"C:\\x"));
        }
    });
    char16_t buffer[64];
    for (int i = 0; i < 2000; ++i) engine->full_path(*file, buffer, 64);
    writer.join();
    EXPECT_EQ(engine->former_paths.size(), 2000u);
}

TEST_F(EngineOnImage, FindsNodesByPredicateAndByName) {
    auto root = folder_named(u"");
    auto deep = add_file(add_folder(root, u"a"), u"Deep.TXT", 9);
    add_file(root, u"top.txt", 3);
    std::shared_ptr<tree_node> found;
    EXPECT_TRUE(engine->find_node_by_name(found, root, u"deep.txt", true));
    EXPECT_EQ(found, deep);
    EXPECT_FALSE(engine->find_node_by_name(found, root, u"deep.txt", false));
    auto size_is_nine = [](const tagFolderInfo*, const tagFileInfo* f, void*) { return f && f->size == 9; };
    found.reset();
    EXPECT_TRUE(engine->find_node_if(size_is_nine, nullptr, root, found, true));
    EXPECT_EQ(found, deep);
    EXPECT_FALSE(engine->find_node_if(size_is_nine, nullptr, root, found, false));
}

// The device's bytes from `offset` on, `length` of them.
std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return {bytes.begin() + offset, bytes.begin() + offset + length};
}

TEST_F(EngineOnImage, SavesItsRunsUpToTheFileSizeAndNoFurther) {
    auto root = folder_named(u"");
    std::vector<uint8_t> in_two_runs = slice(device_bytes, 2 * 4096, 4096);
    const auto tail = slice(device_bytes, 9 * 4096, 904);
    in_two_runs.insert(in_two_runs.end(), tail.begin(), tail.end());
    const struct {
        const char* what;
        uint64_t size;
        run_list runs;
        bool saved;
        std::vector<uint8_t> bytes;
        const char* extents;  // null: not checked
    } cases[] = {
        {"stops inside the last cluster", 5000, {{2, 1}, {9, 1}}, true, in_two_runs,
         R"([{"o":8192, "l":4096},{"o":36864, "l":904}])"},
        {"the last run stretches to the size", 10000, {{3, 1}}, true, slice(device_bytes, 3 * 4096, 10000),
         R"([{"o":12288, "l":10000}])"},
        {"a chain longer than the file", 1000, {{1, 1}, {2, 1}}, true, slice(device_bytes, 4096, 1000), nullptr},
        {"a run past the device keeps what it got", 8192, {{15, 1}}, false, slice(device_bytes, 15 * 4096, 4096),
         R"([{"o":61440, "l":8192}])"},
        {"an empty file", 0, {}, true, {}, "[]"},
    };
    int n = 0;
    for (const auto& c : cases) {
        auto file = add_file(root, u"f", c.size, c.runs);
        const std::string name = "f" + std::to_string(n++);
        int32_t error = -1;
        EXPECT_EQ(engine->save(file, destination(name).c_str(), error), c.saved) << c.what;
        if (c.saved) {
            EXPECT_EQ(error, 0) << c.what;
        }
        EXPECT_EQ(test::read_file(dir / name), c.bytes) << c.what;
        if (c.extents) {
            EXPECT_EQ(engine->extent_text(file), c.extents) << c.what;
        }
    }
    // A destination that exists is never overwritten.
    int32_t error = 0;
    EXPECT_FALSE(engine->save(add_file(root, u"e", 0), destination("f0").c_str(), error));
    EXPECT_EQ(error, 17);
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_DESTINATION_EXISTS});
    EXPECT_EQ(test::read_file(dir / "f0"), in_two_runs);

    // A stopped copy keeps the part it wrote.
    counting_stop_token stop(1);  // stops at the copy's first poll
    engine->save_token = &stop;
    EXPECT_FALSE(engine->save(add_file(root, u"big", 3 * 4096, {{1, 3}}), destination("p").c_str(), error));
    EXPECT_TRUE(std::filesystem::exists(dir / "p"));
}

TEST(SaveLogging, TheExfatEngineLogsTheDestinationsErrorNumber) {
    const auto image = test::fixture_image("exfat.img");
    if (image.empty()) GTEST_SKIP() << "fixture missing";
    recording_host host;
    test::scratch_dir dir;
    test::open_file device(image);
    auto boot = std::make_shared<_boot_sector>();
    ASSERT_TRUE(read_sector_at(device.fd(), boot->bytes.data(), 0));
    exfat_recover engine(device.fd(), boot, 0, false);
    auto empty = std::make_shared<plain_file_info>();
    const std::u16string destination = platform::utf8_to_utf16((dir / "e").string());
    int32_t error = 0;
    host.log_lines.clear();
    EXPECT_TRUE(engine.save(empty, destination.c_str(), error));
    EXPECT_FALSE(engine.save(empty, destination.c_str(), error));
    EXPECT_EQ(host.log_lines, (std::vector<std::string>{"[recovery]\t创建本地文件err值：0",
                                                        "[recovery]\t创建本地文件err值：17"}));
}

TEST(SaveBuffers, SmallFilesGetTheirSectorsPlusOne) {
    // {cluster size, file size, buffer}: huge clusters (or a damaged boot
    // sector) read in 32 MiB pieces.
    const std::tuple<uint32_t, uint64_t, uint64_t> cases[] = {
        {4096, 1024, 1536}, {4096, 1000, 1024}, {4096, 1, 512}, {4096, 64 * 4096, 64 * 4096},
        {4096, 1 << 30, 64 * 4096}, {32u << 20, 1ull << 31, 32u << 20}, {1u << 30, (32u << 20) - 1, 32u << 20}};
    for (const auto& [cluster, size, buffer] : cases) EXPECT_EQ(save_runs_buffer_size(cluster, size), buffer) << size;
    EXPECT_EQ(copy_buffer_size(1000, 10 << 20), 1024u);
    EXPECT_EQ(copy_buffer_size(1024, 10 << 20), 1024u);
    EXPECT_EQ(copy_buffer_size(20 << 20, 10 << 20), 10u << 20);
}

TEST_F(EngineOnImage, CarvedRangesSaveThroughTheDeepScanEngine) {
    auto root = folder_named(u"");
    auto carved = add_file(root, u"2000.jpg", 3000, {{2000, 3000}});
    carved->source_kind = 4;
    int32_t error = 0;
    EXPECT_FALSE(engine->save(carved, destination("c").c_str(), error));  // no sweep ran
    EXPECT_EQ(engine->extent_text(carved), "");
    engine->deep_scan_engine = std::make_shared<ostrel::deep_scan_engine>(*engine);
    ASSERT_TRUE(engine->save(carved, destination("c").c_str(), error));
    EXPECT_EQ(test::read_file(dir / "c"),
              std::vector<uint8_t>(device_bytes.begin() + 2000, device_bytes.begin() + 5000));
    EXPECT_EQ(engine->extent_text(carved), R"([{"o":2000, "l":3000}])");
}

TEST_F(EngineOnImage, ReadsAFileIntoMemory) {
    auto root = folder_named(u"");
    auto file = add_file(root, u"m", 700, {{4, 1}});
    write_buffer_info buffer;
    ASSERT_TRUE(engine->read_to_memory(engine->d_scan, *file, buffer));
    EXPECT_EQ(buffer.bytes, std::vector<uint8_t>(device_bytes.begin() + 4 * 4096, device_bytes.begin() + 4 * 4096 + 700));
    auto empty = add_file(root, u"z");
    EXPECT_FALSE(engine->read_to_memory(engine->d_scan, *empty, buffer));
}

TEST_F(EngineOnImage, CloseLogsAndZeroesTheDescriptors) {
    engine->close();
    EXPECT_EQ(engine->d_scan, 0);
    EXPECT_EQ(engine->d_recovery, 0);
    engine.reset();
    EXPECT_EQ(std::count(host.log_lines.begin(), host.log_lines.end(), "[recovery]\tclose\n"), 2);
}

TEST(ScanFrame, SplitsPathsOnBothSeparators) {
    EXPECT_EQ(split_path(u"a\\b/c"), (std::vector<std::u16string>{u"a", u"b", u"c"}));
    EXPECT_EQ(split_path(u"\\"), std::vector<std::u16string>{});
    EXPECT_EQ(split_path(u"a\\"), std::vector<std::u16string>{u"a"});
    EXPECT_EQ(split_path(u"C:\\\\x\\", true), (std::vector<std::u16string>{u"C:", u"", u"x"}));
    EXPECT_EQ(split_path(u""), std::vector<std::u16string>{});
}

class ScanFrameEvents : public EngineOnImage {
protected:
    std::vector<int32_t> scan_events(const char16_t* path) {
        host.clear();
        std::shared_ptr<tagFolderInfo> root;
        result = engine->scan(root, path);
        return host.event_codes();
    }
    bool result = false;
};

TEST_F(ScanFrameEvents, DeepScanGateFollowsTheHostsAnswer) {
    counting_stop_token token;
    engine->stop_token = &token;
    engine->deep_scan = false;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(host.deep_scan_questions, 0);

    engine->deep_scan = true;
    host.deep_scan_answer = 1;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2, 3, 6}));
    EXPECT_EQ(engine->deep_scans, 1);

    host.deep_scan_answer = 0;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2}));
    EXPECT_TRUE(result);

    host.deep_scan_answer = 2;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(token.declined_calls, 1);

    // A host without the slot always gets its deep scan.
    host.table.continue_deep_scan = nullptr;
    const int asked = host.deep_scan_questions;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2, 3, 6}));
    EXPECT_EQ(host.deep_scan_questions, asked);
}

TEST_F(ScanFrameEvents, ScansThatEndEarlySayWhyAndAskNothing) {
    // A start path without components.
    EXPECT_EQ(scan_events(u"\\"), (std::vector<int32_t>{0, 1}));
    EXPECT_FALSE(result);
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_EMPTY_START_PATH});
    // A sweep that cannot start.
    engine->deep_scan = true;
    engine->deep_scan_available = false;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0, 2, 3, 5, 6}));
    EXPECT_EQ(host.statuses, std::vector<int32_t>{OSTREL_STATUS_OBJECT_NOT_CREATED});
    // A stopped scan is not asked about the deep scan.
    counting_stop_token token(0);
    engine->stop_token = &token;
    const int asked = host.deep_scan_questions;
    EXPECT_EQ(scan_events(nullptr), (std::vector<int32_t>{0}));
    EXPECT_TRUE(result);
    EXPECT_EQ(host.deep_scan_questions, asked);
    EXPECT_EQ(deep_scan_allowed(*engine), 0);
}

TEST_F(ScanFrameEvents, AnEngineWithoutItsScanDescriptorEmitsNothing) {
    host.clear();
    fake_engine broken(-1, 4096);
    std::shared_ptr<tagFolderInfo> root;
    EXPECT_FALSE(broken.scan(root, nullptr));
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.logged("dup file err, orign file:-1\n"));
}

TEST(SectorBitmap, MarksTestsAndIgnoresUnitsBeyondTheMap) {
    sector_bitmap bits(20, 1000, 4096, 512, 4, nullptr);
    EXPECT_EQ(bits.mapped_units(), 20u);
    bits.mark(19);
    bits.mark(24);  // beyond the map
    bits.mark(1ull << 40);
    EXPECT_TRUE(bits.test(19));
    EXPECT_FALSE(bits.test(24));
    EXPECT_FALSE(bits.test(1ull << 40));
    // Cluster 1 starts at 1000 + 4096: unit 8.
    bits.mark(8);
    EXPECT_TRUE(bits.test_cluster(1));
    EXPECT_FALSE(bits.test_cluster(2));
}

TEST(SectorBitmap, MarkRunsStopsAtTheByteLimitAndSkipsSparseNtfsRuns) {
    sector_bitmap bits(64, 0, 2048, 512, 4, nullptr);
    bits.mark_runs({{0, 4}, {2, 1}, {5, 2}}, 2048 + 1024);
    // Run (0,4) is sparse on NTFS; (2,1) marks units 8-11; (5,2) only 20-21.
    for (uint64_t u = 0; u < 8; ++u) EXPECT_FALSE(bits.test(u)) << u;
    for (uint64_t u = 8; u < 12; ++u) EXPECT_TRUE(bits.test(u)) << u;
    EXPECT_TRUE(bits.test(20));
    EXPECT_TRUE(bits.test(21));
    EXPECT_FALSE(bits.test(22));
    sector_bitmap none(64, 0, 2048, 512, 3, nullptr);
    none.mark_runs({{1, 1}}, 0);
    EXPECT_FALSE(none.test(4));
    // Hostile counts neither wrap nor run past the map.
    none.mark_runs({{1, UINT64_MAX}}, INT64_MAX);
    EXPECT_TRUE(none.test(63));
}

TEST(SectorBitmap, ChunksOfATerabyteVolumeAreMarkedAndSearchedAcrossTheirEdges) {
    // 4 TB of 512-byte sectors: only what is marked takes memory.
    const uint64_t chunk = sector_bitmap::chunk_units;
    sector_bitmap bits(uint64_t{8} << 30, 0, 4096, 512, 4, nullptr);
    EXPECT_EQ(bits.next_unit(0, true), UINT64_MAX);
    EXPECT_EQ(bits.next_unit(12345, false), 12345u);
    // A run across the edge of chunks 1 and 2, then one covering chunks 3-4
    // whole and 5 up to its middle (the limit ends inside a cluster).
    bits.mark_runs({{(2 * chunk - 16) / 8, 4}, {3 * chunk / 8, 2 * chunk / 8 + 1}}, INT64_MAX);
    bits.mark_runs({{6 * chunk / 8, chunk}}, 1000);
    EXPECT_FALSE(bits.test(2 * chunk - 17));
    EXPECT_TRUE(bits.test(2 * chunk - 16));
    EXPECT_TRUE(bits.test(2 * chunk + 15));
    EXPECT_FALSE(bits.test(2 * chunk + 16));
    EXPECT_EQ(bits.next_unit(0, true), 2 * chunk - 16);
    EXPECT_EQ(bits.next_unit(2 * chunk - 16, false), 2 * chunk + 16);
    EXPECT_EQ(bits.next_unit(2 * chunk + 16, true), 3 * chunk);
    EXPECT_EQ(bits.next_unit(3 * chunk, false), 5 * chunk + 8);
    EXPECT_EQ(bits.next_unit(5 * chunk + 8, true), 6 * chunk);
    EXPECT_EQ(bits.next_unit(6 * chunk, false), 6 * chunk + 2);  // 1000 bytes: two units
    bits.mark((uint64_t{8} << 30) - 1);
    EXPECT_EQ(bits.next_unit(6 * chunk + 2, true), (uint64_t{8} << 30) - 1);
    EXPECT_EQ(bits.next_unit(uint64_t{8} << 30, false), uint64_t{8} << 30);  // past the map: free
}

}  // namespace
}  // namespace ostrel
