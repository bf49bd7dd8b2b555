// exFAT entry sets: the directory-buffer test rule by rule, and the entry
// parser on whole sets, sets split between pieces, and hostile sets.
#include <gtest/gtest.h>

#include "exfat/allocation_table.h"
#include "exfat/entry_parser.h"
#include "exfat/entry_set.h"
#include "ntfs/ntfs_bitmap.h"
#include "tests/exfat/exfat_test_images.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::entry_set;
using test::entry_set_spec;
using test::put;

constexpr uint64_t volume_bytes = 1 << 20;

// Entries laid out one after the other from the start of a zeroed buffer of
// `size` bytes.
std::vector<uint8_t> entries(std::initializer_list<std::vector<uint8_t>> parts, size_t size = 512) {
    std::vector<uint8_t> bytes;
    for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    bytes.resize(size);  // a set past the end is cut
    return bytes;
}

std::vector<uint8_t> entry(uint8_t type) {
    std::vector<uint8_t> e(32, 0);
    e[0] = type;
    return e;
}

bool is_directory(const std::vector<uint8_t>& bytes) {
    return exfat::is_exfat_directory_buffer(byte_view(bytes), volume_bytes, 4, 250);
}

TEST(ExfatDirectoryBuffer, AcceptsWhatWritersLeaveAndRefusesEachBrokenRule) {
    const auto set = entry_set({});  // three entries
    const auto label = entry(0x83), bitmap = entry(0x81), upcase = entry(0x82);
    // A root: label, bitmap, up-case table, sets, then the end marker.
    EXPECT_TRUE(is_directory(entries({label, bitmap, upcase, set, entry_set({.name = u"second.bin"})})));
    // Sets that fill the buffer exactly, or whose last one runs past it.
    const auto four = entry_set({.name = u"a name of twenty one"});  // four entries
    EXPECT_TRUE(is_directory(entries({four, four, four, four})));
    EXPECT_TRUE(is_directory(entries({label, four, four, four, four})));
    // What follows the end marker is not looked at.
    EXPECT_TRUE(is_directory(entries({label, set, entry(0x00), entry(0x84)})));

    EXPECT_FALSE(is_directory(std::vector<uint8_t>(512, 0)));
    EXPECT_FALSE(is_directory(entries({upcase})));                   // nothing accepted before the end
    EXPECT_FALSE(is_directory(entries({label, bitmap})));            // likewise
    EXPECT_FALSE(is_directory(entries({label, set}, 511)));          // shorter than a sector
    EXPECT_FALSE(is_directory(entries({label, entry(0x85), set})));  // SecondaryCount 0
    EXPECT_FALSE(is_directory(entries({label, set, entry(0x84)})));  // not an exFAT type
    EXPECT_FALSE(is_directory(entries({label, set, bitmap})));       // the end not after a name entry
    auto dirty_end = entries({label, set});
    dirty_end[128 + 5] = 1;
    EXPECT_FALSE(is_directory(dirty_end));

    // Each rule of the set check, on a set at offset 64 (checked: 64 >= 4 x 2 + 4).
    const std::tuple<size_t, uint64_t, int, const char*> broken[] = {
        {32, 0x85, 1, "a File entry where the stream belongs"},
        {35, 0, 1, "NameLength 0"},
        {35, 16, 1, "a name longer than one name entry holds"},
        {40, volume_bytes, 8, "ValidDataLength not below the volume size"},
        {52, 3, 4, "FirstCluster below the lowest cluster"},
        {52, 250, 4, "FirstCluster at the cluster limit"},
        {64, 0xC0, 1, "a stream where a name belongs"},
    };
    for (const auto& [field, value, width, what] : broken) {
        auto bytes = entries({label, bitmap, set});
        put(bytes, 64 + field, value, width);
        EXPECT_FALSE(is_directory(bytes)) << what;
    }
    // An empty file's FirstCluster is not looked at.
    auto empty = entries({label, bitmap, set});
    put(empty, 64 + 40, 0, 8);
    put(empty, 64 + 52, 0, 4);
    EXPECT_TRUE(is_directory(empty));

    // A set at offset 0 is not checked as a set (0 < 4 x 2 + 4): its entries
    // are judged alone, so only the rules for single entries apply.
    auto alone = entries({set, entry_set({.name = u"b"})});
    put(alone, 32 + 35, 40, 1);  // a name longer than the set holds
    EXPECT_TRUE(is_directory(alone));
    auto stream_then_stream = entries({set});
    stream_then_stream[64] = 0xC0;
    EXPECT_FALSE(is_directory(stream_then_stream));
    auto flagged_name = entries({set});
    flagged_name[64 + 1] = 1;
    EXPECT_FALSE(is_directory(flagged_name));

    // A set cut by the buffer's end is judged by the part inside.
    auto cut = entries({label, bitmap, set, set, set, set});  // up to byte 448
    const auto five = entry_set({.name = std::u16string(40, u'x')});
    std::copy(five.begin(), five.begin() + 64, cut.begin() + 448);
    EXPECT_TRUE(is_directory(cut));
    cut.at(480 + 3) = 0;  // NameLength 0 in the stream inside the buffer
    EXPECT_FALSE(is_directory(cut));
}

// Records the sets a parser hands on.
struct parsed {
    std::vector<std::shared_ptr<tagExFatFileInfoEx>> sets;
    exfat_entry_parser parser(const exfat_set_geometry& geometry, stop_token* stop = nullptr) {
        return exfat_entry_parser(geometry, stop, [this](auto record) { sets.push_back(std::move(record)); });
    }
};

class ExfatEntryParser : public ::testing::Test {
protected:
    exfat::allocation_table table = exfat::allocation_table([] {
        std::vector<uint8_t> bytes(1024 * 4, 0);
        put(bytes, 4 * 20, 21, 4);
        put(bytes, 4 * 21, 30, 4);
        put(bytes, 4 * 30, 0xFFFFFFFF, 4);
        put(bytes, 4 * 240, 241, 4);
        put(bytes, 4 * 241, 242, 4);
        put(bytes, 4 * 242, 300, 4);  // past the heap's end (cluster 251)
        return bytes;
    }());
    exfat_set_geometry geometry{&table, 4096, 250, volume_bytes};
};

TEST_F(ExfatEntryParser, WholeSetsGiveNamesTimesSizesDeletedStateAndExtents) {
    parsed out;
    auto parser = out.parser(geometry);
    auto deleted_stream = entry_set({.name = u"gone.txt", .first_cluster = 100, .size = 10000});
    deleted_stream[32] = 0x40;  // only the stream's in-use bit is clear
    const std::u16string long_name = u"L" + std::u16string(248, u'o') + u"ng.txt";
    const std::u16string outside_bmp = u"clef \U0001D11E.txt";
    parser.parse(byte_view(entries({entry(0x83), deleted_stream,
                                    entry_set({.name = u"chained", .flags = 1, .first_cluster = 20, .size = 9000}),
                                    entry_set({.name = u"was chained", .flags = 1, .first_cluster = 50, .size = 9000,
                                               .deleted = true}),
                                    entry_set({.name = u"dir", .attributes = 0x10, .size = 4096}),
                                    entry(0x00), entry_set({.name = u"behind the end", .deleted = true})},
                                   2048)));
    parser.parse(byte_view(entries({entry_set({.name = long_name}), entry_set({.name = outside_bmp})}, 1024)));
    ASSERT_EQ(out.sets.size(), 7u);
    const tagExFatFileInfoEx& gone = *out.sets[0];
    EXPECT_EQ(gone.name_text(), u"gone.txt");
    EXPECT_TRUE(gone.deleted);
    EXPECT_EQ(gone.size, 10000u);
    EXPECT_EQ(gone.runs, (run_list{{100, 3}}));  // contiguous: the clusters the size covers
    char16_t created[20] = {}, accessed[20] = {}, modified[20] = {};
    gone.describe(created, accessed, modified);
    EXPECT_EQ(std::u16string(created), u"2023/07/18 09:16:33");  // 32 s and 150 x 10 ms
    EXPECT_EQ(std::u16string(accessed), u"2023/07/18 08:00:00");
    EXPECT_EQ(std::u16string(modified), u"2023/07/18 09:17:02");
    EXPECT_EQ(gone.attributes(), 0x20u);

    EXPECT_EQ(out.sets[1]->runs, (run_list{{20, 2}, {30, 1}}));  // the chain
    EXPECT_EQ(out.sets[2]->runs, (run_list{{50, 1}}));           // a freed chain: its first cluster
    EXPECT_TRUE(out.sets[3]->is_directory());
    EXPECT_EQ(out.sets[4]->name_text(), u"behind the end");
    EXPECT_EQ(out.sets[5]->name_text(), long_name);
    EXPECT_EQ(out.sets[6]->name_text(), outside_bmp);
}

TEST_F(ExfatEntryParser, AFreedChainIsRebuiltFromTheClustersTheBitmapLeavesFree) {
    // Clusters 51 and 52 belong to a live file (bit 0 is cluster 2).
    std::vector<uint8_t> bits(32, 0);
    bits[49 / 8] |= 1 << (49 % 8), bits[50 / 8] |= 1 << (50 % 8);
    const ntfs_bitmap allocation(bits);
    exfat_set_geometry with_bitmap = geometry;
    with_bitmap.allocation = &allocation;
    parsed out;
    auto parser = out.parser(with_bitmap);
    parser.parse(byte_view(entries({entry_set({.name = u"wrapped", .flags = 1, .first_cluster = 50, .size = 9000,
                                               .deleted = true}),
                                    entry_set({.name = u"now taken", .flags = 1, .first_cluster = 51, .size = 9000,
                                               .deleted = true}),
                                    entry_set({.name = u"live", .flags = 1, .first_cluster = 50, .size = 9000})},
                                   1024)));
    ASSERT_EQ(out.sets.size(), 3u);
    EXPECT_EQ(out.sets[0]->runs, (run_list{{50, 1}, {53, 2}}));
    EXPECT_EQ(out.sets[1]->runs, (run_list{{51, 1}}));  // its first cluster is in use: as stored
    EXPECT_EQ(out.sets[2]->runs, (run_list{{50, 1}}));  // live sets follow their chain
}

TEST_F(ExfatEntryParser, SetsThatDoNotFitArePutTogetherFromTheEntriesThatFollow) {
    parsed out;
    auto parser = out.parser(geometry);
    const auto set = entry_set({.name = u"split across two pieces.txt", .first_cluster = 12, .size = 5000});
    std::vector<uint8_t> first(512, 0), second(512, 0);
    std::copy(set.begin(), set.begin() + 64, first.begin() + 448);  // File and Stream entries
    std::copy(set.begin() + 64, set.end(), second.begin());          // the two name entries
    parser.parse(byte_view(first));
    EXPECT_TRUE(out.sets.empty());
    parser.parse(byte_view(second));
    ASSERT_EQ(out.sets.size(), 1u);
    EXPECT_EQ(out.sets[0]->name_text(), u"split across two pieces.txt");
    EXPECT_EQ(out.sets[0]->runs, (run_list{{12, 2}}));
    EXPECT_EQ(out.sets[0]->creation_ten_ms, 150);

    // SecondaryCount 1: never a whole set, but its entries complete it.
    auto short_count = entry_set({.name = u"one"});
    short_count[1] = 1;
    parser.parse(byte_view(entries({short_count})));
    ASSERT_EQ(out.sets.size(), 2u);
    EXPECT_EQ(out.sets[1]->name_text(), u"one");
}

TEST_F(ExfatEntryParser, ABrokenSetIsSkippedAndTheNextOneStillFound) {
    auto runs_past = entry_set({.name = u"runs past"});
    runs_past[1] = 200;  // SecondaryCount past the piece: read entry by entry
    auto long_name = entry_set({.name = u"name too long"});
    long_name[35] = 40;  // NameLength beyond its one name entry
    auto no_name = entry_set({.name = u"x"});
    no_name[35] = 0;
    const std::tuple<std::vector<uint8_t>, std::u16string, run_list> cases[] = {
        {runs_past, u"runs past", {{10, 1}}},
        {long_name, u"", {}},
        {no_name, u"", {}},
        {entry_set({.name = u"far", .first_cluster = 252}), u"far", {}},  // past the heap
        {entry_set({.name = u"huge", .size = volume_bytes}), u"", {}},
        {entry_set({.name = u"leaves the heap", .flags = 1, .first_cluster = 240, .size = 1}), u"leaves the heap",
         {{240, 3}}},
        {entry_set({.name = u"ends at the heap", .first_cluster = 248, .size = 100000}), u"ends at the heap",
         {{248, 4}}},
    };
    for (const auto& [set, name, runs] : cases) {
        parsed out;
        auto parser = out.parser(geometry);
        parser.parse(byte_view(entries({set, entry_set({.name = u"next"})})));
        ASSERT_FALSE(out.sets.empty()) << testing::PrintToString(name);
        EXPECT_EQ(out.sets.back()->name_text(), u"next");
        if (name.empty()) {
            EXPECT_EQ(out.sets.size(), 1u);
        } else {
            ASSERT_EQ(out.sets.size(), 2u);
            EXPECT_EQ(out.sets[0]->name_text(), name);
            EXPECT_EQ(out.sets[0]->runs, runs) << testing::PrintToString(name);
        }
    }
}

TEST_F(ExfatEntryParser, AStopEndsTheParseBetweenEntries) {
    parsed out;
    test::counting_stop_token stop(1);
    auto parser = out.parser(geometry, &stop);
    parser.parse(byte_view(entries({entry_set({}), entry_set({}), entry_set({})})));
    EXPECT_EQ(out.sets.size(), 1u);
}

}  // namespace
}  // namespace ostrel
