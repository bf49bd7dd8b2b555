#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "core/time_text.h"
#include "platform/codepage.h"
#include "platform/descriptor_io.h"
#include "platform/natural_order.h"
#include "platform/os_version.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"

namespace ostrel {
namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(NaturalOrder, DigitRunsCompareByValueAndLettersIgnoreCase) {
    using platform::compare_logical;
    EXPECT_LT(compare_logical(u"file2", u"file10"), 0);
    EXPECT_GT(compare_logical(u"file10", u"file9"), 0);
    EXPECT_EQ(compare_logical(u"File", u"file"), 0);
    EXPECT_EQ(compare_logical(u"CAFÉ", u"café"), 0);
    EXPECT_LT(compare_logical(u"a", u"ab"), 0);
    EXPECT_LT(compare_logical(u"", u"a"), 0);
    EXPECT_LT(compare_logical(u"x9y", u"x10a"), 0);
    // Numbers longer than any integer type still compare by value.
    EXPECT_LT(compare_logical(u"n99999999999999999999999", u"n100000000000000000000000"), 0);
    EXPECT_EQ(compare_logical(u"a007", u"a7"), 0);
}

TEST(NaturalOrder, IsAntisymmetric) {
    const std::u16string names[] = {u"a", u"A1", u"a01", u"a2", u"a10", u"b", u"B", u"10", u"9", u"_x", u"é"};
    for (const auto& a : names) {
        for (const auto& b : names) {
            EXPECT_EQ(sign(platform::compare_logical(a, b)), -sign(platform::compare_logical(b, a)));
        }
    }
}

TEST(Codepage, AsciiIsUnchangedAndHighBytesFollowCp1252) {
    const uint8_t ascii[] = {'R', 'E', 'A', 'D', 'M', 'E', ' ', '1'};
    EXPECT_EQ(platform::ansi_to_utf16(ascii, sizeof ascii), u"README 1");
    const uint8_t high[] = {0x80, 0xE9, 0x9F, 0x81};
    EXPECT_EQ(platform::ansi_to_utf16(high, sizeof high), u"€éŸ\uFFFD");
    EXPECT_EQ(platform::ansi_to_utf16(nullptr, 4), u"");
}

TEST(WideText, RoundTripsAndReplacesInvalidBytes) {
    const std::string text = "日本語 café 😀";
    EXPECT_EQ(platform::utf16_to_utf8(platform::utf8_to_utf16(text)), text);
    EXPECT_EQ(platform::utf8_to_utf16("a\xff"), u"a\uFFFD");
    EXPECT_EQ(platform::utf8_to_utf16("\xe6\x97"), u"\uFFFD");  // cut-off sequence
}

TEST(DescriptorIo, ExclusiveCreateRefusesAnExistingFile) {
    test::scratch_dir dir;
    const std::u16string path = platform::utf8_to_utf16((dir / "out.bin").string());
    const int fd = platform::create_exclusive(path.c_str());
    ASSERT_GT(fd, 0);
    platform::close_descriptor(fd);
    EXPECT_EQ(platform::create_exclusive(path.c_str()), -1);
    EXPECT_EQ(platform::last_error(), platform::error_file_exists);
}

TEST(DescriptorIo, NeverHandsOutDescriptorZero) {
    test::scratch_dir dir;
    test::write_file(dir / "f", {1, 2, 3});
    const int saved_stdin = dup(0);
    close(0);
    const std::u16string path = platform::utf8_to_utf16((dir / "f").string());
    const int fd = platform::open_read_shared(path.c_str(), false);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_GT(fd, 0);
    if (fd > 0) platform::close_descriptor(fd);
}

TEST(OsVersion, TechnicalPreviewsOfSixFourCountAsWindowsTen) {
    EXPECT_TRUE(platform::counts_as_windows10(6, 4, 9879));
    EXPECT_TRUE(platform::counts_as_windows10(6, 4, 9841));
    EXPECT_FALSE(platform::counts_as_windows10(6, 4, 9880));
    EXPECT_FALSE(platform::counts_as_windows10(6, 3, 9600));
    EXPECT_TRUE(platform::counts_as_windows10(10, 0, 19045));
    EXPECT_FALSE(platform::counts_as_windows10(5, 1, 2600));
}

class LocalTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz) old_tz_ = tz;
    }
    void TearDown() override {
        if (had_tz_) setenv("TZ", old_tz_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    static std::string ntfs_text(uint64_t value) {
        char16_t area[20] = {};
        write_ntfs_time_text(area, value);
        return platform::utf16_to_utf8(area);
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(LocalTime, NtfsTimesFollowTz) {
    // 2020-01-02 03:04:05 UTC.
    const uint64_t stamp = (1577934245ull * 10000000ull) + 116444736000000000ull;
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ntfs_text(stamp), "2020/01/02 03:04:05");
    setenv("TZ", "XST-8", 1);  // POSIX form: needs no zone files
    tzset();
    EXPECT_EQ(ntfs_text(stamp), "2020/01/02 11:04:05");
    EXPECT_EQ(ntfs_text(0), "");
}

}  // namespace
}  // namespace ostrel
