#include "pair_kernel.hpp"

#include <cstdlib>
#include <cstring>

namespace bravolin::detail {

void pair_products_baseline(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                            std::int64_t* out) {
    pair_products_any(ld, rd, rows, nl, nr, out);
}

const Kernels& kernels() {
    static const Kernels chosen = [] {
        const char* env = std::getenv("BRAVOLIN_ENGINE_ISA");
        const auto asked = [env](const char* isa) { return env != nullptr && std::strcmp(env, isa) == 0; };
        if (asked("baseline") || !__builtin_cpu_supports("avx2")) return BASELINE_KERNELS;
        if (asked("avx2") || !__builtin_cpu_supports("avx512f")) return AVX2_KERNELS;
        // AVX-512 pays in the digit products; the digit cuts stay AVX2's.
        Kernels k = AVX2_KERNELS;
        k.pairs = &pair_products_avx512;
        return k;
    }();
    return chosen;
}

const Kernels BASELINE_KERNELS = {
    &pair_products_baseline,
    &plain_digits<LEFT_DIGITS>,
    &plain_digits<RIGHT_DIGITS>,
    &pair_digits<LEFT_DIGITS>,
    &exact_products,
};

}  // namespace bravolin::detail
