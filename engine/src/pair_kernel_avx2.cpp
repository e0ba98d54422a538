// The kernel compiled for AVX2 (four 64-bit lanes); chosen at run time.
#include "pair_kernel.hpp"

namespace bravolin::detail {

void pair_products_avx2(const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, int nl, int nr,
                        std::int64_t* out) {
    pair_products_any(ld, rd, rows, nl, nr, out);
}

const Kernels AVX2_KERNELS = {
    &pair_products_avx2,
    &plain_digits<LEFT_DIGITS>,
    &plain_digits<RIGHT_DIGITS>,
    &pair_digits<LEFT_DIGITS>,
    &exact_products,
};

}  // namespace bravolin::detail
