#include "solve.hpp"

#include <optional>

#include "model.hpp"
#include "strassen/par_mult.hpp"

namespace bravolin::exact {

PyObject* solve(PyObject*, PyObject* args) {
    PyObject* g_obj;
    PyObject* r_obj;
    if (!PyArg_ParseTuple(args, "OO:solve", &g_obj, &r_obj)) return nullptr;
    return guarded([&]() -> PyObject* {
        const strassen::Matrix g = to_matrix(g_obj);
        const strassen::Matrix r = to_matrix(r_obj);
        const std::optional<strassen::Matrix> g_inv = inverse(g);
        if (!g_inv) Py_RETURN_NONE;
        // G⁻¹·(DᵀY), as the model associates it.
        return to_array(strassen::par_mult(*g_inv, r));
    });
}

}  // namespace bravolin::exact
