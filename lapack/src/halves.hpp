// Two independent halves of one step of the factorisation or the inversion,
// the second on a worker of strassen's pool when the matrix is large enough
// to pay for it.
//
// The halves always write disjoint columns (or disjoint rows) and read only
// what neither writes, and each element is computed by the same kernel code
// whichever half, thread or split point it falls in: the bits never depend on
// whether a worker took part.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include "strassen/thread_pool.hpp"

namespace bravolin::lapack::detail {

// Sides from which a second thread pays for its start (tens of microseconds)
// and its joins (a dozen or more per call, each a wake-up that can wait for
// a busy core): measured at 250, one thread was faster; at 1000, two threads
// took half the time.
inline constexpr int HALVES_MIN_SIDE = 384;

class Halves {
public:
    // One worker when parallel, none otherwise. Faults as ThreadPool does when
    // the thread cannot be started.
    explicit Halves(bool parallel) {
        if (parallel) pool_.emplace(1);
    }

    // Runs first() on this thread and second() on the worker (both here when
    // there is none); returns once both are done. An exception from either is
    // rethrown here, after both have finished, so that neither half can
    // outlive the buffers of the other.
    template <class First, class Second>
    void run(First&& first, Second&& second) {
        if (!pool_) {
            first();
            second();
            return;
        }
        std::exception_ptr theirs;  // written by the worker; join() orders it before the read
        pool_->execute([&second, &theirs] {
            try {
                second();
            } catch (...) {
                theirs = std::current_exception();
            }
        });
        std::exception_ptr mine;
        try {
            first();
        } catch (...) {
            mine = std::current_exception();
        }
        pool_->join();
        if (mine) std::rethrow_exception(mine);
        if (theirs) std::rethrow_exception(theirs);
    }

    bool parallel() const { return pool_.has_value(); }

private:
    std::optional<strassen::ThreadPool> pool_;
};

}  // namespace bravolin::lapack::detail
