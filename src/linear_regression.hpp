// The LinearRegression class.
#pragma once

#include <cstdint>

#include "model.hpp"
#include "python.hpp"

namespace bravolin {

struct LinearRegressionObject {
    PyObject_HEAD
    ModelState state;           // intercept, coefficients, fit_intercept
    std::int64_t borrow_flag;   // 0 free, n > 0 readers, -1 one writer; GIL-protected
};

// The class object, made on first call and kept for the process. Returns
// nullptr with an exception set on failure.
PyObject* linear_regression_type();

PyObject* linear_regression_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* linear_regression_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

}  // namespace bravolin
