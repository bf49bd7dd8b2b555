// Directory entries: acceptance, names and the directory-sector test.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "fat/dir_entry.h"
#include "fat/fat_layout.h"
#include "fat/fat_nodes.h"
#include "fat/fat_table.h"
#include "platform/wide_text.h"
#include "tests/support/bytes.h"

namespace ostrel {
namespace {

using entry_bytes = std::array<uint8_t, 32>;
using test::put;

entry_bytes short_entry(const char (&name11)[12], uint8_t attributes, uint32_t cluster = 5, uint32_t size = 10) {
    entry_bytes e{};
    std::memcpy(e.data(), name11, 11);
    e[11] = attributes;
    put(e, 26, cluster, 2);
    put(e, 20, cluster >> 16, 2);
    put(e, 28, size, 4);
    return e;
}

entry_bytes long_name_entry(const std::u16string& chars13) {
    entry_bytes e{};
    e[0] = 0x41;
    e[11] = 0x0F;
    std::u16string padded = chars13;
    if (padded.size() < 13) padded.push_back(0);
    while (padded.size() < 13) padded.push_back(0xFFFF);
    const size_t offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) e[offsets[i]] = padded[i] & 0xFF, e[offsets[i] + 1] = padded[i] >> 8;
    return e;
}

byte_view view(const entry_bytes& e) { return byte_view(e.data(), e.size()); }

TEST(FatShortNames, DeletedEntriesGetAHashAndCaseFlagsMustMatchExactly) {
    auto e = short_entry("\xE5" "ELLO   TXT", 0x20);
    // The case byte; 0x09 is not exactly 0x08, so the base stays upper case.
    const std::pair<uint8_t, std::u16string> cases[] = {
        {0x00, u"#ELLO.TXT"}, {0x18, u"#ello.txt"}, {0x09, u"#ELLO.TXT"}, {0x10, u"#ELLO.txt"}};
    for (const auto& [flags, name] : cases) {
        e[12] = flags;
        EXPECT_EQ(fat_short_name(view(e)), name) << int(flags);
    }
    auto no_extension = short_entry("MAKEFILE   ", 0x20);
    EXPECT_EQ(fat_short_name(view(no_extension)), u"MAKEFILE");
    auto empty_base = short_entry("        TXT", 0x20);
    EXPECT_EQ(fat_short_name(view(empty_base)), u"");
}

TEST(FatLongNames, PartsArePrependedInDiskOrderAndEndAtTerminators) {
    std::u16string pending;
    // On disk the last part comes first.
    append_long_name_part(pending, view(long_name_entry(u"nopqr")));
    append_long_name_part(pending, view(long_name_entry(u"abcdefghijklm")));
    EXPECT_EQ(pending, u"abcdefghijklmnopqr");
    auto file = short_entry("ABCDEF~1TXT", 0x20);
    const fat_accepted_entry accepted = accept_fat_entry(view(file), pending);
    EXPECT_EQ(accepted.kind, fat_entry_kind::file);
    EXPECT_EQ(accepted.name, u"abcdefghijklmnopqr");
    EXPECT_TRUE(pending.empty());
}

TEST(FatLongNames, ARejectedShortEntryDropsThePendingName) {
    std::u16string pending;
    accept_fat_entry(view(long_name_entry(u"orphan.txt")), pending);
    auto bad = short_entry("BAD*NAMETXT", 0x20);
    EXPECT_EQ(accept_fat_entry(view(bad), pending).kind, fat_entry_kind::rejected);
    auto next = short_entry("NEXT    TXT", 0x20);
    EXPECT_EQ(accept_fat_entry(view(next), pending).name, u"NEXT.TXT");
}

TEST(FatEntries, AcceptanceRules) {
    std::u16string pending;
    EXPECT_EQ(accept_fat_entry(view(short_entry("DIR        ", 0x10)), pending).kind, fat_entry_kind::folder);
    EXPECT_EQ(accept_fat_entry(view(short_entry("LABEL      ", 0x08)), pending).kind, fat_entry_kind::label);
    // Attribute 0: a plain file, its name checked like any other.
    EXPECT_EQ(accept_fat_entry(view(short_entry("ZERO    BIN", 0x00)), pending).kind, fat_entry_kind::file);
    EXPECT_EQ(accept_fat_entry(view(short_entry("ZE*O    BIN", 0x00)), pending).kind, fat_entry_kind::rejected);
    EXPECT_EQ(accept_fat_entry(view(short_entry("HIGH    BIN", 0x3F)), pending).kind, fat_entry_kind::rejected);
    EXPECT_EQ(accept_fat_entry(view(short_entry("MIX     BIN", 0x18)), pending).kind, fat_entry_kind::rejected);
    EXPECT_EQ(accept_fat_entry(view(short_entry("CTRL\x01   BIN", 0x20)), pending).kind, fat_entry_kind::rejected);
    auto unused = short_entry("GONE    BIN", 0x20);
    unused[0] = 0;
    EXPECT_EQ(accept_fat_entry(view(unused), pending).kind, fat_entry_kind::rejected);
    // High bytes are allowed; a space ends the base.
    EXPECT_EQ(accept_fat_entry(view(short_entry("AB\xC9     TXT", 0x20)), pending).name, u"AB\u00C9.TXT");
    EXPECT_EQ(accept_fat_entry(view(short_entry("A B     TXT", 0x20)), pending).name, u"A.TXT");
}

TEST(FatEntries, FirstClusterIgnoresTheHighWordOnFat16) {
    auto e = short_entry("F       BIN", 0x20, 0x00030004);
    EXPECT_EQ(fat_first_cluster(view(e), true), 0x00030004u);
    EXPECT_EQ(fat_first_cluster(view(e), false), 4u);
}

TEST(FatDirectorySector, NeedsOneSoundEntryAndNoBadOne) {
    std::array<uint8_t, 512> sector{};
    const byte_view v(sector.data(), sector.size());
    EXPECT_FALSE(is_fat_directory_sector(v, 65000));  // all zero
    auto lfn = long_name_entry(u"x");
    std::memcpy(sector.data(), lfn.data(), 32);
    EXPECT_FALSE(is_fat_directory_sector(v, 65000));  // long names alone
    auto file = short_entry("FILE    TXT", 0x20, 100);
    std::memcpy(sector.data() + 32, file.data(), 32);
    EXPECT_TRUE(is_fat_directory_sector(v, 65000));
    auto far = short_entry("FAR     TXT", 0x20, 70000);
    std::memcpy(sector.data() + 64, far.data(), 32);
    EXPECT_FALSE(is_fat_directory_sector(v, 65000));
    EXPECT_TRUE(is_fat_directory_sector(v, 80000));
    sector[64 + 12] = 0x04;  // an unknown case byte
    EXPECT_FALSE(is_fat_directory_sector(v, 80000));
}

TEST(FatDirectorySector, PlainFilesWithAttributeZeroCountAndBlankSlotsDoNot) {
    std::array<uint8_t, 512> sector{};
    const byte_view v(sector.data(), sector.size());
    auto wiped = short_entry("\xE5       TXT", 0x00, 0, 0);  // a deleted entry wiped to zeros
    std::fill(wiped.begin() + 1, wiped.end(), 0);
    std::memcpy(sector.data(), wiped.data(), 32);
    EXPECT_FALSE(is_fat_directory_sector(v, 65000));
    auto plain = short_entry("DSC00001JPG", 0x00, 100);
    std::memcpy(sector.data() + 32, plain.data(), 32);
    EXPECT_TRUE(is_fat_directory_sector(v, 65000));
    sector[32 + 3] = '?';
    EXPECT_FALSE(is_fat_directory_sector(v, 65000));
}

TEST(FatTimes, DateTextsOfARecord) {
    auto e = short_entry("F       BIN", 0x20);
    e[13] = 150;
    e[14] = 0x75, e[15] = 0x6B;  // 13:27:42
    e[16] = 0x21, e[17] = 0x4A;  // 2017-01-01
    e[24] = 0x21, e[25] = 0x4A;
    const tagFatBaseInfo info = tagFatBaseInfo::from_entry(view(e));
    char16_t created[20] = {}, accessed[20] = {}, modified[20] = {};
    info.describe(created, accessed, modified);
    EXPECT_EQ(platform::utf16_to_utf8(created), "2017/01/01 13:27:43");
    EXPECT_EQ(platform::utf16_to_utf8(accessed), "");
    EXPECT_EQ(platform::utf16_to_utf8(modified), "2017/01/01");
}

// A table with the given 12-bit entries, two in three bytes.
fat_table table12(std::initializer_list<uint16_t> entries) {
    std::vector<uint16_t> values(entries);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < values.size(); i += 2) {
        const uint16_t odd = i + 1 < values.size() ? values[i + 1] : 0;
        bytes.push_back(values[i] & 0xFF);
        bytes.push_back(static_cast<uint8_t>((values[i] >> 8) | (odd << 4)));
        if (i + 1 < values.size()) bytes.push_back(static_cast<uint8_t>(odd >> 4));
    }
    fat_table table;
    table.assign(std::move(bytes), 12);
    return table;
}

// A table with the given 32-bit entries.
fat_table table32(std::initializer_list<uint32_t> entries) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : entries) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    fat_table table;
    table.assign(std::move(bytes), 32);
    return table;
}

fat_layout small_fat32() {
    fat_layout layout;
    layout.is_fat32 = true;
    layout.bytes_per_sector = 512;
    layout.sectors_per_cluster = 1;
    layout.reserved_sectors = 1;
    layout.total_sectors = 100;
    return layout;
}

TEST(FatChains, ConsecutiveClustersMergeIntoRuns) {
    // 5 -> 6 -> 7 -> 9 -> end.
    const fat_table table = table32({0, 0, 0, 0, 0, 6, 7, 9, 0, 0x0FFFFFFF});
    EXPECT_EQ(follow_chain(table, small_fat32(), 5, nullptr), (run_list{{5, 3}, {9, 1}}));
}

TEST(FatChains, FreeBadAndTopBitsEndTheChain) {
    const fat_layout layout = small_fat32();
    EXPECT_EQ(follow_chain(table32({0, 0, 0}), layout, 2, nullptr), (run_list{{2, 1}}));  // deleted file
    EXPECT_EQ(follow_chain(table32({0, 0, 3, 0x0FFFFFF7}), layout, 2, nullptr), (run_list{{2, 2}}));
    EXPECT_EQ(follow_chain(table32({0, 0, 0xFFFFFFFF}), layout, 2, nullptr), (run_list{{2, 1}}));
    EXPECT_EQ(follow_chain(table32({0, 0, 0x0FFFFFF5}), layout, 2, nullptr), (run_list{{2, 1}}));
    EXPECT_TRUE(follow_chain(table32({0, 0, 3}), layout, 1, nullptr).empty());
    // A chain that leaves the table ends there.
    EXPECT_EQ(follow_chain(table32({0, 0, 500}), layout, 2, nullptr), (run_list{{2, 1}, {500, 1}}));
}

TEST(FatChains, TwelveBitEntriesPackTwoInThreeBytes) {
    fat_layout layout = small_fat32();
    layout.is_fat32 = false;
    // 2 -> 3 -> 5 -> end; 6 is bad; entry 7 shares its last byte with
    // nothing, so 8 lies beyond the table.
    const fat_table table = table12({0xFF0, 0xFFF, 3, 5, 0, 0xFF8, 0xFF7, 0x123});
    EXPECT_EQ(follow_chain(table, layout, 2, nullptr), (run_list{{2, 2}, {5, 1}}));
    EXPECT_EQ(table.classify(6).kind, fat_entry_class::bad);
    EXPECT_EQ(table.classify(7).next, 0x123u);
    EXPECT_EQ(table.classify(8).kind, fat_entry_class::end);
}

TEST(FatChains, DeletedFilesTakeTheFreeClustersFromTheirFirstOn) {
    // Clusters 4 and 7 belong to live files; 2 and 3 too.
    const fat_table table = table32({0, 0, 3, 0x0FFFFFFF, 0x0FFFFFFF, 0, 0, 0x0FFFFFFF, 0, 0});
    const fat_free_clusters free(table, 9);
    EXPECT_EQ(free.take_from(5, 3), (run_list{{5, 2}, {8, 1}}));
    EXPECT_TRUE(free.take_from(4, 3).empty());               // its first cluster is taken
    EXPECT_EQ(free.take_from(8, 5), (run_list{{8, 2}}));      // the volume ends first
    EXPECT_TRUE(fat_free_clusters(table, 9).take_from(12, 1).empty());
}

TEST(FatChains, LoopingChainsEndWhereTheyComeBack) {
    const fat_layout layout = small_fat32();
    EXPECT_EQ(follow_chain(table32({0, 0, 3, 2}), layout, 2, nullptr), (run_list{{2, 2}}));
    EXPECT_EQ(follow_chain(table32({0, 0, 0, 3}), layout, 3, nullptr), (run_list{{3, 1}}));
    // Back into the middle of the first run.
    EXPECT_EQ(follow_chain(table32({0, 0, 0, 0, 0, 6, 7, 6}), layout, 5, nullptr), (run_list{{5, 3}}));
    // A later run that would grow into an earlier one stops short of it.
    EXPECT_EQ(follow_chain(table32({0, 0, 0, 0, 0, 6, 7, 9, 0, 5}), layout, 7, nullptr),
              (run_list{{7, 1}, {9, 1}, {5, 2}}));
}

TEST(FatLayout, SectorsPerClusterAndGeometry) {
    EXPECT_EQ(decode_sectors_per_cluster(static_cast<int8_t>(0x80)), 128u);
    EXPECT_EQ(decode_sectors_per_cluster(static_cast<int8_t>(0xF8)), 256u);
    EXPECT_EQ(decode_sectors_per_cluster(0), 1u);
    EXPECT_EQ(decode_sectors_per_cluster(8), 8u);
    _boot_sector boot;
    put(boot.bytes, 0x0B, 512, 2);
    boot.bytes[0x0D] = 4;
    put(boot.bytes, 0x0E, 4, 2);
    boot.bytes[0x10] = 2;
    put(boot.bytes, 0x11, 512, 2);
    put(boot.bytes, 0x13, 30000, 2);  // the 32-bit count is 0
    put(boot.bytes, 0x16, 32, 2);
    const fat_layout layout = fat_layout::from_boot_sector(boot, 2, 1048576);
    EXPECT_EQ(layout.total_sectors, 30000u);
    EXPECT_EQ(layout.first_data_sector(), 4u + 64 + 32);
    EXPECT_EQ(layout.cluster_offset(2), 1048576u + 100 * 512);
    EXPECT_EQ(layout.cluster_offset(1), 0u);
    EXPECT_EQ(layout.root_directory_offset(), 1048576u + 68 * 512);
    // FAT32 never looks at the 16-bit count.
    EXPECT_EQ(fat_layout::from_boot_sector(boot, 3, 0).total_sectors, 0u);
}

// A floppy's boot sector as mkfs.vfat -F 12 writes it: 2880 sectors, two
// 9-sector tables, 224 root entries.
_boot_sector floppy_boot_sector() {
    _boot_sector boot;
    boot.bytes[0] = 0xEB, boot.bytes[1] = 0x3C, boot.bytes[2] = 0x90;
    put(boot.bytes, 0x0B, 512, 2);
    boot.bytes[0x0D] = 1;
    put(boot.bytes, 0x0E, 1, 2);
    boot.bytes[0x10] = 2;
    put(boot.bytes, 0x11, 224, 2);
    put(boot.bytes, 0x13, 2880, 2);
    boot.bytes[0x15] = 0xF0;
    put(boot.bytes, 0x16, 9, 2);
    std::memcpy(&boot.bytes[54], "FAT12   ", 8);
    boot.bytes[510] = 0x55, boot.bytes[511] = 0xAA;
    return boot;
}

TEST(FatLayout, RootSizeAndTableWidthFollowTheBootSector) {
    _boot_sector boot = floppy_boot_sector();
    fat_layout layout = fat_layout::from_boot_sector(boot, 2, 0);
    EXPECT_EQ(layout.first_data_sector(), 1u + 18 + 14);
    EXPECT_EQ(layout.data_cluster_count(), 2847u);
    EXPECT_EQ(layout.entry_bits, 12u);
    EXPECT_EQ(layout.metadata_bytes(), 33u * 512);
    // 112 entries in 1024-byte sectors: three and a half sectors, four taken.
    boot.bytes[0x0C] = 4, boot.bytes[0x11] = 112;
    EXPECT_EQ(fat_layout::from_boot_sector(boot, 2, 0).root_directory_sectors(), 4u);
    // 4085 data clusters make a 16-bit table.
    boot = floppy_boot_sector();
    put(boot.bytes, 0x13, 33 + 4085, 2);
    EXPECT_EQ(fat_layout::from_boot_sector(boot, 2, 0).entry_bits, 16u);
    EXPECT_EQ(fat_layout::from_boot_sector(boot, 3, 0).entry_bits, 32u);
}

TEST(FatLayout, AFat12BootSectorIsKnownByItsGeometryWhateverItsText) {
    _boot_sector boot = floppy_boot_sector();
    EXPECT_TRUE(is_fat12_boot_sector(boot.view()));
    std::memset(&boot.bytes[54], ' ', 8);  // no type text
    EXPECT_TRUE(is_fat12_boot_sector(boot.view()));
    boot.bytes[0x16] = 2;  // two sectors cannot hold 2849 entries
    EXPECT_FALSE(is_fat12_boot_sector(boot.view()));
    boot = floppy_boot_sector();
    boot.bytes[0x15] = 0x12;  // no media byte
    EXPECT_FALSE(is_fat12_boot_sector(boot.view()));
    boot = floppy_boot_sector();
    boot.bytes[0x13] = 0x00, boot.bytes[0x14] = 0x80;  // 32768 sectors: FAT16's count
    boot.bytes[0x16] = 64;
    EXPECT_FALSE(is_fat12_boot_sector(boot.view()));
}

}  // namespace
}  // namespace ostrel
