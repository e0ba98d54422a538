// Module entry: single-phase initialisation of bravolin_learn.
#include <atomic>
#include <string>

#include "bravolin/boundary/barrier.hpp"
#include "messages.hpp"
#include "linear_regression.hpp"
#include "process_state.hpp"
#include "strassen/fault.hpp"

namespace {

using bravolin::PyRef;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "bravolin_learn",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds the class and its name in __all__. False with an exception set.
bool add_class(PyObject* module) {
    PyObject* type = bravolin::linear_regression_type();
    if (type == nullptr) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, bravolin::messages::CLASS_INIT_FAILED);
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);  // steals cause
        PyErr_SetRaisedException(error);
        return false;
    }
    PyObject*& all_name = bravolin::process_state.all_name;
    if (all_name == nullptr) all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return false;
    PyRef all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        bravolin::raise_conversion_error(all.get(), bravolin::messages::LIST_TARGET);
        return false;
    }
    PyRef name(PyUnicode_FromString("LinearRegression"));
    if (!name || PyList_Append(all.get(), name.get()) < 0)
        strassen::fault(bravolin::messages::ALL_APPEND_FAILED);
    return PyModule_AddObjectRef(module, "LinearRegression", type) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        bravolin::ensure_error_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!bravolin::process_state.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, bravolin::messages::SUBINTERPRETER);
        return nullptr;
    }
    PyObject*& cached_module = bravolin::process_state.module;
    if (cached_module != nullptr) return Py_NewRef(cached_module);
    PyRef module(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
    if (!add_class(module.get())) return nullptr;  // dropped: a later import tries again
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_bravolin_learn() {
    return bravolin::fault_barrier(init_module);
}
