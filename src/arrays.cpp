#include "arrays.hpp"
#include "messages.hpp"

#include <cstring>
#include <string>

#include "binding.hpp"
#include "borrow_registry.hpp"
#include "strassen/fault.hpp"

namespace bravolin {

namespace {

// The argument's TypeError, named: "argument '<name>': <message>".
[[noreturn]] void reject(const char* name) {
    wrap_argument_error(name);
    throw_if_error();
    throw PythonError{};  // not reached: throw_if_error always throws
}

}  // namespace

void ArrayView::extract(PyObject* object, const char* name) {
    ensure_numpy_api();
    if (!PyArray_Check(object)) {
        raise_conversion_error(object, messages::ARRAY_TARGET);
        reject(name);
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) {
        PyErr_Format(PyExc_TypeError, messages::DIMENSIONALITY_MISMATCH,
                     PyArray_NDIM(array));
        reject(name);
    }
    PyRef want(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    auto* want_descr = reinterpret_cast<PyArray_Descr*>(want.get());
    PyArray_Descr* have = PyArray_DESCR(array);
    if (have != want_descr && !PyArray_EquivTypes(have, want_descr)) {
        PyRef from(PyObject_Str(reinterpret_cast<PyObject*>(have)));
        PyRef to(PyObject_Str(want.get()));
        if (!from || !to) reject(name);
        PyErr_Format(PyExc_TypeError, messages::TYPE_MISMATCH, from.get(), to.get());
        reject(name);
    }
    PyRef view = same_layout_view(array);
    acquire_shared_borrow(reinterpret_cast<PyArrayObject*>(view.get()));
    view_ = std::move(view);
    borrowed_ = true;
}

// The registry finds a borrow again by the array's layout at release time.
// Python code can run while an argument is borrowed (the type name of a
// rejected later argument is looked up through its metaclass; a dtype prints
// itself in Python), and it may reshape or resize the caller's array; a
// borrow taken on that array could then never be found and would block
// every exclusive borrow of that memory for good. So the borrow is taken on a
// private view with the argument's layout, which no Python code can reach, and
// the copy is read through it as well. Its base chain ends where the
// argument's does, so it has the same base address and key.
PyRef ArrayView::same_layout_view(PyArrayObject* array) {
    if (PyArray_DATA(array) == nullptr) return PyRef::borrowed(reinterpret_cast<PyObject*>(array));
    PyArray_Descr* descr = PyArray_DESCR(array);
    Py_INCREF(descr);  // PyArray_NewFromDescr steals it
    // A plain ndarray, read-only: no subclass hook runs, and nothing can
    // write through it.
    PyRef view(PyArray_NewFromDescr(&PyArray_Type, descr, PyArray_NDIM(array), PyArray_DIMS(array),
                                    PyArray_STRIDES(array), PyArray_DATA(array), 0, nullptr));
    if (!view) throw_if_error();
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()),
                              Py_NewRef(reinterpret_cast<PyObject*>(array))) < 0)
        throw_if_error();  // the reference to `array` was stolen and released
    return view;
}

void ArrayView::release() noexcept {
    if (borrowed_) {
        release_shared_borrow(reinterpret_cast<PyArrayObject*>(view_.get()));
        borrowed_ = false;
    }
}

strassen::MatrixView ArrayView::matrix() const {
    auto* array = reinterpret_cast<PyArrayObject*>(view_.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto rows = static_cast<std::size_t>(dims[0]);
    const auto cols = static_cast<std::size_t>(dims[1]);
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count)) count = SIZE_MAX;
    // A zero-stride view can claim far more elements than it occupies, and
    // the model's work and any fallback copy grow with the claim: refuse it
    // before touching memory rather than after paging in terabytes.
    strassen::check_allocation(count, sizeof(double), "a copy of the input array");
    if (rows == 0 || cols == 0) strassen::fault(messages::NULL_MATRIX);
    return {static_cast<const char*>(PyArray_DATA(array)), strides[0], strides[1], rows, cols};
}

}  // namespace bravolin
