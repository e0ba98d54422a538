// Two independent halves of one step of the factorisation or the inversion,
// the second on a worker of strassen's parallel layer when the matrix is
// large enough to pay for it.
//
// The halves always write disjoint columns (or disjoint rows) and read only
// what neither writes, and each element is computed by the same kernel code
// whichever half, thread or split point it falls in: the bits never depend on
// whether a worker took part.
#pragma once

#include <cstddef>
#include <optional>

#include "strassen/parallel.hpp"

namespace bravolin::lapack::detail {

// A call's work counted as side^3, against the dense kernel's multiply-adds
// (strassen/parallel.hpp). The halves join a dozen or more times per call,
// each a wake-up that can wait for a busy core, so the work behind one join
// is a small part of the whole: measured at side 250, one thread was faster;
// at 1000, two threads took half the time. 1/27 puts the first side on two
// threads at 384 (384^3 / 27 = 2^21).
inline constexpr strassen::detail::Weight LU_WEIGHT{1, 27};

// The first side that runs on two threads.
inline constexpr int HALVES_MIN_SIDE = [] {
    std::size_t side = 1;
    while (!strassen::detail::worth_parallel(side * side * side, LU_WEIGHT)) ++side;
    return static_cast<int>(side);
}();

class Halves {
public:
    // One worker when parallel, none otherwise. Faults as ThreadPool does when
    // the thread cannot be started.
    explicit Halves(bool parallel) {
        if (parallel) parallel_.emplace(1);
    }

    // Runs first() on this thread and second() on the worker (both here when
    // there is none); returns once both are done, rethrowing first()'s
    // exception, else second()'s (Parallel::run).
    template <class First, class Second>
    void run(First&& first, Second&& second) {
        if (!parallel_) {
            first();
            second();
            return;
        }
        parallel_->run(2, [&](std::size_t j) { j == 0 ? first() : second(); }, true);
    }

private:
    std::optional<strassen::detail::Parallel> parallel_;
};

}  // namespace bravolin::lapack::detail
