#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "platform/descriptor_io.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"
#include "ntfs/record_block.h"
#include "volume/device_io.h"
#include "volume/extent_reader.h"

namespace ostrel {
namespace {

class DeviceIo : public ::testing::Test {
protected:
    void SetUp() override {
        bytes = test::pattern_bytes(8192, 3);
        test::write_file(dir / "dev", bytes);
        file = std::make_unique<test::open_file>(dir / "dev");
    }
    test::scratch_dir dir;
    std::vector<uint8_t> bytes;
    std::unique_ptr<test::open_file> file;
};

TEST_F(DeviceIo, PositionedReadsLeaveTheRunningPositionAlone) {
    platform::seek_to(file->fd(), 100);
    uint8_t buffer[512];
    EXPECT_EQ(read_at(file->fd(), buffer, 1024, 300), 300);
    EXPECT_EQ(0, std::memcmp(buffer, bytes.data() + 1024, 300));
    EXPECT_EQ(platform::tell(file->fd()), 100);
    EXPECT_TRUE(read_sector_at(file->fd(), buffer, 4096));
    EXPECT_EQ(0, std::memcmp(buffer, bytes.data() + 4096, 512));
    EXPECT_EQ(platform::tell(file->fd()), 100);
    // Offset 0 reads at the current position.
    EXPECT_TRUE(read_sector_at(file->fd(), buffer, 0));
    EXPECT_EQ(0, std::memcmp(buffer, bytes.data() + 100, 512));
    EXPECT_EQ(platform::tell(file->fd()), 100);
}

TEST_F(DeviceIo, ShortAndMissingReadsFail) {
    uint8_t buffer[512];
    EXPECT_FALSE(read_sector_at(file->fd(), buffer, 8192 - 100));  // only 100 bytes left
    EXPECT_EQ(read_at(file->fd(), buffer, 8000, 512), 192);
    EXPECT_EQ(read_at(0, buffer, 0, 10), 0);
    EXPECT_EQ(read_at(file->fd(), nullptr, 0, 10), 0);
    EXPECT_EQ(read_at(file->fd(), buffer, 0, 0), 0);
    EXPECT_FALSE(read_sector_at(file->fd(), nullptr, 0));
}

TEST_F(DeviceIo, ExtentReaderHandsOutThePiecesAReaderOfItsOwnWouldRead) {
    // Two pieces of 1000 and one of 500; an extent past the end gives its
    // 192 bytes and then ends at the failing read; an empty one gives nothing;
    // the last is read again from the start. Ten extents, more than the
    // pieces it reads ahead, and a reader let go of midway.
    std::vector<extent_reader::extent> extents = {{100, 2500}, {8000, 4096}, {50, 0}};
    for (uint64_t i = 0; i < 10; ++i) extents.push_back({i * 700, 700});
    std::vector<std::pair<uint64_t, size_t>> expected = {{100, 1000}, {1100, 1000}, {2100, 500}, {8000, 192}};
    for (uint64_t i = 0; i < 10; ++i) expected.push_back({i * 700, 700});
    extent_reader reader(file->fd(), extents, 1000);
    for (const auto& [offset, length] : expected) {
        const std::span<uint8_t> piece = reader.next();
        ASSERT_EQ(piece.size(), length) << "at " << offset;
        EXPECT_EQ(0, std::memcmp(piece.data(), bytes.data() + offset, length)) << "at " << offset;
    }
    EXPECT_TRUE(reader.next().empty());
    EXPECT_TRUE(reader.next().empty());
    extent_reader stopped_early(file->fd(), extents, 100);
    EXPECT_EQ(stopped_early.next().size(), 100u);
}

#if defined(__linux__)
TEST(ExtentReaderOnBadSectors, ReadsOnPastWhatTheDeviceRefusesWhenAskedTo) {
    // The process's own memory as the device: reading an unmapped page of
    // /proc/self/mem fails with EIO, as a bad sector does. Page 1 of four
    // is unmapped.
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* base = static_cast<uint8_t*>(::mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    for (long i = 0; i < 4 * page; ++i) base[i] = static_cast<uint8_t>(i / 1024 + 1);
    ASSERT_EQ(::munmap(base + page, page), 0);
    const int fd = ::open("/proc/self/mem", O_RDONLY);
    ASSERT_GT(fd, 0);
    const uint64_t at = reinterpret_cast<uintptr_t>(base);  // not sign-extended on 32-bit
    const std::vector<extent_reader::extent> extents = {{at, 3 * static_cast<uint64_t>(page)}, {at + 2 * page, 1024}};
    const auto piece_bytes = static_cast<uint32_t>(2 * page);

    // Without a retry unit the failing read ends the extent.
    extent_reader plain(fd, extents, piece_bytes);
    EXPECT_EQ(plain.next().size(), static_cast<size_t>(page));  // cut short at the bad page
    EXPECT_EQ(plain.next().size(), 1024u);                      // the next extent
    EXPECT_TRUE(plain.next().empty());

    // With one, the bad page reads as zeros and the extent goes on.
    extent_reader retrying(fd, extents, piece_bytes, 1024);
    std::vector<uint8_t> seen;
    for (std::span<uint8_t> piece = retrying.next(); !piece.empty(); piece = retrying.next()) {
        seen.insert(seen.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(3 * page + 1024));
    EXPECT_EQ(0, std::memcmp(seen.data(), base, page));
    EXPECT_EQ(std::count(seen.begin() + page, seen.begin() + 2 * page, 0), page);
    EXPECT_EQ(0, std::memcmp(seen.data() + 2 * page, base + 2 * page, page));
    EXPECT_EQ(0, std::memcmp(seen.data() + 3 * page, base + 2 * page, 1024));
    ::close(fd);
    ::munmap(base, page);
    ::munmap(base + 2 * page, 2 * page);
}
#endif

TEST_F(DeviceIo, RecordBlocksServeOnlyTheirOwnerAndOnlyWhatWasRead) {
    const uint64_t first = new_record_block_owner(), second = new_record_block_owner();
    std::vector<uint8_t> record;
    ASSERT_TRUE(read_record_through_block(file->fd(), first, 1024, 1024, record));
    EXPECT_EQ(0, std::memcmp(record.data(), bytes.data() + 1024, 1024));
    // Changed on the device: the owner's block still holds the old bytes;
    // another owner (a later session) reads them anew.
    const std::vector<uint8_t> changed(8192, 0x5A);
    test::write_file(dir / "dev", changed);
    ASSERT_TRUE(read_record_through_block(file->fd(), first, 3072, 1024, record));
    EXPECT_EQ(0, std::memcmp(record.data(), bytes.data() + 3072, 1024));
    ASSERT_TRUE(read_record_through_block(file->fd(), second, 3072, 1024, record));
    EXPECT_EQ(record, std::vector<uint8_t>(1024, 0x5A));
    // The device ends inside a block: what lies past its end fails.
    EXPECT_TRUE(read_record_through_block(file->fd(), second, 7168, 1024, record));
    EXPECT_FALSE(read_record_through_block(file->fd(), second, 7680, 1024, record));
    EXPECT_FALSE(read_record_through_block(file->fd(), second, 9216, 1024, record));
}

bool collect(const uint8_t* buffer, uint32_t count, void* context, uint32_t unused, int32_t*) {
    EXPECT_EQ(unused, 4u);
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), buffer, buffer + count);
    return true;
}

TEST_F(DeviceIo, CopyRangeReadsWholeSectorsAndHandsOnOnlyWhatWasAsked) {
    std::vector<uint8_t> buffer(1536), out;
    const uint64_t n = copy_range(file->fd(), buffer.data(), 700, 3000, 1536, collect, &out, nullptr, nullptr);
    EXPECT_EQ(n, 3000u);
    EXPECT_EQ(out, std::vector<uint8_t>(bytes.begin() + 700, bytes.begin() + 3700));
    out.clear();
    // Past the end: what exists is delivered, then the read fails.
    EXPECT_EQ(copy_range(file->fd(), buffer.data(), 8000, 1000, 1536, collect, &out, nullptr, nullptr), 192u);
    EXPECT_EQ(copy_range(file->fd(), buffer.data(), 0, 0, 1536, collect, &out, nullptr, nullptr), 0u);
}

#if !defined(_WIN32)
TEST(WriteChunk, AWriteThatStopsShortFailsTheChunk) {
    // A pipe with room for fewer bytes than the chunk: the first write stops
    // short (as on a disk filling up) and the next one fails.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const int room = ::fcntl(ends[1], F_GETPIPE_SZ);
    ASSERT_GT(room, 0);
    const std::vector<uint8_t> filler(static_cast<size_t>(room) - 5000, 'f');
    ASSERT_EQ(::write(ends[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    const std::vector<uint8_t> chunk(8192, 'c');  // over PIPE_BUF: may be written in part
    int32_t descriptor = ends[1], error = 0;
    EXPECT_FALSE(write_chunk(chunk.data(), static_cast<uint32_t>(chunk.size()), &descriptor, 4, &error));
    EXPECT_EQ(error, EAGAIN);
    // With room for all of it, the whole chunk goes out.
    std::vector<uint8_t> drained(static_cast<size_t>(room));
    ASSERT_GT(::read(ends[0], drained.data(), drained.size()), 0);
    EXPECT_TRUE(write_chunk(chunk.data(), 200, &descriptor, 4, &error));
    ::close(ends[0]);
    ::close(ends[1]);
}
#endif

TEST(DeviceTriple, AFailedOpenClosesEverythingAndReturnsZero) {
    test::recording_host host;
    int32_t recovery = -5, preview = -5;
    EXPECT_EQ(open_device_triple(u"/nonexistent/device", &recovery, &preview), 0);
    EXPECT_EQ(recovery, -5);
    test::scratch_dir dir;
    test::write_file(dir / "d", {1});
    const std::u16string path = platform::utf8_to_utf16((dir / "d").string());
    const int32_t scan = open_device_triple(path.c_str(), &recovery, &preview);
    ASSERT_GT(scan, 0);
    EXPECT_GT(recovery, 0);
    EXPECT_GT(preview, 0);
    EXPECT_NE(recovery, scan);
    for (int fd : {scan, recovery, preview}) platform::close_descriptor(fd);
    // Without out-pointers only the scan descriptor is opened.
    const int32_t alone = open_device_triple(path.c_str(), nullptr, nullptr);
    EXPECT_GT(alone, 0);
    platform::close_descriptor(alone);
}

TEST(Duplicate, AFailedDuplicateIsLoggedAndStoredAsZero) {
    test::recording_host host;
    EXPECT_EQ(duplicate_descriptor(9999, "dup preview file err, orign file:%d\n"), 0);
    EXPECT_EQ(host.log_lines, std::vector<std::string>{"[recovery]\tdup preview file err, orign file:9999\n"});
}

}  // namespace
}  // namespace ostrel
