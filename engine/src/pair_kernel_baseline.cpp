#include "pair_kernel.hpp"

#include <cstdlib>
#include <cstring>

namespace bravolin::detail {

void pair_products_baseline(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                            std::int64_t* out) {
    pair_products_any(ld, rd, rows, nl, nr, out);
}

const Kernels& kernels() {
    static const Kernels* chosen = [] {
        const char* asked = std::getenv("BRAVOLIN_ENGINE_ISA");
        if (asked != nullptr && std::strcmp(asked, "baseline") == 0) return &BASELINE_KERNELS;
        return __builtin_cpu_supports("avx2") ? &AVX2_KERNELS : &BASELINE_KERNELS;
    }();
    return *chosen;
}

const Kernels BASELINE_KERNELS = {
    &pair_products_baseline,
    &plain_digits<LEFT_DIGITS>,
    &plain_digits<RIGHT_DIGITS>,
    &pair_digits<LEFT_DIGITS>,
    &exact_products,
};

}  // namespace bravolin::detail
