// Where recovered files go: names made safe for the output disk (and back),
// former paths, and collisions within one run.
#include <gtest/gtest.h>

#include "cli/paths.h"

namespace ostrel::cli {
namespace {

using parts = std::vector<std::string>;

TEST(RecoverDestination, UnsafeNamesAreEncodedReversiblyAndOrdinaryOnesKept) {
    struct sample {
        std::string name, posix, windows;
    };
    const std::vector<sample> samples = {
        {"report.txt", "report.txt", "report.txt"},
        {"100% sure.txt", "100% sure.txt", "100% sure.txt"},
        {"%41 literal.txt", "%2541 literal.txt", "%2541 literal.txt"},
        {".", "%2E", "%2E"},
        {"..", "%2E%2E", "%2E%2E"},
        {"", "%00", "%00"},
        {"a/b\\c", "a%2Fb%5Cc", "a%2Fb%5Cc"},
        {"\x1b[31mred\nline", "%1B[31mred%0Aline", "%1B[31mred%0Aline"},
        {"c1 \xc2\x9b here", "c1 %C2%9B here", "c1 %C2%9B here"},
        {"copy.txt.partial", "copy.txt%2Epartial", "copy.txt%2Epartial"},
        {"what? <a|b>: \"x\"*", "what? <a|b>: \"x\"*", "what%3F %3Ca%7Cb%3E%3A %22x%22%2A"},
        {"trailing dot.", "trailing dot.", "trailing dot%2E"},
        {"日本語 ü.txt", "日本語 ü.txt", "日本語 ü.txt"},
    };
    for (const sample& s : samples) {
        EXPECT_EQ(encode_name(s.name), s.posix) << s.name;
        EXPECT_EQ(encode_name(s.name, true), s.windows) << s.name;
        EXPECT_EQ(decode_name(s.posix), s.name) << s.posix;
        EXPECT_EQ(decode_name(s.windows), s.name) << s.windows;
    }
    // Long names are cut at 255 bytes (or less), keeping the extension and
    // never splitting a character or an escape.
    const std::string long_name = std::string(300, 'x') + ".jpeg";
    EXPECT_EQ(encode_name(long_name).size(), 255u);
    EXPECT_TRUE(encode_name(long_name).ends_with(".jpeg"));
    std::string greek = "a";
    for (int i = 0; i < 200; ++i) greek += "\xce\xb1";  // U+03B1
    EXPECT_EQ(encode_name(greek).size() % 2, 1u);
    const std::string escapes = encode_name(std::string(100, '\n'), false, 247);
    EXPECT_EQ(escapes.size() % 3, 0u);
    EXPECT_LE(escapes.size(), 247u);
}

TEST(RecoverDestination, FormerPathsLoseTheirDriveAndEmptyComponents) {
    EXPECT_EQ(former_path_parts("C:\\Users\\x\\a.txt"), (parts{"Users", "x", "a.txt"}));
    EXPECT_EQ(former_path_parts("\\\\server\\share\\a.txt"), (parts{"server", "share", "a.txt"}));
    EXPECT_EQ(former_path_parts("docs\\C:\\a.txt"), (parts{"docs", "C:", "a.txt"}));
    EXPECT_EQ(former_path_parts("C:orphan.txt"), (parts{"C:orphan.txt"}));
    EXPECT_EQ(former_path_parts("C:\\..\\a"), (parts{"..", "a"}));  // encoded later, never walked
}

TEST(RecoverDestination, LaterCollisionsGetNumberedNames) {
    destination_claims claims;
    bool renamed = true;
    EXPECT_EQ(claims.claim({"docs", "a.txt"}, renamed), (parts{"docs", "a.txt"}));
    EXPECT_FALSE(renamed);
    EXPECT_EQ(claims.claim({"docs", "a.txt"}, renamed), (parts{"docs", "a (2).txt"}));
    EXPECT_TRUE(renamed);
    // Case differences collide too (a case-insensitive output disk).
    EXPECT_EQ(claims.claim({"DOCS", "A.TXT"}, renamed), (parts{"DOCS", "A (3).TXT"}));
    // A name that already looks numbered is not confused with a claimed one.
    EXPECT_EQ(claims.claim({"docs", "a (2).txt"}, renamed), (parts{"docs", "a (2) (2).txt"}));
    EXPECT_EQ(claims.claim({"other", "a.txt"}, renamed), (parts{"other", "a.txt"}));
    EXPECT_FALSE(renamed);
    EXPECT_EQ(numbered_name("archive.tar.gz", 2), "archive.tar (2).gz");
    EXPECT_EQ(numbered_name(".profile", 2), ".profile (2)");
    EXPECT_EQ(numbered_name(std::string(255, 'n'), 2, 247).size(), 247u);
}

}  // namespace
}  // namespace ostrel::cli
