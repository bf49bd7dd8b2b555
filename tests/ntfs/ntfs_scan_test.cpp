// The NTFS scan: run lists, the tree built from records met in any order,
// damaged and hostile records, and saving through runs and records.
#include <gtest/gtest.h>

#include <map>

#include "core/node.h"
#include "ntfs/ntfs_recover.h"
#include "ntfs/run_list.h"
#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/ntfs/ntfs_test_images.h"
#include "tests/support/files.h"
#include "tests/support/scanned_volume.h"

namespace ostrel {
namespace {

using test::mft_record;
using test::named_file;
using test::named_record;
using test::ntfs_test_volume;
using test::put;
using test::text_bytes;

// An attribute header holding `runs` at 0x40, with the three sizes given.
std::vector<uint8_t> non_resident(const std::vector<uint8_t>& runs, int64_t allocated, int64_t data,
                                  int64_t initialized) {
    std::vector<uint8_t> attribute(0x40 + runs.size(), 0);
    put(attribute, 0x20, 0x40, 2);
    put(attribute, 0x28, uint64_t(allocated), 8);
    put(attribute, 0x30, uint64_t(data), 8);
    put(attribute, 0x38, uint64_t(initialized), 8);
    std::copy(runs.begin(), runs.end(), attribute.begin() + 0x40);
    return attribute;
}

TEST(RunList, DecodesRealRunsAndStopsWhereTheListStopsMakingSense) {
    auto decode = [](std::vector<uint8_t> runs, uint64_t size = 1 << 30, uint64_t total = 1 << 20) {
        return decode_runs(byte_view(runs.data(), runs.size()), size, 4096, total);
    };
    // 0x20 clusters at 0x1000, 0x10 sparse, 8 at 0x1000 - 0x20 (a negative step).
    EXPECT_EQ(decode({0x21, 0x20, 0x00, 0x10, 0x01, 0x10, 0x11, 0x08, 0xE0, 0x00}),
              (run_list{{0x1000, 0x20}, {0, 0x10}, {0xFE0, 8}}));
    EXPECT_TRUE(decode({0x00, 0x11, 0x01, 0x01}).empty());
    EXPECT_TRUE(decode({0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}).empty());  // offset width 9
    EXPECT_EQ(decode({0x11, 0x01, 0x10, 0x11, 0x01, 0xE0}), (run_list{{0x10, 1}}));  // start goes negative
    EXPECT_EQ(decode({0x11, 0x01, 0x10, 0x21, 0x01, 0x00, 0x10}, 1 << 30, 0x1000), (run_list{{0x10, 1}}));
    EXPECT_EQ(decode({0x11, 0x02, 0x10, 0x11, 0x02, 0x20}, 8192), (run_list{{0x10, 2}}));  // size covered
    EXPECT_EQ(decode({0x11, 0x02, 0x10, 0x32, 0x02}), (run_list{{0x10, 2}}));  // fields past the bytes
    EXPECT_EQ(decode({0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), run_list{});  // negative length
    EXPECT_TRUE(decode({0x11, 0x01, 0x10}, 4096, 0).empty());
}

TEST(RunList, SizesFollowTheDataSizeUnlessItIsImplausible) {
    auto size = [](int64_t a, int64_t d, int64_t i) {
        const auto attribute = non_resident({}, a, d, i);
        return attribute_data_size(byte_view(attribute.data(), attribute.size()));
    };
    EXPECT_EQ(size(8192, 5000, 5000), 5000u);
    EXPECT_EQ(size(8192, 0, 0), 8192u);
    EXPECT_EQ(size(4096, 9000, 3000), 3000u);  // data beyond the allocation
    EXPECT_EQ(size(4096, -1, 100), 100u);
    EXPECT_EQ(size(4096, -1, -1), 0u);
}

class NtfsScan : public ::testing::Test, protected test::scanned_volume {
protected:
    bool scan(const ntfs_test_volume& volume, const char16_t* path = nullptr) {
        test::write_file(out / "volume.img", volume.image);
        const test::open_file file(out / "volume.img");
        engine = std::make_unique<ntfs_recover>(file.fd(), std::make_shared<const _boot_sector>(volume.boot), 0, false);
        engine->d_recovery = platform::duplicate(engine->d_scan);
        engine->d_preview = platform::duplicate(engine->d_scan);
        engine->stop_token = &token;
        scanned = engine.get();
        return scanned_volume::scan(path);
    }
    // What saving the file at `path` gives: its bytes, after "failed:" when
    // the save fails.
    std::string saved(const std::string& path) {
        std::vector<uint8_t> bytes;
        const bool ok = save(node_at(path), bytes);
        return (ok ? "" : "failed:") + std::string(bytes.begin(), bytes.end());
    }
    int items_named(const std::string& name) const { return static_cast<int>(host.items_named(name).size()); }

    std::unique_ptr<ntfs_recover> engine;
};

TEST_F(NtfsScan, AttachesRecordsMetInAnyOrderAndHidesTheVolumesOwnFiles) {
    ntfs_test_volume volume;
    // A file met before its folder; the folder's own folder comes last.
    volume.put_record(40, named_file(u"early.txt", 41, "early data"));
    volume.put_record(41, named_record(u"inner", 42, true).end());
    volume.put_record(42, named_record(u"docs", 5, true).end());
    mft_record dos_and_long;  // the DOS alias comes first, as Windows writes it
    dos_and_long.header(1, 2).standard_information();
    dos_and_long.add_file_name(u"LONGNA~1.TXT", 42, 2);
    dos_and_long.add_file_name(u"Long name.txt", 42, 1);
    dos_and_long.add(0x80, text_bytes("long"));
    volume.put_record(43, dos_and_long.end());
    volume.put_record(44, named_record(u"empty.txt", 5).end());  // size 0: attached at the finish
    volume.put_record(20, named_file(u"$Secret", 5, "x"));
    volume.put_record(45, named_record(u"under $Extend", 11, true).end());
    volume.put_record(46, named_record(u".", 5, true).end());

    ASSERT_TRUE(scan(volume));
    EXPECT_EQ(host.event_codes(), (std::vector<int32_t>{0}));  // no deep scan asked for: no other event
    EXPECT_EQ(saved("\\docs\\inner\\early.txt"), "early data");
    EXPECT_EQ(saved("\\docs\\Long name.txt"), "long");
    EXPECT_EQ(items_named("LONGNA~1.TXT"), 0);
    EXPECT_NE(node_at("\\empty.txt"), nullptr);
    EXPECT_EQ(items_named("$Secret") + items_named("under $Extend") + items_named("."), 0);
    // Each item reaches the host once, parents first.
    EXPECT_EQ(items_named("early.txt"), 1);
    EXPECT_EQ(items_named("docs"), 1);
}

TEST_F(NtfsScan, DeletedStateFollowsTheRecordAndTheFolder) {
    ntfs_test_volume volume;
    volume.put_record(40, named_record(u"live folder", 5, true).end());
    volume.put_record(41, named_record(u"gone folder", 5, true, true).end());
    volume.put_record(42, named_file(u"deleted.txt", 40, "d", true));
    volume.put_record(43, named_file(u"live.txt", 41, "l"));
    ASSERT_TRUE(scan(volume));
    EXPECT_FALSE(node_at("\\live folder")->deleted);
    EXPECT_TRUE(node_at("\\live folder\\deleted.txt")->deleted);
    EXPECT_TRUE(node_at("\\gone folder")->deleted);
    EXPECT_TRUE(node_at("\\gone folder\\live.txt")->deleted);
}

TEST_F(NtfsScan, FoldersWhoseParentIsGoneBecomeLostSubtreesReportedOnce) {
    ntfs_test_volume volume;
    volume.put_record(40, named_record(u"orphan", 63, true).end());  // record 63 is empty
    volume.put_record(41, named_file(u"inside.txt", 40, "in"));
    // Two folders that name each other as parent: a loop.
    volume.put_record(42, named_record(u"loop a", 43, true).end());
    volume.put_record(43, named_record(u"loop b", 42, true).end());
    volume.put_record(44, named_file(u"stray.txt", 62, "s"));
    ASSERT_TRUE(scan(volume));
    for (const char* name : {"orphan", "inside.txt", "loop a", "loop b", "stray.txt"}) {
        EXPECT_EQ(items_named(name), 1) << name;
        EXPECT_EQ(host.items_named(name).front()->group, uint32_t{OSTREL_GROUP_LOST}) << name;
    }
    EXPECT_EQ(saved("orphan\\inside.txt"), "in");
}

TEST_F(NtfsScan, DamagedRecordsAreReadAsFarAsTheyMakeSense) {
    ntfs_test_volume volume;
    // A torn record: sector ends that do not match the update sequence.
    volume.put_record(40, named_file(u"torn.txt", 5, "torn"));
    put(volume.image, 4 * 4096 + 40 * 1024 + 0x1FE, 0xBEEF, 2);
    // An attribute whose length runs past the record: the walk recomputes
    // where it ends and still finds the $DATA behind it.
    auto long_length = named_record(u"repaired.txt", 5);
    const size_t name_at = 0x38 + 0x60;
    long_length.add(0x80, text_bytes("repaired"));
    auto bytes = long_length.end();
    put(bytes, name_at + 4, 0x7000, 4);
    volume.put_record(41, bytes);
    // Runs that leave the volume: what lies inside is saved, and the save
    // says the file is incomplete.
    auto outside = named_record(u"outside.bin", 5);
    outside.add_non_resident(0x80, {0x11, 0x01, 0x30, 0x31, 0x01, 0x00, 0x00, 0x01, 0x00}, 8192);
    volume.put_record(42, outside.end());
    volume.put_data(0x30, std::vector<uint8_t>(4096, 'A'));
    // Not a record at all, and a record whose first attribute is not one a
    // record starts with.
    volume.put_record(43, std::vector<uint8_t>(1024, 0x5A));
    auto odd = named_record(u"odd.txt", 5);
    put(odd.bytes, 0x38, 0xB0, 4);
    volume.put_record(44, odd.end());

    ASSERT_TRUE(scan(volume));
    EXPECT_EQ(saved("\\torn.txt"), "torn");
    EXPECT_EQ(saved("\\repaired.txt"), "repaired");
    EXPECT_TRUE(saved("\\outside.bin") == "failed:" + std::string(4096, 'A'));
    EXPECT_EQ(items_named("odd.txt"), 0);
}

TEST_F(NtfsScan, FilesSpreadOverRecordsComeBackWholeWhateverTheOrder) {
    ntfs_test_volume volume;
    // Record 50's data lives in extension record 48, met first; its list
    // also names record 50 itself, which must not loop.
    mft_record extension;
    extension.header(1, 0, 50);
    extension.add_non_resident(0x80, {0x11, 0x02, 0x40, 0x00}, 6000);
    volume.put_record(48, extension.end());
    volume.put_data(0x40, std::vector<uint8_t>(8192, 'E'));
    auto base = named_record(u"spread.bin", 5);
    std::vector<uint8_t> list(64, 0);
    for (size_t i = 0; i < 2; ++i) {
        put(list, i * 32 + 0x00, i ? 0x80 : 0x30, 4);
        put(list, i * 32 + 0x04, 32, 2);
        put(list, i * 32 + 0x10, i ? 48 : 50, 6);
    }
    base.add(0x20, list);
    volume.put_record(50, base.end());
    // Three hard links in three folders: three nodes of one record.
    volume.put_record(51, named_record(u"a", 5, true).end());
    volume.put_record(52, named_record(u"b", 5, true).end());
    mft_record links;
    links.header(1, 3).standard_information();
    links.add_file_name(u"one.txt", 5);
    links.add_file_name(u"two.txt", 51);
    links.add_file_name(u"three.txt", 52);
    links.add(0x80, text_bytes("linked"));
    volume.put_record(53, links.end());

    ASSERT_TRUE(scan(volume));
    EXPECT_EQ(saved("\\spread.bin"), std::string(6000, 'E'));
    EXPECT_EQ(saved("\\one.txt"), "linked");
    EXPECT_EQ(saved("\\a\\two.txt"), "linked");
    EXPECT_EQ(saved("\\b\\three.txt"), "linked");
    EXPECT_EQ(engine->extent_text(std::static_pointer_cast<tagFileInfo>(
                  borrow_node(const_cast<tree_node*>(node_at("\\spread.bin"))))),
              "[{\"o\":262144, \"l\":6000}]");
}

TEST_F(NtfsScan, AnMftInMoreFragmentsThanRecordZeroHoldsIsReadWhole) {
    // Record 0 maps records 0-31 (clusters 4-11) and lists extension record
    // 16, whose piece maps records 32-63 to clusters 100-107. Record 17 is
    // listed too but belongs to another file; record 70 lies beyond the MFT.
    ntfs_test_volume volume;
    mft_record mft;
    mft.header(1).standard_information();
    std::vector<uint8_t> list(4 * 32, 0);
    const uint64_t listed[] = {0, 16, 17, 70};
    for (size_t i = 0; i < 4; ++i) {
        put(list, i * 32, 0x80, 4);
        put(list, i * 32 + 0x04, 32, 2);
        put(list, i * 32 + 0x10, listed[i], 6);
    }
    mft.add(0x20, list);
    mft.add_file_name(u"$MFT");
    mft.add_non_resident(0x80, {0x11, 0x08, 0x04, 0x00}, 64 * 1024);
    volume.put_record(0, mft.end());
    for (uint64_t number : {16, 17}) {
        mft_record extension;
        // $MFT's extension records name record 0 with its sequence number 1.
        extension.header(1, 0, number == 16 ? 1ull << 48 : 40);
        const size_t piece = extension.add_non_resident(0x80, {0x11, 0x08, uint8_t(number == 16 ? 100 : 112), 0}, 0, 8);
        put(extension.bytes, piece + 0x18, 15, 8);  // last virtual cluster
        volume.put_record(number, extension.end());
    }
    volume.put_record(40, named_file(u"far.txt", 5, "past the first fragment"), 102 * 4096);

    ASSERT_TRUE(scan(volume));
    EXPECT_EQ(engine->mft_runs, (run_list{{4, 8}, {100, 8}}));
    EXPECT_EQ(saved("\\far.txt"), "past the first fragment");
}

TEST_F(NtfsScan, ResidentDataIsDescribedWithItsRecordAndUpdateSequence) {
    ntfs_test_volume volume;
    auto small = named_record(u"small.txt", 5);
    const size_t data_at = small.add(0x80, text_bytes("resident"));
    volume.put_record(40, small.end());
    ASSERT_TRUE(scan(volume));
    const uint64_t record = 4 * 4096 + 40 * 1024;
    auto* file = dynamic_cast<tagNtfsFileInfoEx*>(const_cast<tree_node*>(node_at("\\small.txt")));
    ASSERT_NE(file, nullptr);
    const std::string expected = "[{\"o\":" + std::to_string(record + data_at + 0x18) +
                                 ", \"l\":8, \"s\":" + std::to_string(record) + ", \"u\":50}]";
    EXPECT_EQ(engine->extent_text(std::static_pointer_cast<tagFileInfo>(borrow_node(file))), expected);
    // Without what the scan noted, the record is read again: the same text.
    file->resident_value_offset = 0;
    EXPECT_EQ(engine->extent_text(std::static_pointer_cast<tagFileInfo>(borrow_node(file))), expected);
}

TEST_F(NtfsScan, StartPathsAreFoundThroughTheIndexAndAdmitOnlyTheirSubtree) {
    ntfs_test_volume volume;
    // The root's index holds "Docs" (a folder) and "notes" (a file).
    auto root_record = named_record(u".", 5, true);
    std::vector<uint8_t> index(0x10 + 0x10 + 2 * 0x68 + 0x10, 0);
    put(index, 0x00, 0x30, 4);
    put(index, 0x10, 0x10, 4);
    put(index, 0x14, index.size() - 0x10, 4);
    auto entry = [&](size_t at, uint64_t number, const std::u16string& name, bool folder) {
        put(index, at, number, 8);
        put(index, at + 8, 0x68, 2);
        put(index, at + 0x48, folder ? 0x10000000 : 0x20, 4);
        index[at + 0x50] = uint8_t(name.size());
        index[at + 0x51] = 1;
        for (size_t i = 0; i < name.size(); ++i) put(index, at + 0x52 + 2 * i, name[i], 2);
    };
    entry(0x20, 40, u"Docs", true);
    entry(0x88, 42, u"notes", false);
    root_record.add(0x90, index);
    volume.put_record(5, root_record.end());
    volume.put_record(40, named_record(u"Docs", 5, true).end());
    volume.put_record(41, named_file(u"in docs.txt", 40, "x"));
    volume.put_record(42, named_file(u"notes", 5, "y"));

    ASSERT_TRUE(scan(volume, u"C:\\docs"));
    EXPECT_TRUE(host.logged("add white:0x28"));
    EXPECT_NE(node_at("\\Docs\\in docs.txt"), nullptr);
    EXPECT_EQ(items_named("notes"), 0);
    char16_t buffer[64];
    ASSERT_GT(engine->full_path(*node_at("\\Docs\\in docs.txt"), buffer, 64), 0);
    EXPECT_EQ(platform::utf16_to_utf8(buffer), "C:\\Docs\\in docs.txt");

    EXPECT_FALSE(scan(volume, u"C:\\notes"));  // a file is not a folder
    EXPECT_EQ(host.statuses, (std::vector<int32_t>{OSTREL_STATUS_START_PATH_NOT_FOUND}));
    EXPECT_FALSE(scan(volume, u"\\"));
    EXPECT_EQ(host.statuses, (std::vector<int32_t>{OSTREL_STATUS_EMPTY_START_PATH}));
}

}  // namespace
}  // namespace ostrel
