// The mirror's flat table: every handle keeps the place it was first given
// through the table's growth, whatever the handles look like.
#include <gtest/gtest.h>

#include <vector>

#include "cli/handle_index.h"

namespace ostrel::cli {
namespace {

TEST(HandleIndex, KeepsTheFirstPlaceOfEveryHandleThroughGrowth) {
    handle_index index;
    // Node-like addresses (aligned, close together), then handles that share
    // their low bits, then 0, which the table uses for an empty slot.
    std::vector<ostrel_handle> handles;
    for (ostrel_handle i = 1; i <= 30000; ++i) handles.push_back(0x10000 + i * 48);
    for (ostrel_handle i = 1; i <= 3000; ++i) handles.push_back(0x80000000u + (i << 16));
    handles.push_back(0);
    for (uint32_t place = 0; place < handles.size(); ++place) {
        ASSERT_EQ(index.try_emplace(handles[place], place), std::make_pair(place, true));
    }
    for (uint32_t place = 0; place < handles.size(); ++place) {
        ASSERT_EQ(index.find(handles[place]), place);
        ASSERT_EQ(index.try_emplace(handles[place], 7), std::make_pair(place, false));
    }
    EXPECT_EQ(index.size(), handles.size());
    EXPECT_EQ(index.find(0x10000 + 24), handle_index::none);
    index.clear();
    EXPECT_EQ(index.find(handles[5]), handle_index::none);
    EXPECT_EQ(index.find(0), handle_index::none);
}

}  // namespace
}  // namespace ostrel::cli
