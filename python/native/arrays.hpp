// The package's validated float64 arrays, read in place through their strides.
#pragma once

#include "support.hpp"
#include "bravolin/moments.hpp"

namespace bravolin::exact {

// A float64 array of `dims` dimensions, aligned, in any layout (a new
// reference; converted only if its dtype or alignment needs it).
inline PyArrayObject* float_array(PyObject* obj, int dims) {
    PyObject* a = PyArray_FROMANY(obj, NPY_DOUBLE, dims, dims, NPY_ARRAY_ALIGNED);
    check(a);
    return reinterpret_cast<PyArrayObject*>(a);
}

inline std::ptrdiff_t stride(PyArrayObject* a, int axis) {
    return static_cast<std::ptrdiff_t>(PyArray_STRIDE(a, axis)) / static_cast<std::ptrdiff_t>(sizeof(double));
}

inline std::size_t dim(PyArrayObject* a, int axis) { return static_cast<std::size_t>(PyArray_DIM(a, axis)); }

// Rows of x (n x p), y (n x q, may be null) and w (n, may be null).
inline Rows rows_of(PyArrayObject* x, PyArrayObject* y, PyArrayObject* w) {
    Rows r;
    r.n = dim(x, 0);
    r.p = dim(x, 1);
    r.x = static_cast<const double*>(PyArray_DATA(x));
    r.x_row = stride(x, 0);
    r.x_col = stride(x, 1);
    if (y != nullptr) {
        if (dim(y, 0) != r.n) strassen::fault("x and y have different numbers of rows");
        r.q = dim(y, 1);
        r.y = static_cast<const double*>(PyArray_DATA(y));
        r.y_row = stride(y, 0);
        r.y_col = stride(y, 1);
    }
    if (w != nullptr) {
        if (dim(w, 0) != r.n) strassen::fault("x and w have different numbers of rows");
        r.w = static_cast<const double*>(PyArray_DATA(w));
        r.w_step = stride(w, 0);
    }
    return r;
}

inline PyObject* new_array(int nd, const npy_intp* dims, int type, void** data) {
    PyObject* a = PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), type);
    check(a);
    *data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(a));
    return a;
}

}  // namespace bravolin::exact
