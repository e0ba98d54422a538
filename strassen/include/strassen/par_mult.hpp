// Parallel Strassen product: the seven top-level products run on a pool of
// seven workers made for the call.
#pragma once

#include <cstddef>

#include "strassen/matrix.hpp"

namespace strassen {

// One worker per top-level Strassen product, independent of the machine's
// core count, so that the split of work never depends on the host.
inline constexpr std::size_t PAR_MULT_WORKERS = 7;

// Bit for bit equal to mult(a, b). Faults with "Matrix sizes do not match".
Matrix par_mult(const Matrix& a, const Matrix& b);

}  // namespace strassen
