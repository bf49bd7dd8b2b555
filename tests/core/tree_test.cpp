// The node tree and how its nodes reach the host.
#include <gtest/gtest.h>

#include "core/node.h"
#include "core/report/report.h"
#include "ostrel/ostrel.h"
#include "tests/support/nodes.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::recording_host;

using test::add_folder;
using test::file_named;
using test::folder_named;

std::vector<std::u16string> file_names(const tagFolderInfo& folder) {
    std::vector<std::u16string> names;
    for (const auto& [key, file] : folder.files) names.push_back(file->name_text());
    return names;
}

TEST(FolderMaps, KeepNaturalOrderAndEqualNamesInInsertionOrder) {
    auto root = folder_named(u"");
    auto first = file_named(u"File");
    auto second = file_named(u"file");
    for (auto& file : {file_named(u"file10"), first, file_named(u"file2"), second, file_named(u"a")}) {
        root->insert_file_unreported(file->name, file);
    }
    EXPECT_EQ(file_names(*root), (std::vector<std::u16string>{u"a", u"File", u"file", u"file2", u"file10"}));
    // Equal keys: the later insertion stands after the earlier one.
    const auto [begin, end] = root->files.equal_range(make_name(u"FILE"));
    ASSERT_EQ(std::distance(begin, end), 2);
    EXPECT_EQ(begin->second, first);
    EXPECT_EQ(std::next(begin)->second, second);
}

TEST(FileNodes, CloneSharesTheNameAndParentButNotTheHandle) {
    auto root = folder_named(u"root");
    auto file = file_named(u"x.txt");
    file->size = 42;
    file->runs = {{5, 2}};
    root->insert_file_unreported(file->name, file);
    const auto copy = file->clone();
    EXPECT_NE(copy->handle(), file->handle());
    EXPECT_EQ(copy->name, file->name);
    EXPECT_EQ(copy->parent.lock(), root);
    EXPECT_EQ(copy->size, 42u);
    EXPECT_EQ(copy->runs, file->runs);
    EXPECT_EQ(tree_node::from_handle(copy->handle()), copy.get());
}

class Reporting : public ::testing::Test {
protected:
    std::vector<std::string> names() const {
        std::vector<std::string> sent;
        for (const auto& item : host.items) sent.push_back(item.name);
        return sent;
    }
    recording_host host;
};

TEST_F(Reporting, AddingAChildReportsItWithItsParentsHandleAndGroup) {
    auto root = folder_named(u"root");
    host.mirror_tree = false;
    auto sub = folder_named(u"sub");
    root->group = 2;
    root->add_folder(sub->name, sub);
    auto file = file_named(u"a.txt");
    sub->add_file(file->name, file);
    ASSERT_EQ(host.items.size(), 2u);
    EXPECT_EQ(host.items[0].kind, OSTREL_KIND_FOLDER);
    EXPECT_EQ(host.items[0].group, 2u);  // the parent's group
    EXPECT_EQ(host.items[0].record.parent, root->handle());
    EXPECT_EQ(host.items[1].kind, OSTREL_KIND_FILE);
    EXPECT_EQ(host.items[1].record.handle, file->handle());
    EXPECT_EQ(host.items[1].record.parent, sub->handle());
    EXPECT_EQ(host.items[1].name, "a.txt");
}

TEST_F(Reporting, UnknownParentsAreReportedFirstThenTheItemAgain) {
    auto root = folder_named(u"root");
    auto b = add_folder(add_folder(root, u"a"), u"b");
    auto file = file_named(u"f.bin");
    b->add_file(file->name, file);
    // f refused, b refused, a refused, root accepted, then a, b, f.
    EXPECT_EQ(names(), (std::vector<std::string>{"root", "a", "b", "f.bin"}));
    EXPECT_EQ(host.mirrored_path(file->handle()), "root\\a\\b\\f.bin");
    EXPECT_EQ(host.refused.size(), 3u);
}

TEST_F(Reporting, ADeletedFilesUnknownParentComesInGroupFour) {
    auto root = folder_named(u"root");
    report_folder(OSTREL_KIND_FOLDER, root, nullptr, 0);
    auto sub = add_folder(root, u"sub");
    auto file = file_named(u"gone.txt", true);
    sub->add_file(file->name, file);
    ASSERT_EQ(host.items.size(), 3u);
    EXPECT_EQ(host.items[1].name, "sub");
    EXPECT_EQ(host.items[1].group, OSTREL_GROUP_DELETED_PARENT);
    EXPECT_EQ(host.items[2].group, 0u);  // the file keeps its own group
}

TEST_F(Reporting, AnOverrideGroupIsUsedForTheParentsToo) {
    auto root = folder_named(u"root");
    report_folder(OSTREL_KIND_FOLDER, root, nullptr, 0);
    auto file = file_named(u"x", true);
    add_folder(root, u"lost")->insert_file_unreported(file->name, file);
    const uint32_t group = OSTREL_GROUP_LOST;
    report_file(OSTREL_KIND_FILE, file, &group, 0);
    ASSERT_EQ(host.items.size(), 3u);
    EXPECT_EQ(host.items[1].group, OSTREL_GROUP_LOST);
    EXPECT_EQ(host.items[2].group, OSTREL_GROUP_LOST);
}

TEST_F(Reporting, RecordsAreZeroedAndANamelessNodeSendsNull) {
    host.mirror_tree = false;
    auto file = std::make_shared<plain_file_info>();
    file->name.reset();
    report_file(OSTREL_KIND_FILE, file, nullptr, 0x77);
    ASSERT_EQ(host.items.size(), 1u);
    EXPECT_TRUE(host.items[0].name_null);
    EXPECT_EQ(host.items[0].record.parent, 0x77u);
    EXPECT_EQ(host.items[0].created, "");
    EXPECT_EQ(host.items[0].record.reserved[0] | host.items[0].record.reserved[1] | host.items[0].record.reserved[2], 0);
    // A node whose name was never set reports an empty string, not null.
    auto unnamed = std::make_shared<plain_file_info>();
    report_file(OSTREL_KIND_FILE, unnamed, nullptr, 0);
    EXPECT_FALSE(host.items[1].name_null);
}

TEST_F(Reporting, RenamedFilesKeepTheirHandle) {
    host.mirror_tree = false;
    auto file = file_named(u"$RABC.txt");
    report_file(OSTREL_KIND_FILE, file, nullptr, 0);
    file->set_name(u"report.txt");
    report_file(OSTREL_KIND_FILE_RENAMED, file, nullptr, 0);
    ASSERT_EQ(host.items.size(), 2u);
    EXPECT_EQ(host.items[0].record.handle, host.items[1].record.handle);
    EXPECT_EQ(host.items[1].name, "report.txt");
}

TEST_F(Reporting, FolderTreeIsBreadthFirstWithoutRootOrFiles) {
    host.mirror_tree = false;
    auto root = folder_named(u"root");
    add_folder(root, u"b");
    auto a = add_folder(root, u"a");
    add_folder(a, u"a1");
    auto f = file_named(u"f");
    a->insert_file_unreported(f->name, f);
    report_folder_tree(root);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "a1"}));
}

TEST_F(Reporting, NoRecordMeansNoReportButTheNodeIsStillAttached) {
    host.fail_alloc = true;
    auto root = folder_named(u"root");
    auto file = file_named(u"f");
    root->add_file(file->name, file);
    EXPECT_TRUE(host.items.empty());
    EXPECT_EQ(root->files.size(), 1u);
}

}  // namespace
}  // namespace ostrel
