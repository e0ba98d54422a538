// Wall-clock time of the sequential and parallel products, and the speedup of
// the parallel one, for square sides and the tall shapes of fitting: mult and
// par_mult (the region path on this finite data) and, where the padded square
// fits, the dense recursion they fall back to.
//
// Usage: bench_mult [max_seconds_per_case]   (default 1.0)
// Each case runs at least three times and until the budget is spent; the
// table shows the median.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "strassen/matrix.hpp"
#include "strassen/mult.hpp"
#include "strassen/par_mult.hpp"

namespace {

using strassen::Buffer;
using strassen::Matrix;

Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Buffer v(rows * cols);
    for (double& x : v) x = u(rng);
    return Matrix(std::move(v), rows, cols);
}

template <class F>
double median_seconds(F&& f, double budget) {
    std::vector<double> times;
    const auto start = std::chrono::steady_clock::now();
    do {
        const auto t0 = std::chrono::steady_clock::now();
        const Matrix c = f();
        const auto t1 = std::chrono::steady_clock::now();
        if (c.size == 0) std::abort();  // keep the result alive
        times.push_back(std::chrono::duration<double>(t1 - t0).count());
    } while (times.size() < 3 ||
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
                 budget);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Case {
    std::string name;
    std::size_t m, k, n;
    bool dense;  // also time mult_dense and par_mult_dense
};

void print_ms(double seconds) {
    if (seconds > 0)
        std::printf(" %11.3f", seconds * 1e3);
    else
        std::printf(" %11s", "-");
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
    std::vector<Case> cases;
    for (std::size_t s : {64u, 128u, 256u, 512u, 1024u})
        cases.push_back({"square " + std::to_string(s), s, s, s, true});
    auto tall = [&](std::size_t n, bool dense) {
        const std::string ns = std::to_string(n);
        cases.push_back({"(16x" + ns + ")(" + ns + "x16)", 16, n, 16, dense});
    };
    tall(1000, true);
    tall(4000, true);
    for (std::size_t n : {10'000u, 100'000u, 1'000'000u}) tall(n, false);
    for (std::size_t n : {4000u, 1'000'000u}) {
        const std::string ns = std::to_string(n);
        cases.push_back({"(" + ns + "x16)(16x1)", n, 16, 1, n <= 4000});
    }

    std::mt19937_64 rng(1);
    std::printf("%-24s %11s %11s %7s %11s %11s %7s\n", "shape", "mult ms", "par_mult ms",
                "speedup", "dense ms", "par_dense", "speedup");
    for (const Case& c : cases) {
        const Matrix a = random_matrix(c.m, c.k, rng), b = random_matrix(c.k, c.n, rng);
        const double seq = median_seconds([&] { return strassen::mult(a, b); }, budget);
        const double par = median_seconds([&] { return strassen::par_mult(a, b); }, budget);
        double seq_dense = 0, par_dense = 0;
        if (c.dense) {
            seq_dense = median_seconds([&] { return strassen::mult_dense(a, b); }, budget);
            par_dense = median_seconds([&] { return strassen::par_mult_dense(a, b); }, budget);
        }
        std::printf("%-24s", c.name.c_str());
        print_ms(seq);
        print_ms(par);
        std::printf(" %7.2f", seq / par);
        print_ms(seq_dense);
        print_ms(par_dense);
        if (c.dense)
            std::printf(" %7.2f\n", seq_dense / par_dense);
        else
            std::printf(" %7s\n", "-");
        std::fflush(stdout);
    }
    return 0;
}
