// A mutex that remembers whether a thread left it by an exception.
//
// Whatever such a lock protects may have been left half-updated, so the lock
// is broken for good: every later taker still gets the lock, learns that it is
// broken, and decides what to do (in this library: fault with its own text).
#pragma once

#include <mutex>

namespace strassen {

class PoisonMutex {
public:
    // Holds the lock for its lifetime. Leaving the scope without `done()`, that
    // is by an exception, breaks the lock; the flag is written while the lock
    // is still held. The holder says so explicitly rather than the guard asking
    // std::uncaught_exceptions(): that call reaches the C++ runtime's
    // per-thread exception state, which a new thread allocates on first use,
    // and glibc aborts the process when that allocation fails. A pool worker
    // must not die that way under memory pressure.
    class Guard {
    public:
        explicit Guard(PoisonMutex& owner)
            : owner_(owner), lock_(owner.mutex_) {}
        ~Guard() {
            if (lock_.owns_lock() && !done_) owner_.broken_ = true;
        }
        // The holder finished normally; call last before leaving the scope.
        void done() noexcept { done_ = true; }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        // Whether an earlier holder left by an exception.
        bool broken() const noexcept { return owner_.broken_; }
        // For waiting on a std::condition_variable; the lock is held again
        // whenever the wait returns.
        std::unique_lock<std::mutex>& native() noexcept { return lock_; }

    private:
        PoisonMutex& owner_;
        std::unique_lock<std::mutex> lock_;
        bool done_ = false;
    };

    PoisonMutex() = default;
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    // Blocks until the lock is free. A broken lock is still taken; the caller
    // asks the guard.
    [[nodiscard]] Guard lock() { return Guard(*this); }

    // Reads the flag without the lock: only for a thread that is the last one
    // that can reach this mutex (every other holder's release happens before).
    bool broken_unlocked() const noexcept { return broken_; }

private:
    std::mutex mutex_;
    bool broken_ = false;  // guarded by mutex_
};

}  // namespace strassen
