// predict(x, w, b): the estimators' prediction X·W + b with the library's own
// product, so that a prediction has the same bits on every machine and, for
// one target, exactly the bits of bravolin_learn's predict on the same
// parameters.
#include "support.hpp"
#include "strassen/par_mult.hpp"

namespace bravolin::exact {

namespace {

// The intercepts as a 1-D float64 array of length q.
strassen::Buffer to_vector(PyObject* obj, std::size_t q) {
    Ref array(PyArray_FROMANY(obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (static_cast<std::size_t>(PyArray_DIM(a, 0)) != q) {
        PyErr_Format(PyExc_ValueError, "b has %zd values for %zu targets",
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)), q);
        throw PythonError{};
    }
    const auto* values = static_cast<const double*>(PyArray_DATA(a));
    return strassen::Buffer(values, values + q);
}

}  // namespace

PyObject* predict(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_Format(PyExc_TypeError, "predict() takes 3 arguments (%zd given)", nargs);
            return nullptr;
        }
        const strassen::Matrix x = to_matrix(args[0]);
        const strassen::Matrix w = to_matrix(args[1]);
        const strassen::Buffer b = to_vector(args[2], w.cols);
        strassen::Matrix p = strassen::par_mult(x, w);
        // Added even when it is 0.0, as the model's own predict does, so that
        // the two give the same bits.
        double* out = p.data.data();
        for (std::size_t i = 0; i < p.rows; ++i, out += p.cols)
            for (std::size_t t = 0; t < p.cols; ++t) out[t] = out[t] + b[t];
        return to_array(p);
    });
}

}  // namespace bravolin::exact
