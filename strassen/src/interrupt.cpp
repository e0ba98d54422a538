#include "strassen/interrupt.hpp"

#include "cancel.hpp"

namespace strassen {

namespace {

// Per thread: the check the boundary installed on its own thread, and the
// cancel flag of the job a worker is running.
thread_local InterruptCheck current_check = nullptr;
thread_local void* current_context = nullptr;
thread_local const std::atomic<bool>* current_cancel = nullptr;
thread_local std::chrono::steady_clock::time_point last_asked{};

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check, void* context) noexcept
    : previous_check_(current_check), previous_context_(current_context) {
    current_check = check;
    current_context = context;
}

InterruptScope::~InterruptScope() {
    current_check = previous_check_;
    current_context = previous_context_;
}

namespace detail {

bool interrupt_requested() { return current_check != nullptr && current_check(current_context); }

void check_interrupt() {
    if (current_check == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_asked < INTERRUPT_POLL) return;
    last_asked = now;
    if (current_check(current_context)) throw Interrupted();
}

CancelScope::CancelScope(const std::atomic<bool>* flag) noexcept : previous_(current_cancel) {
    current_cancel = flag;
}

CancelScope::~CancelScope() { current_cancel = previous_; }

void throw_if_cancelled() {
    // Relaxed: the flag carries no data; a job that sees it a little late
    // only does a little more work before it stops.
    if (current_cancel != nullptr && current_cancel->load(std::memory_order_relaxed))
        throw Interrupted();
}

}  // namespace detail

}  // namespace strassen
