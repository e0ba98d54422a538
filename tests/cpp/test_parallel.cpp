// The parallel layer: the cost rule at its boundaries, and what a round
// promises its caller.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "strassen/interrupt.hpp"
#include "strassen/parallel.hpp"

namespace {

using strassen::detail::parts_for;
using strassen::detail::Weight;
using strassen::detail::worth_parallel;

TEST(CostRule, OnePartPerUnitOfWeightedWork) {
    constexpr std::size_t unit = strassen::detail::PARALLEL_UNIT;
    EXPECT_FALSE(worth_parallel(2 * unit - 1));
    EXPECT_TRUE(worth_parallel(2 * unit));
    EXPECT_FALSE(worth_parallel(2 * unit / 8 - 1, Weight{8, 1}));
    EXPECT_TRUE(worth_parallel(2 * unit / 8, Weight{8, 1}));
    EXPECT_FALSE(worth_parallel(383ull * 383 * 383, Weight{1, 27}));
    EXPECT_TRUE(worth_parallel(384ull * 384 * 384, Weight{1, 27}));
    EXPECT_EQ(parts_for(3 * unit - 1, Weight{}, 7), 2u);
    EXPECT_EQ(parts_for(3 * unit, Weight{}, 7), 3u);
    EXPECT_EQ(parts_for(SIZE_MAX, Weight{8, 1}, 7), 7u);  // saturates, no wrap
    EXPECT_EQ(parts_for(0, Weight{}, 0), 1u);
}

TEST(Parallel, RethrowsTheFirstFailureByPartOrderOnceAllEnded) {
    std::atomic<bool> second_failed{false};
    std::atomic<int> ended{0};
    strassen::detail::Parallel parallel(3);
    try {
        parallel.run(3, [&](std::size_t j) {
            ++ended;
            // Part 0 fails only after part 1 has: the order, not the time, wins.
            if (j == 0) second_failed.wait(false);
            if (j == 2) return;
            if (j == 1) second_failed = true, second_failed.notify_all();
            throw std::runtime_error(std::to_string(j));
        });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "0");
    }
    EXPECT_EQ(ended.load(), 3);
    // The pool serves the next round.
    parallel.run(2, [&](std::size_t) { ++ended; });
    EXPECT_EQ(ended.load(), 5);
}

TEST(Parallel, AWorkersLackOfMemoryArrivesAsBadAlloc) {
    strassen::detail::Parallel parallel(2);
    EXPECT_THROW(parallel.run(2, [](std::size_t j) {
        if (j == 1) throw std::bad_alloc();
    }), std::bad_alloc);
}

TEST(Parallel, FirstPartRunsOnTheCallingThread) {
    std::thread::id ids[2];
    strassen::detail::run_parts(2, [&](std::size_t j) { ids[j] = std::this_thread::get_id(); });
    EXPECT_EQ(ids[0], std::this_thread::get_id());
    EXPECT_NE(ids[1], std::this_thread::get_id());
}

TEST(Parallel, AnInterruptEndsTheRoundOnlyOnceNoPartRuns) {
    std::atomic<int> ended{0};
    const strassen::InterruptScope scope([](void*) { return true; }, nullptr);
    strassen::detail::Parallel parallel(2);
    EXPECT_THROW(parallel.run(4, [&](std::size_t) { ++ended; }), strassen::Interrupted);
    EXPECT_EQ(ended.load(), 4);
}

}  // namespace
