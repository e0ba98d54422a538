#include "binding.hpp"

#include <string>

namespace bravolin {

namespace {

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Stores one keyword argument; false with TypeError set on failure.
bool bind_keyword(const ParamSpec& spec, PyObject* key, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < spec.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, spec.names[i]) == 0) {
            if (out[i] != nullptr) {
                raise_type_error(std::string(spec.full_name) + " got multiple values for argument '" +
                                 spec.names[i] + "'");
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    // Formatted by Python rather than through UTF-8: a keyword may hold NUL
    // characters or lone surrogates, and must still be named in full.
    PyRef message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                       spec.full_name, key));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

bool bind_positional(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
    if (static_cast<std::size_t>(nargs) > spec.count) {
        raise_type_error(std::string(spec.full_name) + " takes " + std::to_string(spec.count) +
                         " positional arguments but " + std::to_string(nargs) + " " +
                         (nargs == 1 ? "was" : "were") + " given");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

bool check_missing(const ParamSpec& spec, PyObject** out) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.count; ++i) {
        if (out[i] != nullptr) continue;
        if (missing > 0) names += " and ";
        names += std::string("'") + spec.names[i] + "'";
        ++missing;
    }
    if (missing == 0) return true;
    raise_type_error(std::string(spec.full_name) + " missing " + std::to_string(missing) +
                     " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                     names);
    return false;
}

}  // namespace

bool bind_args(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (std::size_t i = 0; i < spec.count; ++i) out[i] = nullptr;
    if (!bind_positional(spec, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out))
        return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(spec, key, value, out)) return false;
    }
    return check_missing(spec, out);
}

bool bind_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
    for (std::size_t i = 0; i < spec.count; ++i) out[i] = nullptr;
    if (!bind_positional(spec, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out))
                return false;
    }
    return check_missing(spec, out);
}

void wrap_argument_error(const char* name) {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr || Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error);
        return;
    }
    PyRef original(error);
    PyRef text(PyObject_Str(error));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    if (PyObject* cause = PyException_GetCause(error))
        PyException_SetCause(wrapped.get(), cause);  // steals the new reference
    PyErr_SetRaisedException(wrapped.release());
}

}  // namespace bravolin
