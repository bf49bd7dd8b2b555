// The pool behind parallel saving: every published job is worked exactly
// once, and results come back strictly in job order however the threads ran.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cli/ordered_pool.h"

namespace ostrel::cli {
namespace {

// With the default batches, and with a rule that asks for none, for more
// than is published, or for uneven numbers in between.
class OrderedPool : public ::testing::TestWithParam<bool> {};

TEST_P(OrderedPool, EveryJobOnceAndResultsInOrderWhilePublishingAhead) {
    constexpr size_t jobs = 5000, ring = 300;
    ordered_pool::batch_rule rule;
    if (GetParam()) {
        rule = [](size_t first, size_t available) {
            return first % 3 == 0 ? 0 : first % 5 == 0 ? available + 9 : first % 200;
        };
    }
    std::vector<std::atomic<int>> worked(jobs);
    std::vector<size_t> slots(ring);  // job numbers held in a reused ring, as recover does
    std::vector<size_t> order;
    std::atomic<size_t> setups = 0;
    {
        ordered_pool pool(
            3, [&](size_t) { ++setups; },
            [&](size_t, size_t job) {
                ++worked[job];
                EXPECT_EQ(slots[job % ring], job);
                // Uneven work, so that later batches often finish first.
                if (job % 97 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
            },
            rule);
        const auto collect = [&](size_t job) { order.push_back(job); };
        for (size_t job = 0; job < jobs; ++job) {
            while (job - pool.collected() >= ring) pool.collect(collect, true, nullptr);
            slots[job % ring] = job;
            pool.publish(job + 1);
            pool.collect(collect, false, nullptr);
        }
        while (pool.collect(collect, true, nullptr)) {
        }
        EXPECT_FALSE(pool.collect(collect, true, nullptr));
    }
    EXPECT_EQ(setups, 3u);
    ASSERT_EQ(order.size(), jobs);
    for (size_t job = 0; job < jobs; ++job) {
        EXPECT_EQ(order[job], job);
        EXPECT_EQ(worked[job], 1) << job;
    }
}

INSTANTIATE_TEST_SUITE_P(Batches, OrderedPool, ::testing::Bool());

TEST(OrderedPoolWaits, WaitingTicksAndAPoolWithNothingPublishedEnds) {
    size_t ticks = 0;
    {
        ordered_pool pool(2, nullptr, [](size_t, size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(450)); });
        pool.publish(1);
        EXPECT_TRUE(pool.collect([](size_t) {}, true, [&] { ++ticks; }));
        EXPECT_EQ(pool.collected(), 1u);
    }
    EXPECT_GE(ticks, 1u);
    ordered_pool idle(2, nullptr, [](size_t, size_t) {});
}

}  // namespace
}  // namespace ostrel::cli
