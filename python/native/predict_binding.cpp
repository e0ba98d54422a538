// predict: each row's prediction from that row alone.
#include "arrays.hpp"
#include "bindings.hpp"
#include "bravolin/row_predict.hpp"

namespace bravolin::exact {

PyObject* predict(PyObject*, PyObject* args) {
    PyObject *x_obj, *c_obj, *b_obj;
    unsigned int threads;
    if (!PyArg_ParseTuple(args, "OOOI:predict", &x_obj, &c_obj, &b_obj, &threads)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        PyRef x(reinterpret_cast<PyObject*>(float_array(x_obj, 2)));
        PyRef coef(check(PyArray_FROMANY(c_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        PyRef intercept(check(PyArray_FROMANY(b_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        auto* ca = reinterpret_cast<PyArrayObject*>(coef.get());
        auto* ba = reinterpret_cast<PyArrayObject*>(intercept.get());
        Rows rows = rows_of(reinterpret_cast<PyArrayObject*>(x.get()), nullptr, nullptr);
        rows.q = dim(ca, 0);
        if (dim(ca, 1) != rows.p || dim(ba, 0) != rows.q) strassen::fault("coef, intercept and x disagree");
        const npy_intp dims[2] = {static_cast<npy_intp>(rows.n), static_cast<npy_intp>(rows.q)};
        void* out;
        PyRef result(new_array(2, dims, NPY_DOUBLE, &out));
        const auto* c = static_cast<const double*>(PyArray_DATA(ca));
        const auto* b = static_cast<const double*>(PyArray_DATA(ba));
        without_gil([&] {
            row_predict(rows, c, b, static_cast<double*>(out), threads == 0 ? 1 : threads);
        });
        return result.release();
    });
}

}  // namespace bravolin::exact
