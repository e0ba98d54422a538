// bravolin._exact: the bravolin package's private engine. Not a public API:
// its functions take float64 arrays that the package has already validated,
// and may change with the package.
#define BRAVOLIN_EXACT_MODULE_UNIT
#include "support.hpp"
#include "bindings.hpp"

namespace {

PyMethodDef exact_methods[] = {
    {"accumulate", bravolin::exact::accumulate, METH_VARARGS,
     "accumulate(x, y, w, threads) -> state: the exact moments of [1 | x | y] weighted by w (or 1)."},
    {"merge", bravolin::exact::merge, METH_VARARGS,
     "merge(a, b) -> state: the moments of the rows of both, exactly as if accumulated at once."},
    {"solve", bravolin::exact::solve, METH_VARARGS,
     "solve(state, p, fit_intercept, tol, positive) -> (coef (q, p), intercept (q,), rank, "
     "singular, ill_conditioned, dependent features)."},
    {"predict", bravolin::exact::predict, METH_VARARGS,
     "predict(x, coef (q, p), intercept (q,), threads) -> (n, q): each row from that row alone."},
    {"fit_statistics", bravolin::exact::fit_statistics, METH_VARARGS,
     "fit_statistics(state, p, fit_intercept, coef (q, p), intercept (q,), dependent) -> (ssr, "
     "centered_tss, uncentered_tss, centered_ess, uncentered_ess, pinv(D'WD) or None, sum of weights, "
     "params (q, k), relations: per dependent feature, the parameters involved)."},
    {"sandwich", bravolin::exact::sandwich, METH_VARARGS,
     "sandwich(b, state) -> b M b in double-double, rounded once, M the raw moments after the ones column."},
    {"definite_solve", bravolin::exact::definite_solve, METH_VARARGS,
     "definite_solve(a, v) -> a^-1 v for symmetric positive definite a, in double-double."},
    {"raw_gram", bravolin::exact::raw_gram, METH_VARARGS,
     "raw_gram(state, k) -> the raw moments of the first k columns of [1 | x | y], (k, k)."},
    {"constant_column", bravolin::exact::constant_column, METH_VARARGS,
     "constant_column(state, p) -> the feature that is a nonzero constant over the rows (ones first), or -1."},
    {"row_leverage", bravolin::exact::row_leverage, METH_VARARGS,
     "row_leverage(x, bread (k, k), fit_intercept, w, threads) -> w_r d_r' B d_r for every row."},
    {"eigenvalues", bravolin::exact::eigenvalues, METH_VARARGS,
     "eigenvalues(a) -> the eigenvalues of symmetric a, ascending."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef exact_module = {
    PyModuleDef_HEAD_INIT,
    "bravolin._exact",
    "Private engine of the bravolin package.",
    -1,
    exact_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__exact() {
    // The fault reports of this module's copy of the matrix library name it.
    strassen::set_fault_prefix("bravolin._exact");
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    return PyModule_Create(&exact_module);
}
