#define BRAVOLIN_NUMPY_API_DEFINE
#include "numpy_api.hpp"
#include "messages.hpp"

#include <string>

#include "strassen/fault.hpp"
#include "process_state.hpp"

namespace bravolin {

std::string describe_and_clear_error() {
    PyRef error(PyErr_GetRaisedException());
    if (!error) return "no Python error set";
    std::string text = Py_TYPE(error.get())->tp_name;
    PyRef str(PyObject_Str(error.get()));
    Py_ssize_t size = 0;
    // By length: the text may hold NUL characters (a type name in a
    // conversion message), and a C string would end it at the first one.
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
    if (utf8 != nullptr && size > 0) {
        text += ": ";
        text.append(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();  // a failure of str() itself
    return text;
}

namespace {


// Major version of the running NumPy, or -1 with the error pending.
long numpy_major_version() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    PyRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return -1;
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) return -1;
    return std::strtol(text, nullptr, 10);
}

// The body of NumPy's own import routine, reading the capsule from the module
// this extension shares with others, and recording the runtime feature
// version that the headers' layout-dependent accessors consult.
bool load_api() {
    PyRef module(PyImport_ImportModule(multiarray_module_name()));
    if (!module) return false;
    PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    PyArray_API = table;
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this "
                     "version of numpy is 0x%x", static_cast<int>(NPY_VERSION),
                     static_cast<int>(PyArray_GetNDArrayCVersion()));
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "module needs NumPy C-API version 0x%x but the running "
                     "NumPy has 0x%x", static_cast<int>(NPY_FEATURE_VERSION),
                     PyArray_RUNTIME_VERSION);
        PyArray_API = nullptr;
        return false;
    }
    return true;
}

}  // namespace

const char* multiarray_module_name() {
    const char*& module_name = process_state.numpy_multiarray;
    if (module_name == nullptr) {
        const long major = numpy_major_version();
        if (major < 0)
            strassen::fault(messages::NUMPY_API_ERROR +
                            describe_and_clear_error());
        module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    }
    return module_name;
}

void ensure_numpy_api() {
    if (PyArray_API != nullptr) return;
    if (!load_api())
        strassen::fault(messages::NUMPY_API_ERROR + describe_and_clear_error());
}

}  // namespace bravolin
