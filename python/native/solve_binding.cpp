// solve: least squares from exact moments, in double-double.
#include "arrays.hpp"
#include "bindings.hpp"
#include "bravolin/least_squares.hpp"

namespace bravolin::exact {

PyObject* solve(PyObject*, PyObject* args) {
    PyObject* state;
    Py_ssize_t p;
    int fit_intercept, positive;
    double tol;
    if (!PyArg_ParseTuple(args, "Onpdp:solve", &state, &p, &fit_intercept, &tol, &positive)) return nullptr;
    return fault_barrier([&]() -> PyObject* {
        const Moments m = from_state(state);
        if (p < 0) strassen::fault("p must be non-negative");
        LeastSquaresOptions options;
        options.tol = tol;
        options.positive = positive != 0;
        options.samples = static_cast<std::size_t>(m.rows);
        LeastSquaresResult r;
        without_gil([&] {
            const CentredMoments c = centre(m, static_cast<std::size_t>(p), fit_intercept != 0);
            r = solve_least_squares(c, options);
        });
        const auto q = static_cast<npy_intp>(r.intercept.size());
        const npy_intp cdims[2] = {q, static_cast<npy_intp>(p)};
        const npy_intp sdim = static_cast<npy_intp>(r.singular.size());
        void *cd, *id, *sd, *cl, *il;
        PyRef coef(new_array(2, cdims, NPY_DOUBLE, &cd));
        PyRef intercept(new_array(1, &q, NPY_DOUBLE, &id));
        PyRef singular(new_array(1, &sdim, NPY_DOUBLE, &sd));
        PyRef coef_low(new_array(2, cdims, NPY_DOUBLE, &cl));
        PyRef intercept_low(new_array(1, &q, NPY_DOUBLE, &il));
        std::copy(r.coef.begin(), r.coef.end(), static_cast<double*>(cd));
        std::copy(r.intercept.begin(), r.intercept.end(), static_cast<double*>(id));
        std::copy(r.coef_low.begin(), r.coef_low.end(), static_cast<double*>(cl));
        std::copy(r.intercept_low.begin(), r.intercept_low.end(), static_cast<double*>(il));
        std::copy(r.singular.begin(), r.singular.end(), static_cast<double*>(sd));
        PyRef dependent(check(PyTuple_New(static_cast<Py_ssize_t>(r.dependent.size()))));
        for (std::size_t i = 0; i < r.dependent.size(); ++i) {
            PyTuple_SET_ITEM(dependent.get(), static_cast<Py_ssize_t>(i), PyLong_FromSize_t(r.dependent[i]));
        }
        return Py_BuildValue("(OOnONOOO)", coef.get(), intercept.get(), static_cast<Py_ssize_t>(r.rank),
                             singular.get(), PyBool_FromLong(r.ill_conditioned), dependent.get(),
                             coef_low.get(), intercept_low.get());
    });
}

}  // namespace bravolin::exact
