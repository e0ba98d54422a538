// The kernels with 256-bit AVX2 vectors. kernels_body.hpp has the code,
// kernels.hpp the contract.
//
// The target is switched on only after every include, so that library code
// (inline functions, templates) is never compiled for AVX2 and shared with
// other translation units; everything compiled for it has internal linkage
// and runs only once kernels() has seen the CPU support it. AVX2 alone: FMA
// is not enabled, so a product and a sum can never be fused, and the build's
// -ffp-contract=off forbids it anyway.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#define LAPACK_VECTOR_BYTES 32
#include "kernels_body.hpp"

#pragma GCC pop_options

namespace bravolin::lapack::detail {

const Kernels& kernels_avx2() {
    static constexpr Kernels table{dgemm_nn, dtrmm_left_upper_n, dtrsm_left_lower_n,
                                   dtrsm_right_upper_n, getri_sweep_rows};
    return table;
}

}  // namespace bravolin::lapack::detail
