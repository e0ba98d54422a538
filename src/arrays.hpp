// Moving numbers between NumPy arrays and the model's matrices.
#pragma once

#include "numpy_api.hpp"
#include "strassen/matrix.hpp"
#include "strassen/view.hpp"

namespace bravolin {

// An accepted argument: a two-dimensional float64 ndarray (any strides),
// shared-borrowed in the registry for as long as this object holds it, which
// is the whole call: the model reads the numbers where they lie.
//
// Every failure is thrown: PythonError with the Python exception set (a
// rejected argument's TypeError already carries the argument's name), or a
// strassen::Fault / OutOfMemory that the fault barrier translates.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { release(); }

    // Checks the argument `name` (ndarray, two dimensions, float64), then
    // borrows the array through a private view of the same memory and layout
    // (faults on a borrow conflict).
    void extract(PyObject* object, const char* name);

    // The borrowed elements, in place. Faults with "cannot create a null
    // matrix" when a dimension is 0, and throws OutOfMemory when the array
    // claims more elements than this machine could hold (a zero-stride view
    // can), before anything reads them.
    strassen::MatrixView matrix() const;

    // Ends the borrow if it is still held.
    void release() noexcept;

private:
    static PyRef same_layout_view(PyArrayObject* array);

    PyRef view_;  // the argument's layout as it was checked; its base is the argument
    bool borrowed_ = false;
};

// A one-dimensional float64 array showing `values` without a copy; the
// array's base object owns them.
PyObject* make_result_array(strassen::Buffer values);

}  // namespace bravolin
