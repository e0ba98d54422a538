#include "arrays.hpp"

#include <cstring>
#include <string>

#include "borrow_registry.hpp"
#include "strassen/fault.hpp"

namespace bravolin {

bool ArrayView::extract(PyObject* object) {
    ensure_numpy_api();
    if (!PyArray_Check(object)) {
        raise_conversion_error(object, "PyArray<T, D>");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2) {
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=2",
                     PyArray_NDIM(array));
        return false;
    }
    PyArray_Descr* want = PyArray_DescrFromType(NPY_DOUBLE);
    PyArray_Descr* have = PyArray_DESCR(array);
    const bool same = have == want || PyArray_EquivTypes(have, want);
    if (!same) {
        PyRef from(PyObject_Str(reinterpret_cast<PyObject*>(have)));
        PyRef to(PyObject_Str(reinterpret_cast<PyObject*>(want)));
        Py_DECREF(want);
        if (!from || !to) return false;
        PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%U", from.get(), to.get());
        return false;
    }
    Py_DECREF(want);
    PyRef view = same_layout_view(array);
    acquire_shared_borrow(reinterpret_cast<PyArrayObject*>(view.get()));
    view_ = std::move(view);
    borrowed_ = true;
    return true;
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

strassen::Matrix ArrayView::to_matrix() {
    struct EndBorrow {
        ArrayView* view;
        ~EndBorrow() { view->release(); }
    } end_borrow{this};

    auto* array = reinterpret_cast<PyArrayObject*>(view_.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto rows = static_cast<std::size_t>(dims[0]);
    const auto cols = static_cast<std::size_t>(dims[1]);
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count)) count = SIZE_MAX;
    // A zero-stride view can claim far more elements than it occupies; refuse
    // before touching memory rather than after paging in terabytes.
    strassen::check_allocation(count, sizeof(double), "a copy of the input array");
    strassen::Buffer data;
    data.resize(count);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        if (count > 0) std::memcpy(data.data(), base, count * sizeof(double));
    } else {
        double* out = data.data();
        for (std::size_t i = 0; i < rows; ++i) {
            const char* row = base + static_cast<npy_intp>(i) * strides[0];
            for (std::size_t j = 0; j < cols; ++j) {
                double v;
                std::memcpy(&v, row + static_cast<npy_intp>(j) * strides[1], sizeof v);
                *out++ = v;
            }
        }
    }
    return strassen::Matrix(std::move(data), rows, cols);
}

}  // namespace bravolin
