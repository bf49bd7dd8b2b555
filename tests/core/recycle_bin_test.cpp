// Recycle-bin restoration: "$I" companions decoded from bytes, and whole bins
// restored over a device image whose clusters hold the companions.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/recycle/recycle_bin.h"
#include "core/report/report.h"
#include "engine/host_table.h"
#include "tests/support/fake_engine.h"
#include "tests/support/files.h"
#include "tests/support/nodes.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::add_file;
using test::add_folder;

constexpr uint64_t volume_bytes = 2048 * 512;  // the fake engine's default volume
constexpr uint32_t cluster_bytes = 4096;

// A companion as Windows writes it: the older layout is a fixed 544 bytes
// with the path at 24; the Windows 10 layout stores the path's length at 24
// and the path at 28.
std::vector<uint8_t> companion_bytes(std::u16string_view path, bool windows10_layout, uint64_t former_size = 1234) {
    std::vector<uint8_t> bytes(windows10_layout ? 28 : 24, 0);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = uint8_t(former_size >> (8 * i));
    if (windows10_layout) bytes[24] = uint8_t(path.size() + 1);
    for (char16_t unit : path) bytes.insert(bytes.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    bytes.resize(std::max<size_t>(bytes.size() + 2, windows10_layout ? 0 : 544), 0);
    return bytes;
}

TEST(CompanionRecord, BothLayoutsAndWhatCannotBeARealRecord) {
    const auto older = companion_bytes(u"C:\\a\\b.txt", false), newer = companion_bytes(u"d:\\x\\y.txt", true);
    auto lookalike = newer, open_ended = newer;
    lookalike[24] = 'C', lookalike[26] = ':';
    open_ended.pop_back(), open_ended.back() = 'Z';
    // {bytes, Windows 10, the former path or "-" when rejected}. Before
    // Windows 10 the length field stands where the path is sought, and is
    // taken for one when it happens to read as "C:". Without a terminator the
    // path ends with the last whole unit.
    const std::tuple<std::vector<uint8_t>, bool, std::u16string> cases[] = {
        {older, false, u"C:\\a\\b.txt"},           {older, true, u"C:\\a\\b.txt"},
        {newer, true, u"d:\\x\\y.txt"},            {newer, false, u"-"},
        {lookalike, false, u"C:d:\\x\\y.txt"},     {open_ended, true, u"d:\\x\\y.txt"},
        {std::vector<uint8_t>(newer.begin(), newer.begin() + 29), true, u"-"},
        {companion_bytes(u"C:\\a\\b.txt", true, volume_bytes), true, u"-"},
        {companion_bytes(u"C:\\a\\b.txt", true, volume_bytes - 1), true, u"C:\\a\\b.txt"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [bytes, windows10, path] = cases[i];
        const auto record = parse_companion(bytes, volume_bytes, windows10);
        EXPECT_EQ(record ? record->former_path : u"-", path) << i;
    }
    // A drive letter and colon open the path; a backslash and a name end it.
    for (const char16_t* path : {u"C:b.txt", u"C:/a/b.txt", u"1:\\a\\b.txt", u"\u00C4:\\a\\b.txt", u"\\\\srv\\b.txt",
                                 u"C:\\a\\"}) {
        EXPECT_FALSE(parse_companion(companion_bytes(path, true), volume_bytes, true));
    }
}

TEST(RecycleBinPath, TheFirstComponentNamesTheBinInAnyCase) {
    EXPECT_TRUE(is_recycle_bin_path(u"\\$Recycle.Bin\\S-1-5-21\\") && is_recycle_bin_path(u"/$RECYCLE.BIN"));
    EXPECT_FALSE(is_recycle_bin_path(u"Users\\$RECYCLE.BIN") || is_recycle_bin_path(u""));
}

// An engine of a chosen file-system type that counts the folders it makes.
class bin_engine : public test::fake_engine {
public:
    using fake_engine::fake_engine;
    int32_t fs_type() const override { return type; }
    std::shared_ptr<tagFolderInfo> make_folder() const override {
        ++folders_made;
        return std::make_shared<plain_folder_info>();
    }
    int32_t type = 3;
    mutable int folders_made = 0;
};

// The subfolder named `name`, when there is exactly one.
std::shared_ptr<tagFolderInfo> only_subfolder(const tagFolderInfo& folder, const std::u16string& name) {
    const auto [first, last] = folder.folders.equal_range(make_name(name));
    return std::distance(first, last) == 1 ? first->second : nullptr;
}

using report = std::tuple<uint32_t, uintptr_t, uintptr_t>;  // kind, handle, parent

// A root holding "$RECYCLE.BIN", companions written into the clusters of a
// device image, and a host that records exactly what the restoration sends.
class RecycleBinRestore : public ::testing::Test {
protected:
    RecycleBinRestore() { is_windows10.store(1); }
    ~RecycleBinRestore() override { is_windows10.store(saved_windows10); }

    // A file named `name` in `folder` whose data, in a cluster of its own, is
    // `bytes`.
    void add_companion(const std::shared_ptr<tagFolderInfo>& folder, const std::u16string& name,
                       const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), image.begin() + next_cluster * cluster_bytes);
        auto file = add_file(folder, name);
        file->size = bytes.size();
        file->runs = {{next_cluster++, 1}};
    }
    // A recycled file "$R<id>", and its companion "$I<id>" naming `former_path`.
    std::shared_ptr<tagFileInfo> recycle_file(const std::shared_ptr<tagFolderInfo>& folder, const std::u16string& id,
                                              const std::u16string& former_path, bool windows10_layout = true) {
        add_companion(folder, u"$I" + id, companion_bytes(former_path, windows10_layout));
        return add_file(folder, u"$R" + id);
    }
    void restore(bool inside_bin = false, int32_t type = 3) {
        test::write_file(dir / "device.img", image);
        const test::open_file device(dir / "device.img");
        engine = std::make_unique<bin_engine>(device.fd(), cluster_bytes);
        engine->type = type;
        host.clear();
        host.mirror_tree = false;  // record every report, known parent or not
        restore_recycle_bin(*engine, inside_bin, root);
    }

    std::u16string full_path(const tree_node& node) const {
        char16_t buffer[512] = {};
        engine->full_path(node, buffer, 512);
        return buffer;
    }
    std::vector<report> reports() const {
        std::vector<report> sent;
        for (const auto& item : host.items) sent.emplace_back(item.kind, item.record.handle, item.record.parent);
        return sent;
    }
    size_t times_sent(uint32_t kind, const tree_node& node, const tree_node& parent) const {
        return std::ranges::count(reports(), report{kind, node.handle(), parent.handle()});
    }

    const uint8_t saved_windows10 = is_windows10.load();  // before the host's initialize sets it
    test::recording_host host;
    test::scratch_dir dir;
    std::vector<uint8_t> image = std::vector<uint8_t>(64 * cluster_bytes, 0);
    uint64_t next_cluster = 1;
    std::unique_ptr<bin_engine> engine;
    std::shared_ptr<tagFolderInfo> root = std::make_shared<plain_folder_info>();
    std::shared_ptr<tagFolderInfo> bin = add_folder(root, u"$RECYCLE.BIN");
};

TEST_F(RecycleBinRestore, AFileGetsItsNameIndexAndACopyInFoldersCreatedOnce) {
    auto users = add_folder(root, u"Users");  // already on the volume
    users->group = 9;
    const std::u16string former = u"C:\\Users\\x\\Documents\\report.docx";
    auto item = recycle_file(bin, u"ABC.docx", former);
    auto sibling = recycle_file(bin, u"DEF.txt", u"c:\\users/X\\documents\\notes.txt", false);
    restore();

    EXPECT_EQ(item->name_text(), u"report.docx");
    EXPECT_EQ(sibling->name_text(), u"notes.txt");
    // Users is reused; x and Documents are made once, by the engine, deleted,
    // in Users' group.
    EXPECT_EQ(engine->folders_made, 2);
    auto x = only_subfolder(*users, u"x");
    auto documents = x ? only_subfolder(*x, u"Documents") : nullptr;
    ASSERT_TRUE(documents);
    for (const auto& made : {x, documents}) EXPECT_TRUE(made->deleted == 1 && made->group == 9);
    ASSERT_EQ(documents->files.size(), 2u);
    auto copy = documents->files.find(item->name)->second, sibling_copy = documents->files.begin()->second;
    EXPECT_NE(copy, item);
    EXPECT_EQ(full_path(*item), former);
    EXPECT_EQ(full_path(*copy), former);
    // The rename, the new folders, then the copy, each under its parent.
    EXPECT_EQ(reports(), (std::vector<report>{{item_kind_file_renamed, item->handle(), bin->handle()},
                                              {item_kind_folder, x->handle(), users->handle()},
                                              {item_kind_folder, documents->handle(), x->handle()},
                                              {item_kind_file, copy->handle(), documents->handle()},
                                              {item_kind_file_renamed, sibling->handle(), bin->handle()},
                                              {item_kind_file, sibling_copy->handle(), documents->handle()}}));
    // The bin keeps the old entry and silently gains the item and its copy
    // under the new name.
    EXPECT_EQ(bin->files.count(make_name(u"$RABC.docx")), 1u);
    EXPECT_EQ(bin->files.count(item->name), 2u);
}

TEST_F(RecycleBinRestore, CompanionsAreFoundIgnoringCaseReadUpToALimitAndDecodedOrLeftAlone) {
    // No companion, a rejected one (as the decoding test rejects them), and a
    // rejected one before a sound one of the same name: the first decides.
    std::vector<std::shared_ptr<tagFileInfo>> left_alone = {add_file(bin, u"$RNONE.txt"),
                                                            recycle_file(bin, u"FLAT.txt", u"C:flat.txt", false),
                                                            add_file(bin, u"$RTWICE.txt")};
    add_companion(bin, u"$ITWICE.txt", {});
    add_companion(bin, u"$itwice.txt", companion_bytes(u"C:\\a\\twice.txt", false));
    auto found = add_file(bin, u"$Rabc.txt");
    add_companion(bin, u"$IABC.TXT", companion_bytes(u"C:\\a\\found.txt", false));
    // A terabyte could not be read; a capped read still finds the path.
    auto huge = recycle_file(bin, u"HUGE.txt", u"C:\\h\\huge.txt", false);
    bin->files.find(make_name(u"$IHUGE.txt"))->second->size = uint64_t{1} << 40;
    // The Windows 10 layout is read only on Windows 10.
    auto newer = recycle_file(bin, u"NEW.txt", u"C:\\n\\newer.txt", true);
    left_alone.push_back(newer);
    is_windows10.store(0);
    restore();

    EXPECT_EQ(found->name_text(), u"found.txt");
    EXPECT_EQ(huge->name_text(), u"huge.txt");
    for (const auto& item : left_alone) {
        EXPECT_EQ(item->name_text().substr(0, 2), u"$R");
        EXPECT_EQ(times_sent(item_kind_file_renamed, *item, *bin), 0u);
    }
    is_windows10.store(1);
    restore();
    EXPECT_EQ(newer->name_text(), u"newer.txt");
}

TEST_F(RecycleBinRestore, ARecycledFolderIsRenamedAndItsSubtreeCopied) {
    auto item = add_folder(bin, u"$RPROJ");
    auto deep = add_file(add_folder(item, u"sub"), u"deep.bin");
    add_companion(bin, u"$IPROJ", companion_bytes(u"C:\\Work\\Project", true));
    restore();

    // What lies inside the recycled folder takes its path from the folder's.
    EXPECT_EQ(full_path(*deep), u"C:\\Work\\Project\\sub\\deep.bin");
    auto work = only_subfolder(*root, u"Work");
    auto project = work ? only_subfolder(*work, u"Project") : nullptr;
    auto sub = project ? only_subfolder(*project, u"sub") : nullptr;
    ASSERT_TRUE(sub && sub->files.size() == 1);
    EXPECT_EQ(engine->folders_made, 2);
    EXPECT_EQ(project->deleted, 1);
    auto deep_copy = sub->files.begin()->second;
    EXPECT_NE(deep_copy, deep);
    EXPECT_EQ(times_sent(item_kind_folder_renamed, *item, *bin), 1u);
    EXPECT_EQ(times_sent(item_kind_folder, *sub, *project), 1u);
    EXPECT_EQ(times_sent(item_kind_file, *deep_copy, *sub), 1u);
    // The originals stay; the folder is re-keyed in the bin, not cloned.
    EXPECT_EQ(item->folders.size(), 1u);
    EXPECT_EQ(bin->folders.count(make_name(u"Project")), 1u);
}

TEST_F(RecycleBinRestore, InsideTheBinItemsAreRenamedButNotCopied) {
    auto file = recycle_file(bin, u"F.txt", u"C:\\Users\\x\\f.txt");
    auto folder = add_folder(bin, u"$RD");
    add_companion(bin, u"$ID", companion_bytes(u"C:\\Users\\x\\Dir", true));
    restore(true);

    EXPECT_EQ(reports(), (std::vector<report>{{item_kind_file_renamed, file->handle(), bin->handle()},
                                              {item_kind_folder_renamed, folder->handle(), bin->handle()}}));
    EXPECT_EQ(folder->name_text(), u"Dir");
    EXPECT_EQ(full_path(*file), u"C:\\Users\\x\\f.txt");
    EXPECT_EQ(root->folders.size(), 1u);  // nothing at the former places
}

TEST_F(RecycleBinRestore, EachUserFolderAndTheFirstBinItselfOnEveryFileSystem) {
    bin->set_name(u"$Recycle.Bin");  // any case names the bin
    auto in_a = recycle_file(add_folder(bin, u"S-1-5-21-100"), u"A.txt", u"C:\\a.txt");
    auto in_b = recycle_file(add_folder(bin, u"S-1-5-21-200"), u"B.txt", u"C:\\b.txt");
    auto at_top = recycle_file(bin, u"T.txt", u"C:\\t.txt");
    // A recycled folder is an item of the bin, not a folder of pairs.
    auto recycled = add_folder(bin, u"$RDIR");
    auto inner = recycle_file(recycled, u"X.txt", u"C:\\x.txt");
    auto second_bin = recycle_file(add_folder(root, u"$recycle.bin"), u"2.txt", u"C:\\two.txt");
    for (int32_t type : {4, 3, 5}) {
        SCOPED_TRACE(type);
        in_a->set_name(u"$RA.txt"), in_b->set_name(u"$RB.txt"), at_top->set_name(u"$RT.txt");
        restore(false, type);
        EXPECT_EQ(in_a->name_text(), u"a.txt");
        EXPECT_EQ(in_b->name_text(), u"b.txt");
        EXPECT_EQ(at_top->name_text(), u"t.txt");
        EXPECT_EQ(inner->name_text(), u"$RX.txt");
        EXPECT_EQ(second_bin->name_text(), u"$R2.txt");
    }
}

TEST_F(RecycleBinRestore, FormerPathsLeadingBackIntoTheBinEnd) {
    // A copy landing in the bin under a "$R" name is not restored again.
    recycle_file(bin, u"LOOP", u"C:\\$RECYCLE.BIN\\$RLOOP");
    // A folder whose former place lies inside itself is copied there once.
    auto folder = add_folder(bin, u"$RSELF");
    add_file(folder, u"kept.txt");
    add_folder(folder, u"child");
    add_companion(bin, u"$ISELF", companion_bytes(u"C:\\$RECYCLE.BIN\\$RSELF\\child", true));
    restore();

    // The item under its old and new keys, its copy at the former place (the
    // bin) and under the restored entries.
    EXPECT_EQ(bin->files.count(make_name(u"$RLOOP")), 4u);
    auto child = only_subfolder(*folder, u"child");
    ASSERT_TRUE(child);
    EXPECT_EQ(child->files.size(), 1u);
    EXPECT_TRUE(child->folders.empty());
}

}  // namespace
}  // namespace ostrel
