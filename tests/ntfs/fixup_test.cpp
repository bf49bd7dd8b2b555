// The update-sequence fixup: which sector ends it restores for each record
// size, and what it refuses.
#include <gtest/gtest.h>

#include "ntfs/fixup.h"
#include "tests/ntfs/ntfs_test_images.h"

namespace ostrel {
namespace {

using test::put16;

// A record of `size` bytes with its array at `array`, holding 0xA1..0xA6,
// and every other byte 0x11.
std::vector<uint8_t> record_with_array(size_t size, uint16_t array) {
    std::vector<uint8_t> record(size, 0x11);
    put16(record, 4, array);
    for (size_t i = 0; i < 6 && array + i < size; ++i) record[array + i] = uint8_t(0xA1 + i);
    return record;
}

TEST(Fixup, RestoresBothSectorEndsWithoutComparingTheSequenceNumber) {
    test::mft_record_builder builder = test::mft_self_record();
    std::vector<uint8_t> disk = builder.on_disk(0x0007);
    // A torn record: the second sector's end does not hold the sequence number.
    put16(disk, 0x3FE, 0x1234);
    EXPECT_EQ(apply_fixup(disk), 0x32u);
    EXPECT_EQ(disk[0x1FE], builder.bytes[0x1FE]);
    EXPECT_EQ(disk[0x1FF], builder.bytes[0x1FF]);
    EXPECT_EQ(disk[0x3FE], builder.bytes[0x3FE]);
    EXPECT_EQ(disk[0x3FF], builder.bytes[0x3FF]);
}

TEST(Fixup, RepairsOnlyWhatTheRecordSizeReaches) {
    struct expectation {
        size_t size;
        std::vector<size_t> restored;  // of 0x1FE, 0x1FF, 0x3FE, 0x3FF
    };
    const std::vector<expectation> cases = {
        {511, {0x1FE}},
        {512, {0x1FE, 0x1FF}},
        {1022, {0x1FE, 0x1FF}},
        {1023, {0x1FE, 0x1FF, 0x3FE}},
        {1024, {0x1FE, 0x1FF, 0x3FE, 0x3FF}},
        {4096, {0x1FE, 0x1FF, 0x3FE, 0x3FF}},
    };
    const std::vector<size_t> targets = {0x1FE, 0x1FF, 0x3FE, 0x3FF};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<uint8_t> record = record_with_array(c.size, 0x30);
        ASSERT_EQ(apply_fixup(record), 0x32u);
        for (size_t i = 0; i < targets.size(); ++i) {
            if (targets[i] >= c.size) continue;
            const bool restored = std::find(c.restored.begin(), c.restored.end(), targets[i]) != c.restored.end();
            EXPECT_EQ(record[targets[i]], restored ? uint8_t(0xA3 + i) : 0x11) << std::hex << targets[i];
        }
        // The third sector of a large record is never touched.
        if (c.size >= 4096) EXPECT_EQ(record[0x5FE], 0x11);
    }
}

TEST(Fixup, RefusesSmallRecordsAndArraysThatLeaveTheRecord) {
    std::vector<uint8_t> tiny = record_with_array(510, 0x30);
    const std::vector<uint8_t> tiny_before = tiny;
    EXPECT_EQ(apply_fixup(tiny), 0u);
    EXPECT_EQ(tiny, tiny_before);
    EXPECT_EQ(apply_fixup(std::span<uint8_t>()), 0u);

    // The array may end exactly at the record's last byte, not past it.
    std::vector<uint8_t> last = record_with_array(1024, 1024 - 6);
    EXPECT_EQ(apply_fixup(last), 1024u - 4);
    EXPECT_EQ(last[0x3FF], 0xA6);
    std::vector<uint8_t> past = record_with_array(1024, 1024 - 5);
    const std::vector<uint8_t> past_before = past;
    EXPECT_EQ(apply_fixup(past), 0u);
    EXPECT_EQ(past, past_before);
    std::vector<uint8_t> hostile = record_with_array(1024, 0xFFFF);
    EXPECT_EQ(apply_fixup(hostile), 0u);
}

}  // namespace
}  // namespace ostrel
