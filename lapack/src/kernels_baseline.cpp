// The kernels for baseline x86-64: 128-bit SSE2 vectors, which every x86-64
// has. kernels_body.hpp has the code, kernels.hpp the contract.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "kernels.hpp"

#define LAPACK_VECTOR_BYTES 16
#include "kernels_body.hpp"

namespace bravolin::lapack::detail {

const Kernels& kernels_baseline() {
    static constexpr Kernels table{dgemm_nn, dtrmm_left_upper_n, dtrsm_left_lower_n,
                                   dtrsm_right_upper_n, getri_sweep_rows};
    return table;
}

}  // namespace bravolin::lapack::detail
