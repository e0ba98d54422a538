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
    acquire_shared_borrow(array);
    array_ = array;
    borrowed_ = true;
    return true;
}

void ArrayView::release() noexcept {
    if (borrowed_) {
        release_shared_borrow(array_);
        borrowed_ = false;
    }
}

strassen::Matrix ArrayView::to_matrix() {
    struct EndBorrow {
        ArrayView* view;
        ~EndBorrow() { view->release(); }
    } end_borrow{this};

    const npy_intp* dims = PyArray_DIMS(array_);
    const npy_intp* strides = PyArray_STRIDES(array_);
    const auto rows = static_cast<std::size_t>(dims[0]);
    const auto cols = static_cast<std::size_t>(dims[1]);
    std::size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count)) count = SIZE_MAX;
    // A zero-stride view can claim far more elements than it occupies; refuse
    // before touching memory rather than after paging in terabytes.
    strassen::check_allocation(count, sizeof(double), "a copy of the input array");
    strassen::Buffer data;
    data.resize(count);
    const char* base = static_cast<const char*>(PyArray_DATA(array_));
    if (PyArray_IS_C_CONTIGUOUS(array_)) {
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
