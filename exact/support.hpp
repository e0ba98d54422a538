// What every function of bravolin._exact shares: the NumPy API table, the
// conversion of the package's already validated arrays, and the one place
// where C++ failures become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL bravolin_exact_ARRAY_API
#ifndef BRAVOLIN_EXACT_MODULE_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "strassen/fault.hpp"
#include "strassen/interrupt.hpp"
#include "strassen/matrix.hpp"

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
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// A copy of a 2-D float64 array (any layout; converted if it must be) as a
// row-major Matrix. An empty array faults as Matrix does.
inline strassen::Matrix to_matrix(PyObject* obj) {
    Ref array(PyArray_FROMANY(obj, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const auto rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    strassen::Buffer data(rows * cols);
    if (!data.empty()) std::memcpy(data.data(), PyArray_DATA(a), data.size() * sizeof(double));
    return strassen::Matrix(std::move(data), rows, cols);
}

// A new C-ordered float64 array holding a copy of m.
inline PyObject* to_array(const strassen::Matrix& m) {
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    Ref array(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), m.data.data(),
                m.size * sizeof(double));
    return array.release();
}

}  // namespace bravolin::exact
