// Python.h first, as CPython requires, plus a small owning reference holder
// and the convention for CPython calls that fail.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace bravolin {

// Owns one strong reference; releases it on every way out of a scope.
class PyRef {
public:
    PyRef() noexcept = default;
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    static PyRef borrowed(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Raised by our code after a CPython call failed and left its exception set:
// lets C++ code bail out through RAII, and the fault barrier passes the
// pending Python exception on unchanged.
struct PythonError {};

// The SystemError text for a CPython call that failed without setting an
// exception: the wording Python users already know from other extensions.
inline constexpr const char* NO_EXCEPTION_SET = "attempted to fetch exception but none was set";

// Makes sure a failure reported by CPython leaves an exception pending,
// supplying the SystemError above when it left none.
inline void ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, NO_EXCEPTION_SET);
}

// Throws PythonError when CPython reported failure; when it failed without
// setting an exception, sets the SystemError that callers expect.
[[noreturn]] inline void throw_if_error() {
    ensure_error_set();
    throw PythonError{};
}

template <class T>
T* check(T* result) {
    if (result == nullptr) throw_if_error();
    return result;
}

inline int check_status(int status) {
    if (status < 0) throw_if_error();
    return status;
}

}  // namespace bravolin
