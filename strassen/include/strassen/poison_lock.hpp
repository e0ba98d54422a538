// A mutex that remembers whether a thread left it by an exception.
//
// Whatever such a lock protects may have been left half-updated, so the lock
// is broken for good: every later taker still gets the lock, learns that it is
// broken, and decides what to do (in this library: fault with its own text).
#pragma once

#include <exception>
#include <mutex>

namespace strassen {

class PoisonMutex {
public:
    // Holds the lock for its lifetime. Leaving the scope by an exception breaks
    // the lock; the flag is written while the lock is still held.
    class Guard {
    public:
        explicit Guard(PoisonMutex& owner)
            : owner_(owner), lock_(owner.mutex_), exceptions_(std::uncaught_exceptions()) {}
        ~Guard() {
            if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) owner_.broken_ = true;
        }
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
        int exceptions_;
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
