// Worker pool behaviour. Every wait is bounded: a bug fails the test instead
// of hanging it. A pool that may still be in use by a stuck helper thread is
// leaked on purpose rather than destroyed under it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "strassen/fault.hpp"
#include "strassen/poison_lock.hpp"
#include "strassen/thread_pool.hpp"

using strassen::Fault;
using strassen::ThreadPool;
using namespace std::chrono_literals;

namespace {

constexpr auto kTimeout = 60s;

// A flag that can be waited for with a deadline.
class Event {
public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool wait(std::chrono::seconds timeout = kTimeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return set_; });
    }
    bool is_set() {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

// An n-party barrier whose waits give up after a deadline.
class TimedBarrier {
public:
    explicit TimedBarrier(int parties) : parties_(parties) {}
    bool arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (++arrived_ == parties_) cv_.notify_all();
        return cv_.wait_for(lock, kTimeout, [&] { return arrived_ >= parties_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int parties_;
    int arrived_ = 0;
};

// Counts up and lets a test wait for a value.
class Counter {
public:
    void add() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++value_;
        }
        cv_.notify_all();
    }
    bool wait_for_value(int want) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kTimeout, [&] { return value_ >= want; });
    }
    int value() {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int value_ = 0;
};

// Runs pool.join() on a helper thread; false if it did not return in time, in
// which case the pool is leaked so that the helper never sees it destroyed.
bool join_within(std::unique_ptr<ThreadPool>& pool) {
    auto done = std::make_shared<Event>();
    ThreadPool* p = pool.get();
    std::thread([p, done] {
        p->join();
        done->set();
    }).detach();
    if (done->wait()) return true;
    (void)pool.release();
    return false;
}

// n jobs that must all be running at the same moment to pass the barrier.
void run_barrier_batch(std::unique_ptr<ThreadPool>& pool, int n) {
    auto barrier = std::make_shared<TimedBarrier>(n);
    auto met = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < n; ++i)
        pool->execute([barrier, met] {
            if (barrier->arrive_and_wait()) met->fetch_add(1);
        });
    ASSERT_TRUE(join_within(pool)) << "join did not return";
    EXPECT_EQ(met->load(), n) << "not all " << n << " jobs ran at once";
}

TEST(ThreadPool, ZeroWorkersFault) {
    try {
        ThreadPool pool(0);
        ADD_FAILURE() << "expected a fault";
    } catch (const Fault& e) {
        EXPECT_EQ(e.message(), "assertion failed: num_threads > 0");
    }
}

TEST(ThreadPool, JoinWithNothingToWaitForReturns) {
    auto pool = std::make_unique<ThreadPool>(3);
    EXPECT_TRUE(join_within(pool));
    pool->execute([] {});
    EXPECT_TRUE(join_within(pool));
    EXPECT_TRUE(join_within(pool));  // again, with every job long finished
}

class PoolSizes : public ::testing::TestWithParam<int> {};

// n jobs on a pool of n all run at once, and join waits for the last.
TEST_P(PoolSizes, BatchRunsAllAtOnce) {
    const int n = GetParam();
    auto pool = std::make_unique<ThreadPool>(static_cast<std::size_t>(n));
    run_barrier_batch(pool, n);
}

// Failing jobs end their workers, which are replaced: join still returns, the
// failed jobs are released, and the pool again runs n jobs at once.
TEST_P(PoolSizes, FailedJobsAreReplaced) {
    const int n = GetParam();
    auto pool = std::make_unique<ThreadPool>(static_cast<std::size_t>(n));
    auto owned = std::make_shared<int>(0);
    auto ran = std::make_shared<Counter>();
    for (int i = 0; i < n; ++i) {
        pool->execute([owned] { throw std::runtime_error("job failed"); });
        pool->execute([ran] { ran->add(); });
        pool->execute([] { throw 42; });  // not even a std::exception
    }
    ASSERT_TRUE(join_within(pool));
    EXPECT_EQ(ran->value(), n);
    EXPECT_EQ(owned.use_count(), 1) << "a failed job was not released";
    run_barrier_batch(pool, n);
}

INSTANTIATE_TEST_SUITE_P(Workers, PoolSizes, ::testing::Values(1, 2, 7));

TEST(ThreadPool, JobsStartInSubmissionOrder) {
    auto pool = std::make_unique<ThreadPool>(1);
    auto order = std::make_shared<std::vector<int>>();
    for (int i = 0; i < 50; ++i) pool->execute([order, i] { order->push_back(i); });
    ASSERT_TRUE(join_within(pool));
    ASSERT_EQ(order->size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ((*order)[static_cast<std::size_t>(i)], i);
}

TEST(ThreadPool, MoveOnlyJobRunsOnceAndIsReleased) {
    auto pool = std::make_unique<ThreadPool>(2);
    auto token = std::make_shared<int>(0);
    auto ran = std::make_shared<Counter>();
    auto owned = std::make_unique<std::shared_ptr<int>>(token);
    pool->execute([owned = std::move(owned), ran] { ran->add(); });
    ASSERT_TRUE(join_within(pool));
    EXPECT_EQ(ran->value(), 1);
    EXPECT_EQ(token.use_count(), 1);
}

TEST(ThreadPool, TwoJoiningThreadsBothReturn) {
    auto pool = std::make_unique<ThreadPool>(2);
    auto gate = std::make_shared<Event>();
    pool->execute([gate] { gate->wait(); });
    auto first = std::make_shared<Event>(), second = std::make_shared<Event>();
    ThreadPool* p = pool.get();
    std::thread([p, first] { p->join(); first->set(); }).detach();
    std::thread([p, second] { p->join(); second->set(); }).detach();
    // The job is still blocked, so neither join may have returned yet.
    EXPECT_FALSE(first->is_set());
    EXPECT_FALSE(second->is_set());
    gate->set();
    const bool both = first->wait() && second->wait();
    EXPECT_TRUE(both) << "a joining thread did not return";
    if (!both) (void)pool.release();
}

// Destruction closes the queue and returns while a job is still blocked; the
// jobs still queued run afterwards.
TEST(ThreadPool, DestroyWithQueuedJobsReturnsAtOnce) {
    auto pool = std::make_unique<ThreadPool>(1);
    auto gate = std::make_shared<Event>();
    auto ran = std::make_shared<Counter>();
    pool->execute([gate, ran] {
        gate->wait();
        ran->add();
    });
    for (int i = 0; i < 5; ++i) pool->execute([ran] { ran->add(); });

    auto destroyed = std::make_shared<Event>();
    std::thread([pool = std::move(pool), destroyed]() mutable {
        pool.reset();
        destroyed->set();
    }).detach();
    EXPECT_TRUE(destroyed->wait()) << "destruction waited for the workers";
    EXPECT_EQ(ran->value(), 0);
    gate->set();
    EXPECT_TRUE(ran->wait_for_value(6)) << "queued jobs did not run after destruction";
}

TEST(PoisonMutex, HolderThatThrowsBreaksTheLock) {
    strassen::PoisonMutex m;
    {
        auto g = m.lock();
        EXPECT_FALSE(g.broken());
        g.done();
    }
    std::thread([&] {
        try {
            auto g = m.lock();
            throw std::runtime_error("failed while holding");
        } catch (const std::runtime_error&) {
        }
    }).join();
    auto g = m.lock();
    EXPECT_TRUE(g.broken());
    g.done();
}

}  // namespace
