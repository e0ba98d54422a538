// bravolin._exact: the bravolin package's private building blocks. Not a public
// API: its functions take C-contiguous float64 arrays that the package has
// already validated, and may change with the package.
#define BRAVOLIN_EXACT_MODULE_UNIT
#include "support.hpp"
#include "row_tree.hpp"
#include "scaled_fit.hpp"
#include "solve.hpp"

namespace bravolin::exact {
PyObject* predict(PyObject*, PyObject* const* args, Py_ssize_t nargs);
}  // namespace bravolin::exact

namespace {

PyMethodDef exact_methods[] = {
    {"predict",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bravolin::exact::predict)),
     METH_FASTCALL,
     "predict(x, w, b)\n--\n\nX·W + b for x (n, p), w (p, q) and b (q,), by the library's "
     "product: an (n, q) array."},
    {"node_products", bravolin::exact::node_products, METH_VARARGS,
     "node_products(x, y, side, fit_intercept) -> (G, R) of one node of the row tree."},
    {"combine", bravolin::exact::combine, METH_VARARGS,
     "combine(top, bottom) -> a node's products from its two children's."},
    {"node_predict", bravolin::exact::node_predict, METH_VARARGS,
     "node_predict(x, w, b, side) -> the predictions of one node of the row tree."},
    {"column_bounds", bravolin::exact::column_bounds, METH_VARARGS,
     "column_bounds(x) -> (lo, hi): each column's minimum and maximum, read in place."},
    {"fit", bravolin::exact::fit, METH_VARARGS,
     "fit(x, y, x_shift, x_scale, y_shift, y_scale, fit_intercept) -> B (k, q) of the model's "
     "fit on columns read as (v - shift) * scale, or None if the normal equations are "
     "singular."},
    {"solve", bravolin::exact::solve, METH_VARARGS,
     "solve(g, r) -> G⁻¹·R by the model's inverse and product, or None if G is singular."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef exact_module = {
    PyModuleDef_HEAD_INIT,
    "bravolin._exact",
    "Private building blocks of the bravolin package.",
    -1,
    exact_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__exact() {
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    return PyModule_Create(&exact_module);
}
