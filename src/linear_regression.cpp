#include "linear_regression.hpp"
#include "messages.hpp"

#include <cstring>
#include <new>

#include "bravolin/boundary/barrier.hpp"
#include "binding.hpp"
#include "numpy_api.hpp"
#include "process_state.hpp"

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
            raise_conversion_error(flag, messages::BOOL_TARGET);
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

// Read-only views of the parameters. A reader is refused while a call changes
// the instance, as predict is. The values are copied out before any Python
// object is made: allocation may run arbitrary Python code (a finaliser that
// fits this very instance), and the copy cannot change under it.
bool refuse_while_changing(const LinearRegressionObject* self) {
    if (self->borrow_flag != -1) return false;
    PyErr_SetString(PyExc_RuntimeError, messages::ALREADY_MUTABLY_BORROWED);
    return true;
}

// AttributeError rather than the RuntimeError of predict, so that hasattr and
// scikit-learn's fitted-checks see an unfitted model as one without the
// attribute.
bool refuse_unfitted(const LinearRegressionObject* self) {
    if (self->state.coefficients) return false;
    PyErr_SetString(PyExc_AttributeError, messages::NOT_FITTED);
    return true;
}

PyObject* linear_regression_get_coef(PyObject* self_object, void*) {
    return fault_barrier([&]() -> PyObject* {
        auto* self = reinterpret_cast<LinearRegressionObject*>(self_object);
        if (refuse_while_changing(self) || refuse_unfitted(self)) return nullptr;
        const strassen::Buffer values = *self->state.coefficients;
        ensure_numpy_api();
        npy_intp size = static_cast<npy_intp>(values.size());
        PyRef array(check(PyArray_SimpleNew(1, &size, NPY_DOUBLE)));
        if (!values.empty())
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())),
                        values.data(), values.size() * sizeof(double));
        return array.release();
    });
}

PyObject* linear_regression_get_intercept(PyObject* self_object, void*) {
    return fault_barrier([&]() -> PyObject* {
        auto* self = reinterpret_cast<LinearRegressionObject*>(self_object);
        if (refuse_while_changing(self) || refuse_unfitted(self)) return nullptr;
        return PyFloat_FromDouble(self->state.intercept.value_or(0.0));
    });
}

PyObject* linear_regression_get_fit_intercept(PyObject* self_object, void*) {
    return Py_NewRef(reinterpret_cast<LinearRegressionObject*>(self_object)->state.fit_intercept
                         ? Py_True
                         : Py_False);
}

PyGetSetDef linear_regression_getset[] = {
    {"coef_", linear_regression_get_coef, nullptr,
     "The fitted coefficients as a new 1-D float64 array, exactly as stored.", nullptr},
    {"intercept_", linear_regression_get_intercept, nullptr,
     "The fitted intercept, 0.0 for a model without one.", nullptr},
    {"fit_intercept", linear_regression_get_fit_intercept, nullptr,
     "Whether the model fits an intercept.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class name, its text signature, and an empty docstring.
constexpr const char* CLASS_DOC = "LinearRegression(fit_intercept)\n--\n\n";

PyType_Slot linear_regression_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(linear_regression_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(linear_regression_dealloc)},
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_methods, linear_regression_methods},
    {Py_tp_getset, linear_regression_getset},
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


}  // namespace

PyObject* linear_regression_type() {
    PyObject*& type = process_state.linear_regression_type;
    if (type == nullptr) type = PyType_FromSpec(&linear_regression_spec);
    return type;
}

}  // namespace bravolin
