// What every function of bravolin._exact shares: the NumPy API table, a
// reference holder, and the one place where C++ failures become Python
// exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL bravolin_exact_ARRAY_API
#ifndef BRAVOLIN_EXACT_MODULE_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "strassen/fault.hpp"
#include "strassen/interrupt.hpp"

namespace bravolin::exact {

// A CPython call failed and left its exception set.
struct PythonError {};

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* owned) : p_(owned) {
        if (p_ == nullptr) throw PythonError{};
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_;
};

// Runs `body` and maps what it throws: a library fault to RuntimeError with its
// text, an allocation failure to MemoryError, a pending Python error (a
// signal handler's among them) through.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const strassen::Interrupted&) {
        // Stopped by a signal whose handler left its exception pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    } catch (const strassen::Fault& f) {
        PyErr_SetString(PyExc_RuntimeError, f.what());
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace bravolin::exact
