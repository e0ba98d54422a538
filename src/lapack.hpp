// LAPACK, taken at run time from SciPy's exported Cython LAPACK.
#pragma once

#include "model.hpp"

namespace bravolin {

// The LAPACK routines, resolved on first call and kept for the process. Returns
// nullptr with ImportError set when SciPy or its capsules cannot be read.
// Needs the GIL.
const Lapack* lapack_functions();

}  // namespace bravolin
