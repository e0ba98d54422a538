// Multiply-adds per second of every kernel variant this CPU runs, at the shapes
// the library feeds it: square blocks of side 64 and 40 (the leaves of wide fits)
// from the Strassen recursion, and the tall products of fitting (k x 64 by 64 x k,
// and a column on the right).
//
// Peak, per variant: cores x clock x doubles per vector x 2 ports / 2, one
// multiply and one add per multiply-add. The clock is /proc/cpuinfo's "cpu MHz"
// (the nominal figure a virtual machine reports; turbo may run above it). The
// kernel runs on one thread. Each figure is the best of many runs of about a
// millisecond: on a machine shared with other work that is the run least
// disturbed by it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "strassen/kernel.hpp"

namespace {

using strassen::KernelFn;
using strassen::detail::KernelIsa;

struct Variant {
    const char* name;
    KernelIsa isa;
    KernelFn fn;
    double lanes;  // doubles per vector register
};

struct Shape {
    const char* name;
    std::size_t m, n, k;
};

double cpu_mhz() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("cpu MHz", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon != std::string::npos) return std::stod(line.substr(colon + 1));
    }
    return 0.0;
}

// Seconds per call: the best of 300 runs of enough calls to last ~1 ms.
double seconds_per_call(KernelFn fn, const Shape& s) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<double> a(s.m * s.k), b(s.k * s.n), c(s.m * s.n);
    for (double& x : a) x = value(rng);
    for (double& x : b) x = value(rng);

    using clock = std::chrono::steady_clock;
    const auto run = [&](std::size_t calls) {
        const auto start = clock::now();
        for (std::size_t r = 0; r < calls; ++r)
            fn(a.data(), s.k, 1, b.data(), s.n, c.data(), s.n, s.m, s.n, s.k);
        return std::chrono::duration<double>(clock::now() - start).count();
    };
    std::size_t calls = 1;
    while (run(calls) < 0.001) calls *= 2;
    double best = run(calls);
    for (int trial = 0; trial < 300; ++trial) best = std::min(best, run(calls));
    return best / static_cast<double>(calls);
}

}  // namespace

int main() {
    const Variant variants[] = {
        {"scalar", KernelIsa::scalar, strassen::detail::kernel_mult_scalar, 1},
        {"sse2", KernelIsa::sse2, strassen::detail::kernel_mult_sse2, 2},
        {"avx2", KernelIsa::avx2, strassen::detail::kernel_mult_avx2, 4},
        {"avx512", KernelIsa::avx512, strassen::detail::kernel_mult_avx512, 8},
    };
    const Shape shapes[] = {
        {"64x64 by 64x64 (side 64; tall k=64)", 64, 64, 64},
        {"16x64 by 64x16 (tall k=16)", 16, 16, 64},
        {"3x64 by 64x3 (tall k=3)", 3, 3, 64},
        {"64x64 by 64x1 (column)", 64, 1, 64},
        {"40x40 by 40x40 (leaves of wide fits)", 40, 40, 40},
    };

    const double mhz = cpu_mhz();
    const unsigned cores = std::thread::hardware_concurrency();
    std::printf("clock %.1f MHz (/proc/cpuinfo), %u cores; kernel_mult uses %s\n", mhz, cores,
                variants[static_cast<int>(strassen::detail::kernel_selected())].name);
    std::printf("peak = cores x clock x lanes x 2 ports / 2 multiply-adds per second\n\n");
    std::printf("%-38s %-7s %12s %10s %8s\n", "shape", "variant", "Gmul-add/s", "peak", "of peak");
    for (const Shape& s : shapes) {
        for (const Variant& v : variants) {
            if (!strassen::detail::kernel_supported(v.isa)) continue;
            const double rate = static_cast<double>(s.m * s.n * s.k) / seconds_per_call(v.fn, s);
            const double peak = cores * mhz * 1e6 * v.lanes * 2 / 2;
            std::printf("%-38s %-7s %12.2f %10.2f %7.1f%%\n", s.name, v.name, rate / 1e9,
                        peak / 1e9, 100 * rate / peak);
        }
    }
    return 0;
}
