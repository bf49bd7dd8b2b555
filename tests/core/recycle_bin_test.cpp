// Recycle-bin restoration: "$I" companions decoded from bytes, and whole bins
// restored over a device image whose clusters hold the companions.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "core/recover_impl.h"
#include "core/recycle/companion_record.h"
#include "core/recycle/recycle_bin.h"
#include "core/report/report.h"
#include "engine/host_table.h"
#include "tests/support/fake_engine.h"
#include "tests/support/files.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::recording_host;

constexpr uint64_t volume_bytes = 2048 * 512;  // the fake engine's default volume
constexpr uint32_t cluster_bytes = 4096;

// A companion as Windows writes it: the older layout is a fixed 544 bytes
// with the path at 24; the Windows 10 layout stores the path's length at 24
// and the path at 28.
std::vector<uint8_t> companion_bytes(std::u16string_view path, bool windows10_layout, uint64_t former_size = 1234) {
    std::vector<uint8_t> bytes;
    auto put = [&](uint64_t value, int width) {
        for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(windows10_layout ? 2 : 1, 8);
    put(former_size, 8);
    put(0x01D9A0B0C0D0E0F0ull, 8);
    if (windows10_layout) put(path.size() + 1, 4);
    for (char16_t unit : path) put(unit, 2);
    put(0, 2);
    if (!windows10_layout) bytes.resize(std::max<size_t>(bytes.size(), 544), 0);
    return bytes;
}

std::optional<companion_record> parse(const std::vector<uint8_t>& bytes, bool windows10) {
    return parse_companion(bytes, volume_bytes, windows10);
}

TEST(CompanionRecord, TheNewerLayoutIsReadOnlyOnWindows10) {
    const auto older = companion_bytes(u"C:\\a\\b.txt", false, 777);
    for (bool windows10 : {false, true}) {
        const auto record = parse(older, windows10);
        ASSERT_TRUE(record) << windows10;
        EXPECT_EQ(record->former_name, u"b.txt");
        EXPECT_EQ(record->former_path, u"C:\\a\\b.txt");
        EXPECT_EQ(record->former_size, 777u);
    }
    const auto newer = companion_bytes(u"d:\\Users\\x\\report.docx", true);
    ASSERT_TRUE(parse(newer, true));
    EXPECT_EQ(parse(newer, true)->former_name, u"report.docx");
    // Before Windows 10 the length field stands where the path is sought...
    EXPECT_FALSE(parse(newer, false));
    // ...and is taken for one when it happens to read as "C:".
    auto lookalike = companion_bytes(u"D:\\x\\y.txt", true);
    const uint32_t length = u'C' | (uint32_t{u':'} << 16);
    for (int i = 0; i < 4; ++i) lookalike[24 + i] = static_cast<uint8_t>(length >> (8 * i));
    ASSERT_TRUE(parse(lookalike, false));
    EXPECT_EQ(parse(lookalike, false)->former_path, u"C:D:\\x\\y.txt");
}

TEST(CompanionRecord, RejectsWhatCannotBeARealRecord) {
    const auto bytes = companion_bytes(u"C:\\a\\b.txt", false);
    EXPECT_FALSE(parse(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 29), true));
    EXPECT_FALSE(parse({}, true));
    EXPECT_FALSE(parse(std::vector<uint8_t>(64, 0), true));
    // The former size must lie below the volume's size.
    EXPECT_FALSE(parse(companion_bytes(u"C:\\a\\b.txt", false, volume_bytes), false));
    EXPECT_TRUE(parse(companion_bytes(u"C:\\a\\b.txt", false, volume_bytes - 1), false));
    // A drive letter and colon open the path, a backslash ends its folder
    // part and a name follows.
    for (const char16_t* path : {u"C:b.txt", u"C:/a/b.txt", u"1:\\a\\b.txt", u"\u00C4:\\a\\b.txt",
                                 u"\\\\server\\share\\b.txt", u"C:\\a\\"}) {
        EXPECT_FALSE(parse(companion_bytes(path, true), true));
    }
    // Without a terminator the path ends with the last whole unit read.
    auto open_ended = companion_bytes(u"C:\\dir\\name", true);
    open_ended.pop_back();
    open_ended.back() = 'Z';  // half a unit
    EXPECT_EQ(parse(open_ended, true)->former_name, u"name");
}

TEST(RecycleBinPath, FirstComponentNamesTheBinInAnyCase) {
    EXPECT_TRUE(is_recycle_bin_path(u"\\$Recycle.Bin\\S-1-5-21\\"));
    EXPECT_TRUE(is_recycle_bin_path(u"/$RECYCLE.BIN"));
    EXPECT_FALSE(is_recycle_bin_path(u"Users\\$RECYCLE.BIN"));
    EXPECT_FALSE(is_recycle_bin_path(u""));
}

// Folders the engine creates itself are of the volume's class.
class volume_folder : public plain_folder_info {
public:
    std::shared_ptr<tagFolderInfo> make_sibling_folder() const override { return std::make_shared<volume_folder>(); }
};

class bin_engine : public test::fake_engine {
public:
    using fake_engine::fake_engine;
    int32_t fs_type() const override { return type; }
    std::shared_ptr<tagFolderInfo> make_folder() const override { return std::make_shared<volume_folder>(); }
    int32_t type = 3;
};

std::shared_ptr<tagFolderInfo> add_folder(const std::shared_ptr<tagFolderInfo>& parent, const std::u16string& name) {
    auto folder = std::make_shared<plain_folder_info>();
    folder->set_name(name);
    if (parent) {
        folder->group = parent->group;
        parent->insert_folder_unreported(folder->name, folder);
    }
    return folder;
}

std::shared_ptr<tagFileInfo> add_file(const std::shared_ptr<tagFolderInfo>& parent, const std::u16string& name,
                                      uint64_t size = 10, run_list runs = {}) {
    auto file = std::make_shared<plain_file_info>();
    file->set_name(name);
    file->size = size;
    file->runs = std::move(runs);
    parent->insert_file_unreported(file->name, file);
    return file;
}

// The Windows-10 flag as it was before the test, put back afterwards (also
// after the host's initialize has set it).
struct windows10_flag_guard {
    windows10_flag_guard() : saved(is_windows10.load()) {}
    ~windows10_flag_guard() { is_windows10.store(saved); }
    uint8_t saved;
};

// A root with "$RECYCLE.BIN", companions written into the clusters of a
// device image, and a host that records exactly what the restoration sends.
class RecycleBinRestore : public ::testing::Test {
protected:
    RecycleBinRestore() {
        host.mirror_tree = false;
        is_windows10.store(1);
        root = add_folder(nullptr, u"");
        bin = add_folder(root, u"$RECYCLE.BIN");
    }

    // A companion file named `name` in `folder` whose data is `bytes`.
    std::shared_ptr<tagFileInfo> add_companion(const std::shared_ptr<tagFolderInfo>& folder, const std::u16string& name,
                                               const std::vector<uint8_t>& bytes) {
        const uint64_t cluster = next_cluster;
        const uint64_t clusters = std::max<uint64_t>(1, (bytes.size() + cluster_bytes - 1) / cluster_bytes);
        next_cluster += clusters;
        std::copy(bytes.begin(), bytes.end(), image.begin() + cluster * cluster_bytes);
        return add_file(folder, name, bytes.size(), {{cluster, clusters}});
    }
    // A recycled file and its companion naming `former_path`.
    std::shared_ptr<tagFileInfo> recycle_file(const std::shared_ptr<tagFolderInfo>& folder, const std::u16string& id,
                                              const std::u16string& former_path, bool windows10_layout = true) {
        add_companion(folder, u"$I" + id, companion_bytes(former_path, windows10_layout));
        return add_file(folder, u"$R" + id);
    }

    void restore(bool inside_bin = false, int32_t type = 3) {
        test::write_file(dir / "device.img", image);
        device = std::make_unique<test::open_file>(dir / "device.img");
        engine = std::make_unique<bin_engine>(device->fd(), cluster_bytes);
        engine->type = type;
        host.clear();
        restore_recycle_bin(*engine, inside_bin, root);
    }

    std::u16string full_path(const tree_node& node) const {
        char16_t buffer[512] = {};
        engine->full_path(node, buffer, 512);
        return buffer;
    }
    // The kinds of the reports sent for a node, in order.
    std::vector<uint32_t> kinds_for(const tree_node& node) const {
        std::vector<uint32_t> kinds;
        for (const auto& item : host.items) {
            if (item.record.handle == node.handle()) kinds.push_back(item.kind);
        }
        return kinds;
    }
    // The files listed in `folder` whose node (not key) is named `name`.
    static std::vector<std::shared_ptr<tagFileInfo>> files_named(const tagFolderInfo& folder, std::u16string_view name) {
        std::vector<std::shared_ptr<tagFileInfo>> found;
        for (const auto& [key, file] : folder.files) {
            if (file->name_text() == name) found.push_back(file);
        }
        return found;
    }
    // The subfolder named `name`, when there is exactly one.
    static std::shared_ptr<tagFolderInfo> only_subfolder(const tagFolderInfo& folder, const std::u16string& name) {
        const auto [first, last] = folder.folders.equal_range(make_name(name));
        return std::distance(first, last) == 1 ? first->second : nullptr;
    }

    windows10_flag_guard flag_guard;  // first in, last out: outlives the host
    recording_host host;
    test::scratch_dir dir;
    std::vector<uint8_t> image = std::vector<uint8_t>(64 * cluster_bytes, 0);
    uint64_t next_cluster = 1;
    std::unique_ptr<test::open_file> device;
    std::unique_ptr<bin_engine> engine;
    std::shared_ptr<tagFolderInfo> root;
    std::shared_ptr<tagFolderInfo> bin;
};

TEST_F(RecycleBinRestore, AFileGetsItsNameIndexAndACopyInFoldersCreatedOnce) {
    auto users = add_folder(root, u"Users");  // already on the volume
    users->group = 9;
    const std::u16string former = u"C:\\Users\\x\\Documents\\report.docx";
    auto item = recycle_file(bin, u"ABC123.docx", former);
    auto sibling = recycle_file(bin, u"DEF.txt", u"c:\\users/X\\documents\\notes.txt", false);
    restore();

    EXPECT_EQ(item->name_text(), u"report.docx");
    EXPECT_EQ(sibling->name_text(), u"notes.txt");
    EXPECT_EQ(full_path(*item), former);
    // Users reused; x and Documents created once, deleted, in Users' group.
    ASSERT_EQ(root->folders.size(), 2u);
    auto x = only_subfolder(*users, u"x");
    ASSERT_TRUE(x);
    auto documents = only_subfolder(*x, u"Documents");
    ASSERT_TRUE(documents);
    for (const auto& created : {x, documents}) {
        EXPECT_EQ(created->deleted, 1);
        EXPECT_EQ(created->group, 9u);
        EXPECT_TRUE(std::dynamic_pointer_cast<volume_folder>(created));
    }
    ASSERT_EQ(documents->files.size(), 2u);
    auto copy = files_named(*documents, u"report.docx").at(0);
    EXPECT_NE(copy, item);
    EXPECT_EQ(copy->name, item->name);  // a clone shares the name object
    EXPECT_EQ(full_path(*copy), former);
    EXPECT_EQ(engine->former_paths.size(), 4u);

    // The rename, the new folders, then the copy, each under its parent.
    const std::vector<std::tuple<uint32_t, uintptr_t, uintptr_t>> expected = {
        {item_kind_file_renamed, item->handle(), bin->handle()},
        {item_kind_folder, x->handle(), users->handle()},
        {item_kind_folder, documents->handle(), x->handle()},
        {item_kind_file, copy->handle(), documents->handle()}};
    ASSERT_GE(host.items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [kind, handle, parent] = expected[i];
        EXPECT_EQ(host.items[i].kind, kind) << i;
        EXPECT_EQ(host.items[i].record.handle, handle) << i;
        EXPECT_EQ(host.items[i].record.parent, parent) << i;
    }
    EXPECT_EQ(host.items[1].group, 9u);
    EXPECT_EQ(host.items.size(), 6u);  // the second item: renamed and copied only

    // The bin keeps the old entry and silently gains the item and its copy
    // under the new name.
    EXPECT_EQ(bin->files.count(make_name(u"$RABC123.docx")), 1u);
    EXPECT_EQ(bin->files.count(make_name(u"report.docx")), 2u);
    EXPECT_EQ(copy->parent.lock(), documents);
}

TEST_F(RecycleBinRestore, UnusableCompanionsLeaveTheirItemsAlone) {
    auto cut = companion_bytes(u"C:\\a\\short.txt", false);
    cut.resize(29);
    const std::vector<std::pair<std::u16string, std::vector<uint8_t>>> companions = {
        {u"SHORT.txt", cut},
        {u"BIG.txt", companion_bytes(u"C:\\a\\big.txt", true, volume_bytes)},
        {u"FLAT.txt", companion_bytes(u"C:flat.txt", true)},
        {u"EMPTY.txt", {}}};
    std::vector<std::shared_ptr<tagFileInfo>> items = {add_file(bin, u"$RNONE.txt")};
    for (const auto& [id, bytes] : companions) {
        add_companion(bin, u"$I" + id, bytes);
        items.push_back(add_file(bin, u"$R" + id));
    }
    // The first companion of a name decides, even when a later one is valid.
    items.push_back(add_file(bin, u"$RTWICE.txt"));
    add_companion(bin, u"$ITWICE.txt", std::vector<uint8_t>(100, 0));
    add_companion(bin, u"$itwice.txt", companion_bytes(u"C:\\a\\twice.txt", true));
    std::vector<std::u16string> names;
    for (const auto& item : items) names.push_back(item->name_text());
    const size_t files_before = bin->files.size();
    restore();

    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->name_text(), names[i]);
    EXPECT_TRUE(host.items.empty());
    EXPECT_EQ(engine->former_paths.size(), 0u);
    EXPECT_EQ(bin->files.size(), files_before);
    EXPECT_EQ(root->folders.size(), 1u);
}

TEST_F(RecycleBinRestore, CompanionsAreFoundIgnoringCaseAndReadUpToALimit) {
    auto item = add_file(bin, u"$Rabc.txt");
    add_companion(bin, u"$IABC.TXT", companion_bytes(u"C:\\a\\found.txt", true));
    // A terabyte could not be read; a capped read still finds the path.
    auto huge = recycle_file(bin, u"HUGE.txt", u"C:\\h\\huge.txt");
    files_named(*bin, u"$IHUGE.txt").at(0)->size = uint64_t{1} << 40;
    restore();
    EXPECT_EQ(item->name_text(), u"found.txt");
    EXPECT_EQ(huge->name_text(), u"huge.txt");
}

TEST_F(RecycleBinRestore, TheNewerLayoutNeedsWindows10) {
    auto newer = recycle_file(bin, u"NEW.txt", u"C:\\n\\newer.txt", true);
    auto older = recycle_file(bin, u"OLD.txt", u"C:\\o\\older.txt", false);
    is_windows10.store(0);
    restore();
    EXPECT_EQ(newer->name_text(), u"$RNEW.txt");
    EXPECT_EQ(kinds_for(*newer), std::vector<uint32_t>{});
    EXPECT_EQ(older->name_text(), u"older.txt");

    is_windows10.store(1);
    restore();
    EXPECT_EQ(newer->name_text(), u"newer.txt");
    EXPECT_EQ(kinds_for(*newer), std::vector<uint32_t>{item_kind_file_renamed});
}

TEST_F(RecycleBinRestore, ARecycledFolderIsRenamedAndItsSubtreeCopied) {
    auto item = add_folder(bin, u"$RPROJ");
    auto notes = add_file(item, u"notes.txt");
    auto sub = add_folder(item, u"sub");
    auto deep = add_file(sub, u"deep.bin");
    add_companion(bin, u"$IPROJ", companion_bytes(u"C:\\Work\\Project", true));
    restore();

    EXPECT_EQ(item->name_text(), u"Project");
    EXPECT_EQ(kinds_for(*item), std::vector<uint32_t>{item_kind_folder_renamed});
    // What lies inside the recycled folder takes its path from the folder's.
    EXPECT_EQ(full_path(*item), u"C:\\Work\\Project");
    EXPECT_EQ(full_path(*notes), u"C:\\Work\\Project\\notes.txt");
    EXPECT_EQ(full_path(*deep), u"C:\\Work\\Project\\sub\\deep.bin");

    auto work = only_subfolder(*root, u"Work");
    ASSERT_TRUE(work);
    auto project = only_subfolder(*work, u"Project");
    ASSERT_TRUE(project);
    EXPECT_EQ(project->deleted, 1);
    EXPECT_TRUE(std::dynamic_pointer_cast<volume_folder>(project));
    auto notes_copy = files_named(*project, u"notes.txt");
    ASSERT_EQ(notes_copy.size(), 1u);
    EXPECT_NE(notes_copy[0], notes);
    EXPECT_EQ(notes_copy[0]->parent.lock(), project);
    auto sub_copy = only_subfolder(*project, u"sub");
    ASSERT_TRUE(sub_copy);
    EXPECT_NE(sub_copy, sub);
    EXPECT_EQ(kinds_for(*sub_copy), std::vector<uint32_t>{item_kind_folder});
    ASSERT_EQ(sub_copy->files.size(), 1u);
    auto deep_copy = sub_copy->files.begin()->second;
    EXPECT_NE(deep_copy, deep);
    EXPECT_EQ(deep_copy->parent.lock(), sub_copy);
    EXPECT_EQ(kinds_for(*deep_copy), std::vector<uint32_t>{item_kind_file});
    // The originals stay; the folder is re-keyed in the bin, not cloned.
    EXPECT_EQ(item->files.size() + item->folders.size(), 2u);
    EXPECT_EQ(bin->folders.count(make_name(u"Project")), 1u);
    EXPECT_EQ(bin->folders.count(make_name(u"$RPROJ")), 1u);
}

TEST_F(RecycleBinRestore, InsideTheBinItemsAreRenamedButNotCopied) {
    auto file = recycle_file(bin, u"F.txt", u"C:\\Users\\x\\f.txt");
    auto folder = add_folder(bin, u"$RD");
    add_file(folder, u"inner.txt");
    add_companion(bin, u"$ID", companion_bytes(u"C:\\Users\\x\\Dir", true));
    restore(true);

    EXPECT_EQ(file->name_text(), u"f.txt");
    EXPECT_EQ(folder->name_text(), u"Dir");
    ASSERT_EQ(host.items.size(), 2u);
    EXPECT_EQ(host.items[0].kind, item_kind_file_renamed);
    EXPECT_EQ(host.items[1].kind, item_kind_folder_renamed);
    EXPECT_EQ(root->folders.size(), 1u);  // nothing at the former places
    EXPECT_EQ(full_path(*file), u"C:\\Users\\x\\f.txt");
    EXPECT_EQ(bin->files.count(make_name(u"f.txt")), 1u);
}

TEST_F(RecycleBinRestore, NtfsRestoresEachUserFolderAndFatTheBinItself) {
    auto in_a = recycle_file(add_folder(bin, u"S-1-5-21-100"), u"A.txt", u"C:\\a.txt");
    auto in_b = recycle_file(add_folder(bin, u"S-1-5-21-200"), u"B.txt", u"C:\\b.txt");
    auto at_top = recycle_file(bin, u"T.txt", u"C:\\t.txt");
    restore(false, 4);
    EXPECT_EQ(in_a->name_text(), u"a.txt");
    EXPECT_EQ(in_b->name_text(), u"b.txt");
    EXPECT_EQ(at_top->name_text(), u"$RT.txt");

    in_a->set_name(u"$RA.txt");
    restore(false, 3);
    EXPECT_EQ(at_top->name_text(), u"t.txt");
    EXPECT_EQ(in_a->name_text(), u"$RA.txt");
}

TEST_F(RecycleBinRestore, OnlyTheFirstBinIsProcessed) {
    bin->set_name(u"$Recycle.Bin");  // any case names the bin
    auto first = recycle_file(bin, u"1.txt", u"C:\\one.txt");
    auto second = recycle_file(add_folder(root, u"$recycle.bin"), u"2.txt", u"C:\\two.txt");
    auto elsewhere = recycle_file(add_folder(root, u"RECYCLER"), u"3.txt", u"C:\\three.txt");
    restore();
    EXPECT_EQ(first->name_text(), u"one.txt");
    EXPECT_EQ(second->name_text(), u"$R2.txt");
    EXPECT_EQ(elsewhere->name_text(), u"$R3.txt");
}

TEST_F(RecycleBinRestore, FormerPathsLeadingBackIntoTheBinEnd) {
    // A copy that lands in the bin under a "$R" name is not restored again.
    auto file = recycle_file(bin, u"LOOP", u"C:\\$RECYCLE.BIN\\$RLOOP");
    // A folder whose former place lies inside itself is copied once.
    auto folder = add_folder(bin, u"$RSELF");
    add_file(folder, u"kept.txt");
    add_folder(folder, u"child");
    add_companion(bin, u"$ISELF", companion_bytes(u"C:\\$RECYCLE.BIN\\$RSELF\\child", true));
    restore();

    // The item under its old and new keys; its copy at its former place (the
    // bin) and from the restored list.
    EXPECT_EQ(files_named(*bin, u"$RLOOP").size(), 4u);
    auto child = only_subfolder(*folder, u"child");
    ASSERT_TRUE(child);
    EXPECT_EQ(files_named(*child, u"kept.txt").size(), 1u);
    EXPECT_TRUE(child->folders.empty());
}

}  // namespace
}  // namespace ostrel
