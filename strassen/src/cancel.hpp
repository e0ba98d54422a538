// Internal: how a product learns that it must stop.
//
// The thread that waits for the workers (Parallel::run) asks the installed
// InterruptCheck; on a yes it raises the call's cancel flag, which every job
// of the call reads between blocks of its work, waits for the jobs to end and
// throws Interrupted. A worker finds its job's flag through a thread-local pointer
// set for the job's duration, so the sequential recursion needs no extra
// argument.
#pragma once

#include <atomic>

#include "strassen/interrupt.hpp"

namespace strassen::detail {

// Whether the calling thread's installed check asks to stop (false if none).
bool interrupt_requested();

// For long stretches of work on the calling thread itself (building the
// operands of a large level, materialising a copy): asks the installed check,
// at most once per INTERRUPT_POLL, and throws Interrupted on a yes. Nothing
// on a thread without a check (every worker).
void check_interrupt();

// Set for the lifetime of one job on the thread that runs it.
class CancelScope {
public:
    explicit CancelScope(const std::atomic<bool>* flag) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};

// Throws Interrupted on a worker whose call was cancelled. Cheap: one
// thread-local read and, inside a job, one relaxed load.
void throw_if_cancelled();

// A point between blocks of a product's work where it may stop: a user's
// interrupt on the calling thread (which works its own share of a parallel
// call too), a cancelled call in a job.
inline void check_stop() {
    check_interrupt();
    throw_if_cancelled();
}

}  // namespace strassen::detail
