#include "row_tree.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>

#include "strassen/mult.hpp"

namespace bravolin::exact {

namespace {

using strassen::Buffer;
using strassen::Matrix;

// The products run for seconds on large nodes; a Dask worker keeps talking to
// its scheduler from other threads meanwhile. Restored on every way out, so
// that `guarded` sets its exception with the GIL held.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// A C-contiguous float64 view of obj with ndim dimensions (a copy only when it
// must convert).
Ref float_array(PyObject* obj, int ndim) {
    return Ref(PyArray_FROMANY(obj, NPY_DOUBLE, ndim, ndim,
                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
}

std::size_t dim(const Ref& a, int i) {
    return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a.get()), i));
}

const double* values(const Ref& a) {
    return static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

double* values_out(const Ref& a) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

[[noreturn]] void value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    throw PythonError{};
}

std::size_t checked_side(Py_ssize_t side, std::size_t rows, std::size_t width) {
    if (width == 0) value_error("arrays must have at least one column");
    if (side < 1 || static_cast<std::size_t>(side) < rows)
        value_error("side must be positive and at least the number of rows");
    return static_cast<std::size_t>(side);
}

// `rows` rows of `width` values from src (each optionally led by 1.0), then
// zero rows up to `side`: the node's block of the padded operand.
Matrix padded_rows(const double* src, std::size_t rows, std::size_t width, std::size_t side,
                   bool ones) {
    const std::size_t cols = width + (ones ? 1 : 0);
    Buffer out;
    out.resize(side * cols);
    double* o = out.data();
    for (std::size_t i = 0; i < rows; ++i, src += width) {
        if (ones) *o++ = 1.0;
        o = std::copy(src, src + width, o);
    }
    std::fill(o, out.data() + out.size(), 0.0);
    return Matrix(std::move(out), side, cols);
}

PyObject* pair(const Matrix& first, const Matrix& second) {
    const Ref a(to_array(first));
    const Ref b(to_array(second));
    return PyTuple_Pack(2, a.get(), b.get());
}

}  // namespace

PyObject* node_products(PyObject*, PyObject* args) {
    PyObject* x_obj;
    PyObject* y_obj;
    Py_ssize_t side_arg;
    int fit_intercept;
    if (!PyArg_ParseTuple(args, "OOnp:node_products", &x_obj, &y_obj, &side_arg, &fit_intercept))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Ref x = float_array(x_obj, 2);
        const Ref y = float_array(y_obj, 2);
        const std::size_t rows = dim(x, 0), p = dim(x, 1), q = dim(y, 1);
        if (dim(y, 0) != rows) value_error("x and y must have the same number of rows");
        if (q == 0) value_error("arrays must have at least one column");
        const std::size_t side = checked_side(side_arg, rows, p + (fit_intercept ? 1 : 0));
        std::optional<Matrix> g, r;
        {
            const WithoutGil unlocked;
            // Built as the model builds its design matrix: D row by row, Dᵀ by
            // the library's transpose. The padding rows are zeros, the column
            // of ones included, as in the padded square of the whole product.
            const Matrix dt = [&] {
                const Matrix d = padded_rows(values(x), rows, p, side, fit_intercept != 0);
                Matrix t = d.transpose();
                g.emplace(strassen::mult(t, d));
                return t;
            }();  // D released before Y's copy is made
            r.emplace(strassen::mult(dt, padded_rows(values(y), rows, q, side, false)));
        }
        return pair(*g, *r);
    });
}

PyObject* combine(PyObject*, PyObject* args) {
    PyObject* top_obj;
    PyObject* bottom_obj;
    if (!PyArg_ParseTuple(args, "OO:combine", &top_obj, &bottom_obj)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Ref top = float_array(top_obj, 2);
        const Ref bottom = float_array(bottom_obj, 2);
        if (dim(top, 0) != dim(bottom, 0) || dim(top, 1) != dim(bottom, 1))
            value_error("top and bottom must have the same shape");
        npy_intp dims[2] = {static_cast<npy_intp>(dim(top, 0)), static_cast<npy_intp>(dim(top, 1))};
        Ref out(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        const double* t = values(top);
        const double* b = values(bottom);
        double* o = values_out(out);
        // C11 = ((M7 - M5) + M4) + M1 with M7 the bottom half's product, M1 the
        // top's, and M5 = M4 = +0.0: each step rounded by itself, as the
        // recursion does it.
        for (std::size_t i = 0, n = dim(top, 0) * dim(top, 1); i < n; ++i)
            o[i] = ((b[i] - 0.0) + 0.0) + t[i];
        return out.release();
    });
}

PyObject* node_predict(PyObject*, PyObject* args) {
    PyObject* x_obj;
    PyObject* w_obj;
    PyObject* b_obj;
    Py_ssize_t side_arg;
    if (!PyArg_ParseTuple(args, "OOOn:node_predict", &x_obj, &w_obj, &b_obj, &side_arg))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Ref x = float_array(x_obj, 2);
        const Ref w = float_array(w_obj, 2);
        const Ref b = float_array(b_obj, 1);
        const std::size_t rows = dim(x, 0), p = dim(x, 1), q = dim(w, 1);
        if (q == 0) value_error("arrays must have at least one column");
        if (dim(b, 0) != q) value_error("b must have one value per column of w");
        const std::size_t side = checked_side(side_arg, rows, p);
        npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(q)};
        Ref out(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        {
            const WithoutGil unlocked;
            const Matrix product = strassen::mult(
                padded_rows(values(x), rows, p, side, false),
                Matrix(Buffer(values(w), values(w) + dim(w, 0) * q), dim(w, 0), q));
            const double* shift = values(b);
            double* o = values_out(out);
            for (std::size_t i = 0; i < rows * q; ++i) o[i] = product.data[i] + shift[i % q];
        }
        return out.release();
    });
}

}  // namespace bravolin::exact
