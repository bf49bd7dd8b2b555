// The plain attribute walk over an MFT record: where it stops, and that no
// length or offset in a record makes it read outside the record.
#include <gtest/gtest.h>

#include "ntfs/attribute_walk.h"
#include "tests/ntfs/ntfs_test_images.h"

namespace ostrel {
namespace {

using test::mft_record_builder;
using test::put16;
using test::put32;

std::vector<uint32_t> walked_types(const std::vector<uint8_t>& record) {
    std::vector<uint32_t> types;
    attribute_walk walk(byte_view(record.data(), record.size()));
    while (const auto attribute = walk.next()) {
        types.push_back(attribute->type);
        if (types.size() > 1000) break;
    }
    return types;
}

TEST(AttributeWalk, VisitsAttributesInOrderUntilTheEndMarker) {
    mft_record_builder record;
    record.add_resident(0x10, std::vector<uint8_t>(0x48, 0));
    record.add_file_name(u"a.txt");
    record.add_resident(0x80, {1, 2, 3});
    record.end();
    record.add_resident(0x30, {});  // after the end marker: never seen
    EXPECT_EQ(walked_types(record.bytes), (std::vector<uint32_t>{0x10, 0x30, 0x80}));
}

TEST(AttributeWalk, StopsAtZeroLengthsUnknownTypesAndTheRecordEnd) {
    {
        mft_record_builder record;
        const size_t first = record.add_resident(0x10, std::vector<uint8_t>(8, 0));
        record.add_resident(0x30, {});
        put32(record.bytes, first + 4, 0);  // the first attribute is seen, nothing after it
        EXPECT_EQ(walked_types(record.bytes), (std::vector<uint32_t>{0x10}));
    }
    for (uint32_t unknown : {0x0u, 0x18u, 0x105u, 0x110u, 0x1000u}) {
        SCOPED_TRACE(unknown);
        mft_record_builder record;
        record.add_resident(0x10, {});
        record.add_resident(unknown, {});
        record.add_resident(0x30, {});
        EXPECT_EQ(walked_types(record.bytes), (std::vector<uint32_t>{0x10}));
    }
    {
        // 0x100 is the last type walked past.
        mft_record_builder record;
        record.add_resident(0x100, {});
        record.add_resident(0x30, {});
        record.end();
        EXPECT_EQ(walked_types(record.bytes), (std::vector<uint32_t>{0x100, 0x30}));
    }
    {
        // An attribute whose length lands 3 bytes before the record's end.
        std::vector<uint8_t> record(1024, 0);
        put16(record, 0x14, 0x38);
        put32(record, 0x38, 0x80);
        put32(record, 0x3C, 1024 - 3 - 0x38);
        record[1021] = 0x30;  // would read as a type only past the end
        EXPECT_EQ(walked_types(record), (std::vector<uint32_t>{0x80}));
    }
}

TEST(AttributeWalk, HostileLengthsAndOffsetsEndTheWalkInsideTheRecord) {
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u, 1024u, 1024u - 0x38u - 1u}) {
        SCOPED_TRACE(length);
        mft_record_builder record;
        const size_t first = record.add_resident(0x10, {});
        put32(record.bytes, first + 4, length);
        EXPECT_EQ(walked_types(record.bytes), (std::vector<uint32_t>{0x10}));
    }
    // A first-attribute offset at or past the end gives nothing.
    for (uint16_t first : {uint16_t(1021), uint16_t(1024), uint16_t(0xFFFF)}) {
        mft_record_builder record;
        put16(record.bytes, 0x14, first);
        EXPECT_TRUE(walked_types(record.bytes).empty());
    }
    EXPECT_TRUE(walked_types({}).empty());
}

TEST(AttributeWalk, ValuesAndNamesAreBoundedByTheRecord) {
    mft_record_builder record;
    const size_t at = record.add_file_name(u"$MFT");
    record.end();
    attribute_walk walk(byte_view(record.bytes.data(), record.bytes.size()));
    auto attribute = walk.next();
    ASSERT_TRUE(attribute);
    const auto name = parse_file_name(attribute->resident_value());
    ASSERT_TRUE(name);
    EXPECT_EQ(name->name, u"$MFT");
    EXPECT_EQ(name->parent_record, 5u);

    // A value length running past the record gives no value at all.
    put32(record.bytes, at + 0x10, 0x10000);
    attribute = attribute_walk(byte_view(record.bytes.data(), record.bytes.size())).next();
    ASSERT_TRUE(attribute);
    EXPECT_TRUE(attribute->resident_value().empty());
    // A value offset past the record, likewise.
    put32(record.bytes, at + 0x10, 0x4A);
    put16(record.bytes, at + 0x14, 0xFFF0);
    attribute = attribute_walk(byte_view(record.bytes.data(), record.bytes.size())).next();
    EXPECT_TRUE(attribute->resident_value().empty());
    // Non-resident attributes have no resident value.
    put16(record.bytes, at + 0x14, 0x18);
    record.bytes[at + 8] = 1;
    attribute = attribute_walk(byte_view(record.bytes.data(), record.bytes.size())).next();
    EXPECT_TRUE(attribute->resident_value().empty());

    // An attribute name that would leave the record reads as none.
    record.bytes[at + 8] = 0;
    record.bytes[at + 9] = 200;
    put16(record.bytes, at + 0x0A, 1000);
    attribute = attribute_walk(byte_view(record.bytes.data(), record.bytes.size())).next();
    EXPECT_TRUE(attribute->name().empty());
}

TEST(AttributeWalk, FileNameValuesMustHoldTheNameTheyAnnounce) {
    std::vector<uint8_t> value(0x42 + 8, 0);
    value[0x40] = 4;
    value[0x41] = 2;
    test::put64(value, 0, 0x0003000000000005ull);
    for (size_t i = 0; i < 4; ++i) put16(value, 0x42 + 2 * i, u"ABCD"[i]);
    const auto name = parse_file_name(byte_view(value.data(), value.size()));
    ASSERT_TRUE(name);
    EXPECT_EQ(name->name, u"ABCD");
    EXPECT_EQ(name->name_space, 2);
    EXPECT_EQ(name->parent_record, 5u);  // the sequence number is dropped
    value[0x40] = 5;  // one character more than the value holds
    EXPECT_FALSE(parse_file_name(byte_view(value.data(), value.size())));
    EXPECT_FALSE(parse_file_name(byte_view(value.data(), 0x41)));
}

}  // namespace
}  // namespace ostrel
