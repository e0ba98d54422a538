// The bindings of the engine's moments, solve and prediction.
#pragma once

#include "support.hpp"
#include "bravolin/moments.hpp"

namespace bravolin::exact {

// Moments as the tuple (left_bin, right_bin, sums, rows) and back.
PyObject* to_state(const Moments& m);
Moments from_state(PyObject* state);

PyObject* accumulate(PyObject*, PyObject* args);
PyObject* merge(PyObject*, PyObject* args);
PyObject* solve(PyObject*, PyObject* args);
PyObject* predict(PyObject*, PyObject* args);
PyObject* fit_statistics(PyObject*, PyObject* args);
PyObject* raw_gram(PyObject*, PyObject* args);
PyObject* constant_column(PyObject*, PyObject* args);
PyObject* row_leverage(PyObject*, PyObject* args);
PyObject* eigenvalues(PyObject*, PyObject* args);
PyObject* sandwich(PyObject*, PyObject* args);
PyObject* definite_solve(PyObject*, PyObject* args);

}  // namespace bravolin::exact
