// Wall-clock time of the model's inverse: the LAPACK port's dgetrf with
// M = N = LDA = k, then dgetri with LWORK = k (its unblocked column sweep),
// exactly as the model calls them, on a copy of one random matrix per side.
//
// Usage: bench_inverse [repeats] [side...]   (default 5; 250 500 1000)
// Prints one line per side: "k best_ms median_ms getrf_ms getri_ms", times in
// milliseconds of the two calls alone (the copy of the matrix is not timed):
// the best and the median of the pair, then the best of each call.
// bench/bench_inverse.py runs this beside numpy.linalg.inv in one run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "lapack.hpp"

namespace {

// Uniform entries with a heavier diagonal: invertible, with pivoting still
// at work (the largest entry of a column is often off the diagonal).
std::vector<double> test_matrix(int k, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const auto side = static_cast<std::size_t>(k);
    std::vector<double> a(side * side);
    for (double& x : a) x = u(rng);
    for (std::size_t i = 0; i < side; ++i) a[i * side + i] += 2.0;
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    if (argc > 1) repeats = std::max(1, std::atoi(argv[1]));
    std::vector<int> sides;
    for (int i = 2; i < argc; ++i) sides.push_back(std::atoi(argv[i]));
    if (sides.empty()) sides = {250, 500, 1000};

    std::mt19937_64 rng(42);
    for (int k : sides) {
        if (k < 1) {
            std::fprintf(stderr, "bench_inverse: side %d is not positive\n", k);
            return 2;
        }
        const std::vector<double> g = test_matrix(k, rng);
        const auto side = static_cast<std::size_t>(k);
        std::vector<double> times;
        double getrf_best = 1e300, getri_best = 1e300;
        for (int r = 0; r < repeats; ++r) {
            std::vector<double> a = g;
            std::vector<int> ipiv(side, 0);
            std::vector<double> work(side, 0.0);
            const auto t0 = std::chrono::steady_clock::now();
            int info = bravolin::lapack::dgetrf(k, k, a.data(), k, ipiv.data());
            const auto t_mid = std::chrono::steady_clock::now();
            if (info == 0) info = bravolin::lapack::dgetri(k, a.data(), k, ipiv.data(),
                                                           work.data(), k);
            const auto t1 = std::chrono::steady_clock::now();
            if (info != 0) {
                std::fprintf(stderr, "bench_inverse: INFO %d at side %d\n", info, k);
                return 1;
            }
            times.push_back(std::chrono::duration<double>(t1 - t0).count() * 1e3);
            getrf_best =
                std::min(getrf_best, std::chrono::duration<double>(t_mid - t0).count() * 1e3);
            getri_best =
                std::min(getri_best, std::chrono::duration<double>(t1 - t_mid).count() * 1e3);
        }
        std::sort(times.begin(), times.end());
        std::printf("%d %.3f %.3f %.3f %.3f\n", k, times.front(), times[times.size() / 2],
                    getrf_best, getri_best);
        std::fflush(stdout);
    }
    return 0;
}
