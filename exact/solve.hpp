// The last step of a fit whose products were formed elsewhere.
#pragma once

#include "support.hpp"

namespace bravolin::exact {

// solve(g, r) -> B = G⁻¹·R, or None when G has no inverse: the model's own
// inverse and product, in the model's order, so that B has the bits of a fit
// that formed G and R itself.
PyObject* solve(PyObject* self, PyObject* args);

}  // namespace bravolin::exact
