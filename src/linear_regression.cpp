#include "linear_regression.hpp"

#include <new>

#include "barrier.hpp"
#include "binding.hpp"

namespace bravolin {

namespace {

constexpr const char* NEW_PARAMS[] = {"fit_intercept"};
constexpr ParamSpec NEW_SPEC{"LinearRegression.__new__()", NEW_PARAMS, 1};

PyObject* linear_regression_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return fault_barrier([&]() -> PyObject* {
        PyObject* bound[MAX_PARAMS];
        if (!bind_args(NEW_SPEC, args, kwargs, bound)) return nullptr;
        PyObject* flag = bound[0];
        // Only a real bool: 0, 1 and numpy.bool_ are refused, so that a
        // mistyped argument never silently picks a model.
        if (Py_TYPE(flag) != &PyBool_Type) {
            raise_conversion_error(flag, "PyBool");
            wrap_argument_error("fit_intercept");
            return nullptr;
        }
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) {
            ensure_error_set();
            return nullptr;
        }
        auto* object = reinterpret_cast<LinearRegressionObject*>(self);
        new (&object->state) ModelState{};
        object->state.fit_intercept = flag == Py_True;
        object->borrow_flag = 0;
        return self;
    });
}

void linear_regression_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    try {
        reinterpret_cast<LinearRegressionObject*>(self)->state.~ModelState();
    } catch (...) {
        report_unraisable_current_exception(self);
    }
    freefunc free = type->tp_free != nullptr ? type->tp_free : PyObject_Free;
    free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyMethodDef linear_regression_methods[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(linear_regression_fit)),
     METH_FASTCALL | METH_KEYWORDS, "fit($self, x, y)\n--\n\n"},
    {"predict",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(linear_regression_predict)),
     METH_FASTCALL | METH_KEYWORDS,
     "predict($self, x)\n--\n\nPredicts the y values for given x values using the learned "
     "regression coefficients.\n\n# Arguments\n* `x` - A 2D numpy array where each row "
     "represents a set of features for one observation.\n\n# Returns\nA numpy array of "
     "predicted y values."},
    {nullptr, nullptr, 0, nullptr},
};

// The class name, its text signature, and an empty docstring.
constexpr const char* CLASS_DOC = "LinearRegression(fit_intercept)\n--\n\n";

PyType_Slot linear_regression_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(linear_regression_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(linear_regression_dealloc)},
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_methods, linear_regression_methods},
    {0, nullptr},
};

PyType_Spec linear_regression_spec = {
    .name = "builtins.LinearRegression",
    .basicsize = sizeof(LinearRegressionObject),
    .itemsize = 0,
    // Default flags only: not subclassable, not tracked by the cyclic GC
    // (instances hold no Python references), no __dict__, no weak references.
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = linear_regression_slots,
};

PyObject* type_object = nullptr;  // made once, kept for the process; GIL-protected

}  // namespace

PyObject* linear_regression_type() {
    if (type_object == nullptr) type_object = PyType_FromSpec(&linear_regression_spec);
    return type_object;
}

}  // namespace bravolin
