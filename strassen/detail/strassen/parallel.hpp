// Internal: the one way the library, the LU port and the engine run a call's
// work on threads, and the one rule for whether threads pay.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "strassen/thread_pool.hpp"

namespace strassen::detail {

// Multiply-adds of the dense kernel that pay for one part: starting and
// joining a worker costs some 0.05 to 0.1 ms on the 2-core machine of
// bench/RESULTS.md, as long as about 2^20 of them. So a second thread needs
// 2^21 in all: a fit of 10^4 x 16 (3 * 10^6) takes 0.23 ms on two workers
// against 0.33 ms inline, one of 5000 x 16 the same either way.
inline constexpr std::size_t PARALLEL_UNIT = std::size_t{1} << 20;

// What one multiply-add of a path costs against one of the dense kernel,
// num / den, as measured on that path.
struct Weight {
    std::size_t num = 1;
    std::size_t den = 1;
};

// How many parts a path's multiply-adds pay for: one per PARALLEL_UNIT of
// weighted work, at least one, at most `most`.
constexpr std::size_t parts_for(std::size_t multiply_adds, Weight weight, std::size_t most) {
    std::size_t work = 0;
    if (__builtin_mul_overflow(multiply_adds, weight.num, &work)) work = SIZE_MAX;
    return std::clamp<std::size_t>(work / weight.den / PARALLEL_UNIT, 1,
                                   std::max<std::size_t>(most, 1));
}

constexpr bool worth_parallel(std::size_t multiply_adds, Weight weight = {}) {
    return parts_for(multiply_adds, weight, 2) == 2;
}

// A pool made for one call, on which the call runs its parts in rounds.
class Parallel {
public:
    // Starts `workers` threads; faults as ThreadPool does.
    explicit Parallel(std::size_t workers) : pool_(workers) {}

    // Runs part(0), ..., part(parts - 1) concurrently: all on the pool, or
    // part(0) on the calling thread when `first_here`. A worker's part runs
    // under the round's cancel flag (cancel.hpp); the wait answers the
    // calling thread's InterruptCheck with Interrupted.
    //
    // Returns only once no part runs or can still start, on every way out, so
    // parts may use the caller's memory. Every part's exception is captured;
    // the first by part order is rethrown once all have ended (a worker's
    // std::bad_alloc as itself).
    template <class Part>
    void run(std::size_t parts, const Part& part, bool first_here = false) {
        run_erased(parts, [](const void* p, std::size_t j) { (*static_cast<const Part*>(p))(j); },
                   &part, first_here);
    }

private:
    void run_erased(std::size_t parts, void (*call)(const void*, std::size_t), const void* part,
                    bool first_here);

    ThreadPool pool_;
};

// part(0) on the calling thread, the others on a pool of parts - 1 made for
// the call (none for one part); as Parallel::run otherwise.
template <class Part>
void run_parts(std::size_t parts, const Part& part) {
    if (parts <= 1) {
        if (parts == 1) part(0);
        return;
    }
    Parallel(parts - 1).run(parts, part, true);
}

}  // namespace strassen::detail
