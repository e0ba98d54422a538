// Parallel Strassen product: the seven top-level products run on a pool of
// seven workers made for the call.
#pragma once

#include <cstddef>

#include "strassen/matrix.hpp"

namespace strassen {

// One worker per top-level Strassen product, independent of the machine's
// core count, so that the split of work never depends on the host.
inline constexpr std::size_t PAR_MULT_WORKERS = 7;

// Bit for bit equal to mult(a, b). Makes and destroys its own pool of
// PAR_MULT_WORKERS workers on every call that is large enough to gain from
// them; small products (and dense ones of one schoolbook block) run on the
// calling thread. Faults with "Matrix sizes do not
// match" before anything is made; with take_product's texts when a product
// job failed. Takes the same path as mult: the region path (top-level
// products as jobs that read a and b in place) when it applies, otherwise
// par_mult_dense. Returns only once no job can still read a or b.
Matrix par_mult(const Matrix& a, const Matrix& b);

// The dense parallel product: pads, builds the fourteen operands, runs the
// seven products as jobs on mult_dense. Equal bit for bit to mult_dense; also
// throws OutOfMemory as mult_dense does, before making the pool.
Matrix par_mult_dense(const Matrix& a, const Matrix& b);

}  // namespace strassen
