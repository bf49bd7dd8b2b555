// Where recovered files go: engine paths to destinations under the output
// folder, names that must not escape it, and collisions within one run.
#include <gtest/gtest.h>

#include "cli/paths.h"

namespace ostrel::cli {
namespace {

using parts = std::vector<std::string>;

TEST(RecoverDestination, DropsTheRootOrDriveButKeepsTheRest) {
    EXPECT_EQ(tree_destination("\\docs\\a.txt", ""), (parts{"docs", "a.txt"}));
    EXPECT_EQ(tree_destination("ROOT\\docs\\a.txt", "ROOT"), (parts{"docs", "a.txt"}));
    // A former path from the recycle bin: the drive letter goes, the place stays.
    EXPECT_EQ(tree_destination("C:\\Users\\x\\a.txt", ""), (parts{"Users", "x", "a.txt"}));
    EXPECT_EQ(tree_destination("d:\\a.txt", "ROOT"), (parts{"a.txt"}));
    // Only the first component is ever dropped, and a lone name is kept.
    EXPECT_EQ(tree_destination("docs\\C:\\a.txt", "ROOT"), (parts{"docs", "C:", "a.txt"}));
    EXPECT_EQ(tree_destination("a.txt", "a.txt"), (parts{"a.txt"}));
    EXPECT_EQ(tree_destination("CC:\\a.txt", ""), (parts{"CC:", "a.txt"}));
}

TEST(RecoverDestination, NamesFromADamagedDiskStayInsideTheOutputFolder) {
    EXPECT_EQ(tree_destination("\\..\\..\\etc\\passwd", ""), (parts{"_..", "_..", "etc", "passwd"}));
    EXPECT_EQ(tree_destination("\\.\\a", ""), (parts{"_.", "a"}));
    EXPECT_EQ(tree_destination("\\a/b\\\\c", ""), (parts{"a_b", "_", "c"}));
    const std::string long_name = std::string(300, 'x') + ".jpeg";
    const std::string shortened = safe_component(long_name);
    EXPECT_EQ(shortened.size(), 255u);
    EXPECT_TRUE(shortened.ends_with(".jpeg"));
    // Shortening never splits a UTF-8 character.
    const std::string greek = safe_component(std::string(1, 'a') + [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += "\xce\xb1";  // U+03B1
        return s;
    }());
    EXPECT_LE(greek.size(), 255u);
    EXPECT_EQ(greek.size() % 2, 1u);
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
}

TEST(RecoverDestination, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(numbered_name("archive.tar.gz", 2), "archive.tar (2).gz");
    EXPECT_EQ(numbered_name("README", 3), "README (3)");
    EXPECT_EQ(numbered_name(".profile", 2), ".profile (2)");
    EXPECT_EQ(numbered_name(std::string(255, 'n'), 2).size(), 255u);
}

}  // namespace
}  // namespace ostrel::cli
