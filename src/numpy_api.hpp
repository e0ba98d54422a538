// NumPy's C API, loaded at run time on first need. Every file that uses the
// API includes this header instead of NumPy's own.
#pragma once

#include "python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL bravolin_learn_ARRAY_API
#ifndef BRAVOLIN_NUMPY_API_DEFINE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace bravolin {

// "numpy._core.multiarray" on NumPy 2 and later, where "numpy.core" is only a
// deprecated alias whose attributes other extensions do not see;
// "numpy.core.multiarray" before. Faults when NumPy cannot be imported.
const char* multiarray_module_name();

// Loads the API table once. Faults with "Failed to access NumPy array API
// capsule: ..." when it cannot. Needs the GIL.
void ensure_numpy_api();

// "<type name>: <message>" of the pending Python error, which is cleared.
std::string describe_and_clear_error();

}  // namespace bravolin
