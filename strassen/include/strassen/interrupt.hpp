// Stopping a long product from outside: the caller's thread asks a check of
// the caller's choosing while it waits for workers, and on a yes the work stops.
#pragma once

#include <chrono>
#include <exception>

namespace strassen {

// How often a waiting thread asks its check: often enough that a user's
// Ctrl-C is answered at once, rarely enough to cost nothing.
inline constexpr std::chrono::milliseconds INTERRUPT_POLL{20};

// Returns true when the call must stop. Runs on the thread that installed it,
// never on a worker.
using InterruptCheck = bool (*)(void* context);

// Installs `check` for the calling thread for the scope's lifetime (the
// previous one comes back afterwards). Products started on this thread then
// stop when it says so, throwing Interrupted once no worker still runs for them.
class InterruptScope {
public:
    InterruptScope(InterruptCheck check, void* context) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptCheck previous_check_;
    void* previous_context_;
};

// The work was stopped at the check's request; nothing was produced.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace strassen
