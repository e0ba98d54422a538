// Whether any of `count` contiguous values lies outside [-bound, bound] or is
// NaN: the check that keeps values the region path cannot take away from it.
#pragma once

#include <cstddef>

namespace strassen::detail {

// The variant for this CPU: AVX2 where it has it (chosen once).
bool any_outside(const double* p, std::size_t count, double bound);

bool any_outside_sse2(const double* p, std::size_t count, double bound);
// Only on a CPU for which kernel_supported(KernelIsa::avx2) holds.
bool any_outside_avx2(const double* p, std::size_t count, double bound);

}  // namespace strassen::detail
