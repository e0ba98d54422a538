// fit_statistics, raw_gram and row_leverage: what inference reads beyond the
// coefficients.
#include <algorithm>

#include "arrays.hpp"
#include "bindings.hpp"
#include "bravolin/inference.hpp"

namespace bravolin::exact {

namespace {

PyObject* vector_array(const std::vector<double>& v) {
    const auto n = static_cast<npy_intp>(v.size());
    void* data;
    PyObject* a = new_array(1, &n, NPY_DOUBLE, &data);
    std::copy(v.begin(), v.end(), static_cast<double*>(data));
    return a;
}

PyObject* square_array(const std::vector<double>& v, std::size_t k) {
    const npy_intp dims[2] = {static_cast<npy_intp>(k), static_cast<npy_intp>(k)};
    void* data;
    PyObject* a = new_array(2, dims, NPY_DOUBLE, &data);
    std::copy(v.begin(), v.end(), static_cast<double*>(data));
    return a;
}

}  // namespace

PyObject* fit_statistics(PyObject*, PyObject* args) {
    PyObject *state, *c_obj, *b_obj, *d_obj, *cl_obj = nullptr, *bl_obj = nullptr;
    Py_ssize_t p;
    int fit_intercept;
    if (!PyArg_ParseTuple(args, "OnpOOO|OO:fit_statistics", &state, &p, &fit_intercept, &c_obj, &b_obj, &d_obj,
                          &cl_obj, &bl_obj)) {
        return nullptr;
    }
    return fault_barrier([&]() -> PyObject* {
        const Moments m = from_state(state);
        if (p < 0 || static_cast<std::size_t>(p) + 1 > m.columns) strassen::fault("bad feature count");
        const std::size_t q = m.columns - 1 - static_cast<std::size_t>(p);
        PyRef coef(check(PyArray_FROMANY(c_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        PyRef intercept(check(PyArray_FROMANY(b_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        auto* ca = reinterpret_cast<PyArrayObject*>(coef.get());
        auto* ba = reinterpret_cast<PyArrayObject*>(intercept.get());
        if (dim(ca, 0) != q || dim(ca, 1) != static_cast<std::size_t>(p) || dim(ba, 0) != q) {
            strassen::fault("coef and intercept do not match the moments");
        }
        // Their low parts, both or neither, shaped as they are.
        PyRef coef_low, intercept_low;
        if ((cl_obj == nullptr) != (bl_obj == nullptr)) strassen::fault("give both low parts or neither");
        if (cl_obj != nullptr) {
            coef_low = PyRef(check(PyArray_FROMANY(cl_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
            intercept_low = PyRef(check(PyArray_FROMANY(bl_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
            auto* cla = reinterpret_cast<PyArrayObject*>(coef_low.get());
            auto* bla = reinterpret_cast<PyArrayObject*>(intercept_low.get());
            if (dim(cla, 0) != q || dim(cla, 1) != static_cast<std::size_t>(p) || dim(bla, 0) != q) {
                strassen::fault("the low parts do not match coef and intercept");
            }
        }
        const auto low_data = [](const PyRef& a) {
            return a ? static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get()))) : nullptr;
        };
        std::vector<std::size_t> dependent;
        {
            PyRef d(check(PySequence_Fast(d_obj, "dependent must be a sequence of feature indices")));
            const Py_ssize_t count = PySequence_Fast_GET_SIZE(d.get());
            for (Py_ssize_t i = 0; i < count; ++i) {
                const Py_ssize_t j = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(d.get(), i), PyExc_OverflowError);
                if (j == -1 && PyErr_Occurred()) throw PythonError();
                if (j < 0 || j >= p) throw std::invalid_argument("a dependent feature out of range");
                dependent.push_back(static_cast<std::size_t>(j));
            }
        }
        FitStatistics st;
        without_gil([&] {
            st = bravolin::fit_statistics(m, static_cast<std::size_t>(p), fit_intercept != 0,
                                          static_cast<const double*>(PyArray_DATA(ca)),
                                          static_cast<const double*>(PyArray_DATA(ba)), dependent,
                                          low_data(coef_low), low_data(intercept_low));
        });
        PyRef ssr(vector_array(st.ssr));
        PyRef centred(vector_array(st.centered_tss));
        PyRef uncentred(vector_array(st.uncentered_tss));
        PyRef centred_ess(vector_array(st.centered_ess));
        PyRef uncentred_ess(vector_array(st.uncentered_ess));
        PyRef cov(st.cov_unscaled.empty() ? Py_NewRef(Py_None) : square_array(st.cov_unscaled, st.k));
        const npy_intp dims[2] = {static_cast<npy_intp>(q), static_cast<npy_intp>(st.k)};
        void* data;
        PyRef params(new_array(2, dims, NPY_DOUBLE, &data));
        std::copy(st.params.begin(), st.params.end(), static_cast<double*>(data));
        PyRef relations(check(PyList_New(0)));
        for (const auto& relation : st.relations) {
            PyRef members(check(PyTuple_New(static_cast<Py_ssize_t>(relation.size()))));
            for (std::size_t i = 0; i < relation.size(); ++i) {
                PyObject* index = PyLong_FromSize_t(relation[i]);
                check(index);
                PyTuple_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), index);
            }
            check_status(PyList_Append(relations.get(), members.get()));
        }
        return Py_BuildValue("(OOOOOOdOO)", ssr.get(), centred.get(), uncentred.get(), centred_ess.get(),
                             uncentred_ess.get(), cov.get(), st.weight_sum, params.get(), relations.get());
    });
}

PyObject* constant_column(PyObject*, PyObject* args) {
    PyObject* state;
    Py_ssize_t p;
    if (!PyArg_ParseTuple(args, "On:constant_column", &state, &p)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        if (p < 0) strassen::fault("p must be non-negative");
        return PyLong_FromSsize_t(bravolin::constant_column(from_state(state), static_cast<std::size_t>(p)));
    });
}

PyObject* raw_gram(PyObject*, PyObject* args) {
    PyObject* state;
    Py_ssize_t k;
    if (!PyArg_ParseTuple(args, "On:raw_gram", &state, &k)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        const Moments m = from_state(state);
        if (k < 0) strassen::fault("k must be non-negative");
        return square_array(bravolin::raw_gram(m, static_cast<std::size_t>(k)), static_cast<std::size_t>(k));
    });
}

PyObject* row_leverage(PyObject*, PyObject* args) {
    PyObject *x_obj, *b_obj, *w_obj;
    int fit_intercept;
    unsigned int threads;
    if (!PyArg_ParseTuple(args, "OOpOI:row_leverage", &x_obj, &b_obj, &fit_intercept, &w_obj, &threads)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        PyRef x(reinterpret_cast<PyObject*>(float_array(x_obj, 2)));
        PyRef bread(check(PyArray_FROMANY(b_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        PyObject* w_raw = w_obj == Py_None ? nullptr : reinterpret_cast<PyObject*>(float_array(w_obj, 1));
        PyRef w(w_raw == nullptr ? Py_NewRef(Py_None) : w_raw);
        const Rows rows = rows_of(reinterpret_cast<PyArrayObject*>(x.get()), nullptr,
                                  w_raw == nullptr ? nullptr : reinterpret_cast<PyArrayObject*>(w_raw));
        auto* ba = reinterpret_cast<PyArrayObject*>(bread.get());
        const std::size_t k = rows.p + (fit_intercept ? 1 : 0);
        if (dim(ba, 0) != k || dim(ba, 1) != k) strassen::fault("the bread matrix does not match x");
        const auto n = static_cast<npy_intp>(rows.n);
        void* out;
        PyRef result(new_array(1, &n, NPY_DOUBLE, &out));
        const auto* b = static_cast<const double*>(PyArray_DATA(ba));
        without_gil([&] {
            bravolin::row_leverage(rows, fit_intercept != 0, b, static_cast<double*>(out), threads == 0 ? 1 : threads);
        });
        return result.release();
    });
}

namespace {

std::vector<double> square_values(PyObject* obj, std::size_t* k) {
    PyRef a(check(PyArray_FROMANY(obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
    auto* aa = reinterpret_cast<PyArrayObject*>(a.get());
    *k = dim(aa, 0);
    if (dim(aa, 1) != *k) strassen::fault("not a square matrix");
    const auto* data = static_cast<const double*>(PyArray_DATA(aa));
    return std::vector<double>(data, data + *k * *k);
}

}  // namespace

PyObject* sandwich(PyObject*, PyObject* args) {
    PyObject *b_obj, *state;
    if (!PyArg_ParseTuple(args, "OO:sandwich", &b_obj, &state)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        std::size_t k = 0;
        const std::vector<double> b = square_values(b_obj, &k);
        const Moments m = from_state(state);
        if (m.columns != k + 1) strassen::fault("bread and middle differ in size");
        return square_array(bravolin::sandwich(b, m, 1, k), k);
    });
}

PyObject* definite_solve(PyObject*, PyObject* args) {
    PyObject *a_obj, *v_obj;
    if (!PyArg_ParseTuple(args, "OO:definite_solve", &a_obj, &v_obj)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        std::size_t k = 0;
        const std::vector<double> a = square_values(a_obj, &k);
        PyRef v(check(PyArray_FROMANY(v_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        auto* va = reinterpret_cast<PyArrayObject*>(v.get());
        if (dim(va, 0) != k) strassen::fault("the right-hand side does not match");
        const auto* data = static_cast<const double*>(PyArray_DATA(va));
        return vector_array(bravolin::definite_solve(a, std::vector<double>(data, data + k), k));
    });
}

PyObject* eigenvalues(PyObject*, PyObject* args) {
    PyObject* a_obj;
    if (!PyArg_ParseTuple(args, "O:eigenvalues", &a_obj)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        PyRef a(check(PyArray_FROMANY(a_obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED)));
        auto* aa = reinterpret_cast<PyArrayObject*>(a.get());
        const std::size_t n = dim(aa, 0);
        if (dim(aa, 1) != n) strassen::fault("not a square matrix");
        const auto* data = static_cast<const double*>(PyArray_DATA(aa));
        return vector_array(bravolin::eigenvalues(std::vector<double>(data, data + n * n), n));
    });
}

}  // namespace bravolin::exact
