// bravolin._exact: the bravolin package's private building blocks. Not a public
// API: its functions take C-contiguous float64 arrays that the package has
// already validated, and may change with the package.
#define BRAVOLIN_EXACT_MODULE_UNIT
#include "support.hpp"

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
