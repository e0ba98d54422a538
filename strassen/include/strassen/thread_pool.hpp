// Fixed-size pool of detached worker threads fed by a FIFO job queue.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace strassen {

struct PoolShared;

class ThreadPool {
public:
    using Job = std::function<void()>;  // may be move-only via MoveOnlyJob below

    // Starts `num_threads` detached workers. Faults with
    // "assertion failed: num_threads > 0" for 0.
    explicit ThreadPool(std::size_t num_threads);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Closes the queue and returns at once: queued jobs still run, and each
    // worker ends by itself once the queue is closed and empty.
    ~ThreadPool();

    // Queues `job` and returns without waiting for it.
    void execute(Job job);
    // Returns once no job is queued or running. Any number of threads may wait.
    void join();

private:
    std::shared_ptr<PoolShared> shared_;
};

}  // namespace strassen
