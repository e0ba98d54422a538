#include "strassen/parallel.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

#include "cancel.hpp"

namespace strassen::detail {

namespace {

// One round's shared state: every queued job holds a share, so even a job
// the wait could not see end (a broken idle lock) reads valid memory.
struct Round {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::size_t failed = SIZE_MAX;  // guarded by mutex: the first failing part so far
    std::exception_ptr error;       // guarded by mutex: its exception

    // Nothing leaves a part: a worker that ends by an exception would be
    // replaced, and its failure would reach the caller as a missing result.
    void attempt(std::size_t j, void (*call)(const void*, std::size_t), const void* part) noexcept {
        try {
            call(part, j);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (j < failed) {
                failed = j;
                error = std::current_exception();
            }
        }
    }
};

// Raises the cancel flag and waits for the jobs when the calling thread
// leaves the round early: they may read the caller's memory in place.
struct WaitOnExit {
    ThreadPool& pool;
    std::atomic<bool>& cancel;
    bool waited = false;
    ~WaitOnExit() {
        if (waited) return;
        cancel.store(true, std::memory_order_relaxed);
        try {
            pool.join();
        } catch (...) {
            // A broken idle lock: the report is written; nothing else to do.
        }
    }
};

}  // namespace

void Parallel::run_erased(std::size_t parts, Call call, const void* part, bool first_here) {
    auto round = std::make_shared<Round>();
    WaitOnExit wait{pool_, round->cancel};
    for (std::size_t j = first_here ? 1 : 0; j < parts; ++j)
        pool_.execute([round, call, part, j] {
            const CancelScope scope(&round->cancel);
            round->attempt(j, call, part);
        });
    if (first_here && parts > 0) round->attempt(0, call, part);
    join_interruptible(pool_, round->cancel);
    wait.waited = true;
    // join ordered every part's store before this read.
    if (round->error) std::rethrow_exception(round->error);
}

}  // namespace strassen::detail
