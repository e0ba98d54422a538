#include "pair_kernel.hpp"

#include <cstdlib>
#include <cstring>

namespace bravolin::detail {

void pair_products_baseline(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                            std::int64_t* out) {
    pair_products_any(ld, rd, rows, nl, nr, out);
}

PairKernel pair_kernel() {
    static const PairKernel chosen = [] {
        const char* asked = std::getenv("BRAVOLIN_ENGINE_ISA");
        const bool avx2 = __builtin_cpu_supports("avx2");
        if (asked != nullptr && std::strcmp(asked, "baseline") == 0) return &pair_products_baseline;
        return avx2 ? &pair_products_avx2 : &pair_products_baseline;
    }();
    return chosen;
}

}  // namespace bravolin::detail
