#include "strassen/parallel.hpp"

#include <atomic>
#include <exception>
#include <memory>
#include <vector>

#include "cancel.hpp"

namespace strassen::detail {

namespace {

// One round's state. Every queued job holds a share, so that even a job the
// caller could not wait for (a broken idle lock) reads valid memory.
struct Round {
    explicit Round(std::size_t parts) : errors(parts) {}
    std::atomic<bool> cancel{false};
    // Each part writes only its own; the join orders the writes before the
    // caller reads them.
    std::vector<std::exception_ptr> errors;
};

// Raises the cancel flag and waits for the jobs when the calling thread
// leaves the round early: they may use the caller's memory in place.
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

void Parallel::run_erased(std::size_t parts, void (*call)(const void*, std::size_t),
                          const void* part, bool first_here) {
    auto round = std::make_shared<Round>(parts);
    // Nothing leaves a part: a job that ended a worker by an exception would
    // reach the caller as a missing result, not as its failure.
    const auto attempt = [call, part](Round& r, std::size_t j) noexcept {
        try {
            call(part, j);
        } catch (...) {
            r.errors[j] = std::current_exception();
        }
    };
    WaitOnExit wait{pool_, round->cancel};
    for (std::size_t j = first_here ? 1 : 0; j < parts; ++j)
        pool_.execute([round, attempt, j] {
            const CancelScope scope(&round->cancel);
            attempt(*round, j);
        });
    if (first_here && parts > 0) {
        attempt(*round, 0);
        // Reported first in any case: the others need not finish (`wait`
        // cancels them), which keeps an interrupt answered at once.
        if (round->errors[0]) std::rethrow_exception(round->errors[0]);
    }
    // Asked once before the first wait too, so that a request already pending
    // stops the work however soon it would end; `wait` then cancels the parts.
    do {
        if (interrupt_requested()) throw Interrupted();
    } while (!pool_.join_for(INTERRUPT_POLL));
    wait.waited = true;
    for (const std::exception_ptr& error : round->errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace strassen::detail
