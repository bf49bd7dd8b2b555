#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <tuple>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "core/time_text.h"
#include "platform/codepage.h"
#include "platform/descriptor_io.h"
#include "platform/local_time.h"
#include "platform/natural_order.h"
#include "platform/os_version.h"
#include "platform/wide_text.h"
#include "tests/support/files.h"
#include "tests/support/portable.h"

namespace ostrel {
namespace {

int sign(int v) { return (v > 0) - (v < 0); }

TEST(NaturalOrder, DigitRunsCompareByValueAndLettersIgnoreCase) {
    // Numbers longer than any integer type still compare by value.
    const std::tuple<const char16_t*, const char16_t*, int> cases[] = {
        {u"file2", u"file10", -1}, {u"file10", u"file9", 1}, {u"File", u"file", 0}, {u"CAFÉ", u"café", 0},
        {u"a", u"ab", -1}, {u"", u"a", -1}, {u"x9y", u"x10a", -1}, {u"a007", u"a7", 0},
        {u"n99999999999999999999999", u"n100000000000000000000000", -1}};
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(sign(platform::compare_logical(a, b)), order) << platform::utf16_to_utf8(a);
    }
}

TEST(NaturalOrder, IsAntisymmetric) {
    const std::u16string names[] = {u"a", u"A1", u"a01", u"a2", u"a10", u"b", u"B", u"10", u"9", u"_x", u"é"};
    for (const auto& a : names) {
        for (const auto& b : names) {
            EXPECT_EQ(sign(platform::compare_logical(a, b)), -sign(platform::compare_logical(b, a)));
        }
    }
}

// Where names differ between the two comparators, each platform keeps its
// own order: Windows hosts see the system's (StrCmpLogicalW, which compares
// letters linguistically), others see ours, which compares code units.
TEST(NaturalOrder, WhereTheSystemsComparatorDiffersEachPlatformKeepsItsOwn) {
    struct pair {
        const char16_t* a;
        const char16_t* b;
        int ours, windows;
    };
    const pair pairs[] = {
        // Digit runs come before any other character there; '.' is below '1' here.
        {u"file1.txt", u"file.txt", 1, -1},
        // Accented letters sort with their base letter there, after 'z' here.
        {u"é", u"f", 1, -1},
        {u"ä", u"b", 1, -1},
        // Symbols come before letters there; '~' is above 'a' here.
        {u"~a", u"a", 1, -1},
    };
    for (const pair& p : pairs) {
#ifdef _WIN32
        const int expected = p.windows;
#else
        const int expected = p.ours;
#endif
        EXPECT_EQ(sign(platform::compare_logical(p.a, p.b)), expected) << platform::utf16_to_utf8(p.a);
    }
}

TEST(Codepage, AsciiIsUnchangedAndHighBytesFollowCp1252) {
    const uint8_t ascii[] = {'R', 'E', 'A', 'D', 'M', 'E', ' ', '1'};
    EXPECT_EQ(platform::ansi_to_utf16(ascii, sizeof ascii), u"README 1");
#ifdef _WIN32
    // The system's table (an ANSI code page of 1252 here) maps the five
    // unassigned bytes to the C1 controls of the same value; ours maps them
    // to U+FFFD.
    ASSERT_EQ(GetACP(), 1252u) << "run with a Western locale, such as LANG=C.UTF-8";
    const char16_t unassigned = 0x81;
#else
    const char16_t unassigned = 0xFFFD;
#endif
    const uint8_t high[] = {0x80, 0xE9, 0x9F, 0x81};
    EXPECT_EQ(platform::ansi_to_utf16(high, sizeof high), std::u16string(u"€éŸ") + unassigned);
    EXPECT_EQ(platform::ansi_to_utf16(nullptr, 4), u"");
}

// Short names written by a Chinese system, with code page 936 selected:
// OSTREL_CODEPAGE=936 on POSIX, a Chinese locale under Windows (ctest runs
// this once so; see tests/CMakeLists.txt). Skipped otherwise.
TEST(Codepage, ChineseShortNamesFollowCodePage936WhenSelected) {
    const char* selected = std::getenv("OSTREL_TEST_CODEPAGE");
    if (!selected || std::strcmp(selected, "936") != 0) GTEST_SKIP() << "code page 936 not selected";
#ifdef _WIN32
    ASSERT_EQ(GetACP(), 936u) << "needs the zh_CN.UTF-8 locale: localedef -i zh_CN -f UTF-8 zh_CN.UTF-8";
#endif
    const uint8_t name[] = {0xD6, 0xD0, 0xCE, 0xC4, '1', '.', 'T', 'X', 'T'};
    EXPECT_EQ(platform::ansi_to_utf16(name, sizeof name), u"中文1.TXT");
    // A lead byte with nothing after it: the system gives '?', we give U+FFFD.
    const uint8_t cut[] = {'A', 0xD6};
#ifdef _WIN32
    EXPECT_EQ(platform::ansi_to_utf16(cut, sizeof cut), u"A?");
#else
    EXPECT_EQ(platform::ansi_to_utf16(cut, sizeof cut), u"A\uFFFD");
#endif
}

TEST(WideText, RoundTripsAndReplacesInvalidBytes) {
    const std::string text = "日本語 café 😀";
    EXPECT_EQ(platform::utf16_to_utf8(platform::utf8_to_utf16(text)), text);
    EXPECT_EQ(platform::utf8_to_utf16("a\xff"), u"a\uFFFD");
    EXPECT_EQ(platform::utf8_to_utf16("\xe6\x97"), u"\uFFFD");  // cut-off sequence
}

TEST(DescriptorIo, WideNamesReachTheFileSystemAndExclusiveCreateRefusesAnExistingFile) {
    test::scratch_dir dir;
    const std::filesystem::path name = dir.path() / std::filesystem::path(u8"日本語 ünï 😀.bin");
    const std::u16string path = name.u16string();
    const int fd = platform::create_exclusive(path.c_str());
    ASSERT_GT(fd, 0);
    EXPECT_EQ(platform::write_some(fd, "abc", 3), 3);
    platform::close_descriptor(fd);
    EXPECT_EQ(test::read_file(name), (std::vector<uint8_t>{'a', 'b', 'c'}));

    platform::clear_error();
    EXPECT_EQ(platform::create_exclusive(path.c_str()), -1);
    EXPECT_EQ(platform::last_error(), platform::error_file_exists);
    EXPECT_EQ(test::read_file(name).size(), 3u);

    const int in = platform::open_read_shared(path.c_str(), true);
    ASSERT_GT(in, 0);
    char back[4] = {};
    EXPECT_EQ(platform::read_some(in, back, 4), 3);
    EXPECT_STREQ(back, "abc");
    platform::close_descriptor(in);
}

TEST(DescriptorIo, OffsetsPastFourGibibytesSeekAndPositionedReadsKeepThePosition) {
    test::scratch_dir dir;
    const std::vector<uint8_t> bytes = test::pattern_bytes(4096, 9);
    test::write_file(dir / "f", bytes);
    const std::u16string path = (dir / "f").u16string();
    const int fd = platform::open_read_shared(path.c_str(), false);
    ASSERT_GT(fd, 0);
    const int64_t past_4g = int64_t{5} << 30;
    EXPECT_EQ(platform::seek_to(fd, past_4g), past_4g);
    EXPECT_EQ(platform::tell(fd), past_4g);
    uint8_t buffer[16];
    EXPECT_EQ(platform::read_some_at(fd, buffer, sizeof buffer, 4000), 16);
    EXPECT_EQ(0, std::memcmp(buffer, bytes.data() + 4000, 16));
    EXPECT_EQ(platform::tell(fd), past_4g);
    EXPECT_EQ(platform::read_some_at(fd, buffer, sizeof buffer, past_4g + 512), 0);  // past the end
    EXPECT_EQ(platform::tell(fd), past_4g);
    EXPECT_EQ(platform::seek_to(fd, -1), -1);
    EXPECT_EQ(platform::tell(fd), past_4g);
    platform::close_descriptor(fd);
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
    const std::tuple<unsigned, unsigned, unsigned, bool> cases[] = {
        {6, 4, 9879, true}, {6, 4, 9841, true}, {6, 4, 9880, false}, {6, 3, 9600, false}, {10, 0, 19045, true},
        {5, 1, 2600, false}};
    for (const auto& [major, minor, build, ten] : cases) {
        EXPECT_EQ(platform::counts_as_windows10(major, minor, build), ten) << major << "." << minor << "." << build;
    }
}

#ifdef _WIN32
// The version the system records for itself (under wine: the one its prefix
// is set to, which `winecfg -v win10` chooses) decides the query.
TEST(OsVersion, TheQueryFollowsTheVersionTheSystemRecords) {
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    auto number = [&](const wchar_t* value, DWORD& out) {
        DWORD size = sizeof out;
        return RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_DWORD, nullptr, &out, &size) == ERROR_SUCCESS;
    };
    auto text = [&](const wchar_t* value) {
        wchar_t buffer[64] = {};
        DWORD size = sizeof buffer;
        RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, buffer, &size);
        return std::wstring(buffer);
    };
    DWORD major = 0, minor = 0;
    // Windows 10 keeps "6.3" in CurrentVersion for old programs and its real
    // numbers in values of their own.
    if (!number(L"CurrentMajorVersionNumber", major) || !number(L"CurrentMinorVersionNumber", minor)) {
        const std::wstring version = text(L"CurrentVersion");
        ASSERT_EQ(swscanf(version.c_str(), L"%lu.%lu", &major, &minor), 2);
    }
    const DWORD build = wcstoul(text(L"CurrentBuildNumber").c_str(), nullptr, 10);
    EXPECT_EQ(platform::query_is_windows10(), platform::counts_as_windows10(major, minor, build))
        << major << "." << minor << "." << build;
}
#endif

class LocalTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz) old_tz_ = tz;
    }
    void TearDown() override {
        test::set_env("TZ", had_tz_ ? old_tz_.c_str() : nullptr);
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
    test::set_env("TZ", "UTC");
    tzset();
    EXPECT_EQ(ntfs_text(stamp), "2020/01/02 03:04:05");
    test::set_env("TZ", "XST-8");  // POSIX form: needs no zone files
    tzset();
    EXPECT_EQ(ntfs_text(stamp), "2020/01/02 11:04:05");
    EXPECT_EQ(ntfs_text(0), "");
}

#if !defined(_WIN32)
TEST_F(LocalTime, AgreesWithTheSystemAcrossOffsetChanges) {
    // Summer time starting and ending at 02:00, a half-hour summer shift, an
    // offset of 5:45, one of odd seconds (as before standard time), and a
    // zone change between conversions: every 7 min 13 s over a year, each as
    // the system converts it.
    for (const char* zone :
         {"EST5EDT,M3.2.0,M11.1.0", "LHST-10:30LHDT-11,M10.1.0,M4.1.0", "NPT-5:45", "LMT-0:53:28", "UTC0"}) {
        test::set_env("TZ", zone);
        tzset();
        for (int64_t t = 1672531200; t < 1672531200 + 366 * 86400; t += 433) {
            std::tm ours{}, system{};
            const time_t value = static_cast<time_t>(t);
            ASSERT_TRUE(platform::to_local_time(t, ours));
            ASSERT_NE(localtime_r(&value, &system), nullptr);
            ASSERT_EQ(std::tie(ours.tm_year, ours.tm_yday, ours.tm_hour, ours.tm_min, ours.tm_sec, ours.tm_isdst),
                      std::tie(system.tm_year, system.tm_yday, system.tm_hour, system.tm_min, system.tm_sec,
                               system.tm_isdst))
                << zone << " at " << t;
        }
    }
}
#endif

}  // namespace
}  // namespace ostrel
