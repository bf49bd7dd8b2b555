#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <string>

#include "engine/host_table.h"
#include "engine/log.h"
#include "ostrel/ostrel.h"
#include "tests/support/recording_host.h"

namespace ostrel {
namespace {

using test::recording_host;

TEST(Initialize, NullHostTableReturnsZeroAndLeavesOpsUntouched) {
    engine_ops ops{};
    ops.host_data = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(initialize(nullptr, &ops), 0);
    EXPECT_EQ(ops.open_drive_letter, nullptr);
    EXPECT_EQ(ops.host_data, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(bound_host(), nullptr);
}

TEST(Initialize, EveryRequiredSlotIsCheckedIncludingTheUnusedWordFour) {
    recording_host host(false);
    for (int word : {1, 2, 3, 4, 5, 6}) {
        host_callbacks table = host.table;
        switch (word) {
            case 1: table.on_event = nullptr; break;
            case 2: table.add_item = nullptr; break;
            case 3: table.alloc_record = nullptr; break;
            case 4: table.reserved = nullptr; break;
            case 5: table.log_line = nullptr; break;
            case 6: table.on_status = nullptr; break;
        }
        engine_ops ops{};
        EXPECT_EQ(initialize(&table, &ops), -1) << "word " << word;
        EXPECT_EQ(ops.scan_session, nullptr);
        // The refused table stays bound.
        EXPECT_EQ(bound_host(), &table);
    }
    shut_down();
}

TEST(Initialize, MissingOperationTableReturnsMinusTwoWithTheHostBound) {
    recording_host host(false);
    EXPECT_EQ(initialize(&host.table, nullptr), -2);
    EXPECT_EQ(bound_host(), &host.table);
}

TEST(Initialize, FillsAllFifteenOperationsAndLeavesWordZero) {
    recording_host host(false);
    engine_ops ops{};
    ops.host_data = &host;
    host.table.continue_deep_scan = nullptr;  // optional
    ASSERT_EQ(initialize(&host.table, &ops), 1);
    EXPECT_EQ(ops.host_data, &host);
    void* words[16];
    static_assert(sizeof words == sizeof ops);
    std::memcpy(words, &ops, sizeof ops);
    for (int i = 1; i < 16; ++i) EXPECT_NE(words[i], nullptr) << "word " << i;
}

TEST(ShutDown, SilencesLaterCallbacks) {
    recording_host host;
    log_recovery("before\n");
    shut_down();
    log_recovery("after\n");
    send_event(0);
    send_status(3);
    EXPECT_EQ(host.log_lines, std::vector<std::string>{"[recovery]\tbefore\n"});
    EXPECT_TRUE(host.events.empty());
    EXPECT_TRUE(host.statuses.empty());
}

TEST(LogLine, FormatsLikeTheWidePrintfFamily) {
    recording_host host;
    log_recovery("sectors: %I64d - %I64d, count: %I64d\n", {-5ll, 1ll << 40, 0ll});
    log_message("fat32", "bytes per secotr:%d\n", {512});
    log_recovery("%s 打开失败\n", {u"\\\\.\\Z:"});
    log_message("exfat", "bytes per secotr:%.0f\n", {4096.0});
    log_recovery("100%% of %I64u\n", {18446744073709551615ull});
    EXPECT_EQ(host.log_lines, (std::vector<std::string>{"[recovery]\tsectors: -5 - 1099511627776, count: 0\n",
                                                        "[fat32]\tbytes per secotr:512\n",
                                                        "[recovery]\t\\\\.\\Z: 打开失败\n",
                                                        "[exfat]\tbytes per secotr:4096\n",
                                                        "[recovery]\t100% of 18446744073709551615\n"}));
}

TEST(LogLine, ReachesTheHostAsUtf16) {
    EXPECT_EQ(format_message("可能是未格式化分区\n"), u"可能是未格式化分区\n");
    EXPECT_EQ(format_message("创建本地文件err值：%d", {17}), u"创建本地文件err值：17");
}

// The shared library exports exactly the two entry points.
TEST(SharedLibrary, ExportsExactlyInitializeAndShutDown) {
#ifdef _WIN32
    GTEST_SKIP() << "nm reads ELF libraries; .ci/run checks the DLLs' export tables with objdump";
#endif
    const std::string command = std::string("nm -D --defined-only '") + OSTREL_SHARED_LIBRARY + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::array<char, 512> line{};
    std::vector<std::string> symbols;
    while (fgets(line.data(), line.size(), pipe)) {
        const std::string text(line.data());
        std::string name = text.substr(text.find_last_of(' ') + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (std::string_view("TDBWVRi").find(text[text.find(' ') + 1]) != std::string_view::npos) symbols.push_back(name);
    }
    pclose(pipe);
    std::sort(symbols.begin(), symbols.end());
    EXPECT_EQ(symbols, (std::vector<std::string>{"initialize", "shut_down"}));
}

}  // namespace
}  // namespace ostrel
