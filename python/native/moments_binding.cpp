// accumulate and merge: exact moments as plain arrays, so that they pickle,
// travel between processes and merge in any order.
#include <cstring>

#include "arrays.hpp"
#include "bindings.hpp"

namespace bravolin::exact {

PyObject* to_state(const Moments& m) {
    const auto k = static_cast<npy_intp>(m.columns);
    void *lb, *rb, *sums;
    PyRef left(new_array(1, &k, NPY_INT32, &lb));
    PyRef right(new_array(1, &k, NPY_INT32, &rb));
    const npy_intp sdims[3] = {static_cast<npy_intp>(m.entries()), PAIRS, 2};
    PyRef sum_array(new_array(3, sdims, NPY_INT64, &sums));
    for (std::size_t c = 0; c < m.columns; ++c) {
        static_cast<npy_int32*>(lb)[c] = m.left_bin[c];
        static_cast<npy_int32*>(rb)[c] = m.right_bin[c];
    }
    auto* out = static_cast<std::int64_t*>(sums);
    for (std::size_t i = 0; i < m.sums.size(); ++i) {
        const auto bits = static_cast<unsigned __int128>(m.sums[i]);
        out[2 * i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(bits));
        out[2 * i + 1] = static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 64));
    }
    return Py_BuildValue("(OOOL)", left.get(), right.get(), sum_array.get(), static_cast<long long>(m.rows));
}

Moments from_state(PyObject* state) {
    PyObject *lo, *ro, *so;
    long long rows;
    check_status(PyArg_ParseTuple(state, "OOOL", &lo, &ro, &so, &rows) ? 0 : -1);
    PyRef left(check(PyArray_FROMANY(lo, NPY_INT32, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
    PyRef right(check(PyArray_FROMANY(ro, NPY_INT32, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
    PyRef sums(check(PyArray_FROMANY(so, NPY_INT64, 3, 3, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
    auto* la = reinterpret_cast<PyArrayObject*>(left.get());
    auto* ra = reinterpret_cast<PyArrayObject*>(right.get());
    auto* sa = reinterpret_cast<PyArrayObject*>(sums.get());
    Moments m(dim(la, 0));
    if (dim(ra, 0) != m.columns || dim(sa, 0) != m.entries() || dim(sa, 1) != PAIRS || dim(sa, 2) != 2) {
        strassen::fault("malformed moments");
    }
    for (std::size_t c = 0; c < m.columns; ++c) {
        m.left_bin[c] = static_cast<const npy_int32*>(PyArray_DATA(la))[c];
        m.right_bin[c] = static_cast<const npy_int32*>(PyArray_DATA(ra))[c];
    }
    const auto* in = static_cast<const std::int64_t*>(PyArray_DATA(sa));
    for (std::size_t i = 0; i < m.sums.size(); ++i) {
        const auto bits = (static_cast<unsigned __int128>(static_cast<std::uint64_t>(in[2 * i + 1])) << 64) |
                          static_cast<std::uint64_t>(in[2 * i]);
        m.sums[i] = static_cast<__int128>(bits);
    }
    m.rows = rows;
    return m;
}

PyObject* accumulate(PyObject*, PyObject* args) {
    PyObject *x_obj, *y_obj, *w_obj;
    unsigned int threads;
    if (!PyArg_ParseTuple(args, "OOOI:accumulate", &x_obj, &y_obj, &w_obj, &threads)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        PyRef x(reinterpret_cast<PyObject*>(float_array(x_obj, 2)));
        PyRef y(reinterpret_cast<PyObject*>(float_array(y_obj, 2)));
        PyObject* w_raw = w_obj == Py_None ? nullptr : reinterpret_cast<PyObject*>(float_array(w_obj, 1));
        PyRef w(w_raw == nullptr ? Py_NewRef(Py_None) : w_raw);
        const Rows rows = rows_of(reinterpret_cast<PyArrayObject*>(x.get()), reinterpret_cast<PyArrayObject*>(y.get()),
                                  w_raw == nullptr ? nullptr : reinterpret_cast<PyArrayObject*>(w_raw));
        Moments m;
        without_gil([&] {
            m = bravolin::accumulate(rows, threads == 0 ? 1 : threads);
        });
        return to_state(m);
    });
}

PyObject* merge(PyObject*, PyObject* args) {
    PyObject *a, *b;
    if (!PyArg_ParseTuple(args, "OO:merge", &a, &b)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        Moments total = from_state(a);
        merge_into(total, from_state(b));
        return to_state(total);
    });
}

}  // namespace bravolin::exact
