#include "scaled_fit.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "model.hpp"
#include "strassen/interrupt.hpp"
#include "strassen/view.hpp"

namespace bravolin::exact {

namespace {

// A float64 array of `ndim` dimensions in native byte order, any strides: the
// same object when it already is one (a new reference, which keeps it alive
// while it is read).
PyObject* native_array(PyObject* obj, int ndim) {
    return PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), ndim, ndim,
                           NPY_ARRAY_NOTSWAPPED, nullptr);
}

strassen::MatrixView view_of(PyObject* array_obj) {
    auto* a = reinterpret_cast<PyArrayObject*>(array_obj);
    const auto rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    return {static_cast<const char*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1),
            rows, cols};
}

double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Columns per pass over a block of rows: their running bounds stay in
// registers (four SSE2 vectors each, with the row's values beside them).
constexpr std::size_t BOUND_COLUMNS = 8;
// Rows per block: a block of a 16-column row-major array (16 KiB) stays in
// the first-level cache while each group of columns passes over it.
constexpr std::size_t BOUND_ROWS = 128;
// From this many elements (8 MiB) the rows are split between the calling
// thread and one more: a thread costs some 0.1 ms to start and join.
constexpr std::size_t PARALLEL_BOUNDS = std::size_t{1} << 20;

// Each column's running minimum and maximum, and whether it met a NaN (which
// never wins a comparison, so the bounds alone would not show it).
struct Bounds {
    std::vector<double> lo, hi;
    std::vector<bool> nan;
};

// Assumptions: rows [r0, r1) and columns [c0, c0 + BOUND_COLUMNS), each row's
// values adjacent. Plain SSE2 (every x86-64 has it), two columns a lane pair:
// min and max are exact whatever the order values meet in, but for the sign
// of a zero bound. A NaN is only noted.
void bound_group(const strassen::MatrixView& v, std::size_t r0, std::size_t r1, std::size_t c0,
                 Bounds& b) {
    constexpr std::size_t V = BOUND_COLUMNS / 2;
    __m128d l[V], h[V];
    __m128d odd = _mm_setzero_pd();
    for (std::size_t t = 0; t < V; ++t) {
        l[t] = _mm_set_pd(b.lo[c0 + 2 * t + 1], b.lo[c0 + 2 * t]);
        h[t] = _mm_set_pd(b.hi[c0 + 2 * t + 1], b.hi[c0 + 2 * t]);
    }
    const char* base = v.data + static_cast<std::ptrdiff_t>(c0 * sizeof(double));
    for (std::size_t i = r0; i < r1; ++i) {
        const auto* row =
            reinterpret_cast<const double*>(base + static_cast<std::ptrdiff_t>(i) * v.row_stride);
        for (std::size_t t = 0; t < V; ++t) {
            const __m128d x = _mm_loadu_pd(row + 2 * t);
            l[t] = _mm_min_pd(x, l[t]);
            h[t] = _mm_max_pd(x, h[t]);
            odd = _mm_or_pd(odd, _mm_cmpunord_pd(x, x));
        }
    }
    double lo[BOUND_COLUMNS], hi[BOUND_COLUMNS];
    for (std::size_t t = 0; t < V; ++t) {
        _mm_storeu_pd(lo + 2 * t, l[t]);
        _mm_storeu_pd(hi + 2 * t, h[t]);
    }
    const bool seen = _mm_movemask_pd(odd) != 0;
    for (std::size_t j = 0; j < BOUND_COLUMNS; ++j) {
        b.lo[c0 + j] = lo[j];
        b.hi[c0 + j] = hi[j];
        // Which of the group's columns held it is left to propagate_nan.
        if (seen) b.nan[c0 + j] = true;
    }
}

// One column, rows [0, rows), scalar: any strides.
void bound_column(const strassen::MatrixView& v, std::size_t j, Bounds& b) {
    double l = b.lo[j], h = b.hi[j];
    bool nan = false;
    std::size_t i = 0;
    const char* col = v.data + static_cast<std::ptrdiff_t>(j) * v.col_stride;
    if (v.row_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        // Adjacent rows (a Fortran-ordered array, or a single column): two
        // rows a vector, as in bound_group.
        const auto* p = reinterpret_cast<const double*>(col);
        __m128d lv = _mm_set1_pd(l), hv = _mm_set1_pd(h), odd = _mm_setzero_pd();
        for (; i + 2 <= v.rows; i += 2) {
            const __m128d x = _mm_loadu_pd(p + i);
            lv = _mm_min_pd(x, lv);
            hv = _mm_max_pd(x, hv);
            odd = _mm_or_pd(odd, _mm_cmpunord_pd(x, x));
        }
        double lanes[2];
        _mm_storeu_pd(lanes, lv);
        l = lanes[1] < lanes[0] ? lanes[1] : lanes[0];
        _mm_storeu_pd(lanes, hv);
        h = lanes[1] > lanes[0] ? lanes[1] : lanes[0];
        nan = _mm_movemask_pd(odd) != 0;
    }
    for (; i < v.rows; ++i) {
        const double x = load(col + static_cast<std::ptrdiff_t>(i) * v.row_stride);
        l = x < l ? x : l;
        h = x > h ? x : h;
        nan = nan || x != x;
    }
    b.lo[j] = l;
    b.hi[j] = h;
    if (nan) b.nan[j] = true;
}

Bounds bounds(const strassen::MatrixView& v) {
    Bounds b{std::vector<double>(v.cols), std::vector<double>(v.cols),
             std::vector<bool>(v.cols, false)};
    for (std::size_t j = 0; j < v.cols; ++j) b.lo[j] = b.hi[j] = v(0, j);
    if (v.col_stride != static_cast<std::ptrdiff_t>(sizeof(double)) || v.cols < BOUND_COLUMNS) {
        for (std::size_t j = 0; j < v.cols; ++j) bound_column(v, j, b);
        return b;
    }
    const std::size_t grouped = v.cols - v.cols % BOUND_COLUMNS;
    for (std::size_t r0 = 0; r0 < v.rows; r0 += BOUND_ROWS) {
        const std::size_t r1 = std::min(v.rows, r0 + BOUND_ROWS);
        for (std::size_t c0 = 0; c0 < grouped; c0 += BOUND_COLUMNS) bound_group(v, r0, r1, c0, b);
    }
    for (std::size_t j = grouped; j < v.cols; ++j) bound_column(v, j, b);
    return b;
}

// The rows split between this thread and one more when there are enough;
// the halves' bounds meet exactly (min and max again).
Bounds split_bounds(const strassen::MatrixView& v) {
    std::size_t count = 0;
    if (v.rows < 2 || __builtin_mul_overflow(v.rows, v.cols, &count) || count < PARALLEL_BOUNDS)
        return bounds(v);
    const std::size_t half = v.rows / 2;
    strassen::MatrixView top = v, bottom = v;
    top.rows = half;
    bottom.data += static_cast<std::ptrdiff_t>(half) * v.row_stride;
    bottom.rows = v.rows - half;
    Bounds low;
    std::thread worker;
    try {
        worker = std::thread([&] { low = bounds(bottom); });
    } catch (const std::system_error&) {
        // No thread to be had: the same bounds on this one.
        return bounds(v);
    }
    Bounds b = bounds(top);
    worker.join();
    for (std::size_t j = 0; j < v.cols; ++j) {
        b.lo[j] = low.lo[j] < b.lo[j] ? low.lo[j] : b.lo[j];
        b.hi[j] = low.hi[j] > b.hi[j] ? low.hi[j] : b.hi[j];
        if (low.nan[j]) b.nan[j] = true;
    }
    return b;
}

// np.min and np.max propagate a NaN: a column that holds one (looked for
// again only in columns where the pass saw one) has NaN bounds.
void propagate_nan(const strassen::MatrixView& v, Bounds& b) {
    for (std::size_t j = 0; j < v.cols; ++j) {
        if (!b.nan[j]) continue;
        for (std::size_t i = 0; i < v.rows; ++i)
            if (std::isnan(v(i, j))) {
                b.lo[j] = b.hi[j] = v(i, j);
                break;
            }
    }
}

PyObject* new_vector(std::size_t n, double** data) {
    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyObject* array = PyArray_SimpleNew(1, const_cast<npy_intp*>(dims), NPY_DOUBLE);
    if (array == nullptr) throw PythonError{};
    *data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    return array;
}

// A view's column map: `cols` shifts and power-of-two scales, checked.
struct ColumnMap {
    Ref shift, scale;

    ColumnMap(PyObject* shift_obj, PyObject* scale_obj, std::size_t cols, const char* name)
        : shift(PyArray_FROMANY(shift_obj, NPY_DOUBLE, 1, 1,
                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)),
          scale(PyArray_FROMANY(scale_obj, NPY_DOUBLE, 1, 1,
                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)) {
        for (PyObject* a : {shift.get(), scale.get()})
            if (static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0)) !=
                cols) {
                PyErr_Format(PyExc_ValueError, "%s's map has %zd values for %zu columns", name,
                             static_cast<Py_ssize_t>(
                                 PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0)),
                             cols);
                throw PythonError{};
            }
        // A power of two whose own value is normal: a product by it is
        // correctly rounded exactly as ldexp by its exponent.
        for (std::size_t j = 0; j < cols; ++j) {
            int e = 0;
            const double s = scales()[j];
            if (!(std::isnormal(s) && s > 0.0 && std::frexp(s, &e) == 0.5)) {
                PyErr_Format(PyExc_ValueError, "%s's scale %zu is not a normal power of two",
                             name, j);
                throw PythonError{};
            }
        }
    }

    const double* shifts() const noexcept {
        return static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(shift.get())));
    }
    const double* scales() const noexcept {
        return static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(scale.get())));
    }
};

bool signal_pending(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace

PyObject* column_bounds(PyObject*, PyObject* args) {
    PyObject* x_obj;
    if (!PyArg_ParseTuple(args, "O:column_bounds", &x_obj)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Ref x(native_array(x_obj, 2));
        const strassen::MatrixView v = view_of(x.get());
        if (v.rows == 0) {
            PyErr_SetString(PyExc_ValueError, "column_bounds() needs at least one row");
            return nullptr;
        }
        Bounds b = split_bounds(v);
        propagate_nan(v, b);
        double *lo, *hi;
        Ref lo_array(new_vector(v.cols, &lo));
        Ref hi_array(new_vector(v.cols, &hi));
        std::copy(b.lo.begin(), b.lo.end(), lo);
        std::copy(b.hi.begin(), b.hi.end(), hi);
        return PyTuple_Pack(2, lo_array.get(), hi_array.get());
    });
}

PyObject* fit(PyObject*, PyObject* args) {
    PyObject *x_obj, *y_obj, *xs_obj, *xc_obj, *ys_obj, *yc_obj;
    int fit_intercept;
    if (!PyArg_ParseTuple(args, "OOOOOOp:fit", &x_obj, &y_obj, &xs_obj, &xc_obj, &ys_obj,
                          &yc_obj, &fit_intercept))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Ref x(native_array(x_obj, 2));
        const Ref y(native_array(y_obj, 2));
        strassen::MatrixView xv = view_of(x.get()), yv = view_of(y.get());
        for (const strassen::MatrixView* v : {&xv, &yv}) {
            std::size_t count = 0;
            if (__builtin_mul_overflow(v->rows, v->cols, &count)) count = SIZE_MAX;
            // As the core refuses them: a zero-stride view can claim far more
            // elements than it occupies.
            strassen::check_allocation(count, sizeof(double), "a copy of the input array");
            if (v->rows == 0 || v->cols == 0) strassen::fault("cannot create a null matrix");
        }
        const ColumnMap x_map(xs_obj, xc_obj, xv.cols, "x");
        const ColumnMap y_map(ys_obj, yc_obj, yv.cols, "y");
        xv.shift = x_map.shifts();
        xv.scale = x_map.scales();
        yv.shift = y_map.shifts();
        yv.scale = y_map.scales();

        ModelState state;
        state.fit_intercept = fit_intercept != 0;
        std::optional<std::string> failure;
        {
            const strassen::InterruptScope interrupt(signal_pending, nullptr);
            failure = bravolin::fit(state, xv, yv);
        }
        if (failure) {
            if (*failure == INVERSION_FAILED) Py_RETURN_NONE;
            PyErr_SetString(PyExc_RuntimeError, failure->c_str());
            return nullptr;
        }
        // B as the model stores it: row-major, its first element the
        // intercept when there is one.
        const strassen::Buffer& rest = *state.coefficients;
        const std::size_t first = state.intercept ? 1 : 0;
        strassen::Buffer b(rest.size() + first);
        if (state.intercept) b[0] = *state.intercept;
        std::copy(rest.begin(), rest.end(), b.begin() + static_cast<std::ptrdiff_t>(first));
        const std::size_t q = yv.cols, k = b.size() / q;
        return to_array(strassen::Matrix(std::move(b), k, q));
    });
}

}  // namespace bravolin::exact
