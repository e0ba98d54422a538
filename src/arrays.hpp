// Moving numbers between NumPy arrays and the model's matrices.
#pragma once

#include "numpy_api.hpp"
#include "strassen/matrix.hpp"

namespace bravolin {

// An accepted argument: a two-dimensional float64 ndarray (any strides),
// shared-borrowed in the registry for as long as this object holds it.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { release(); }

    // Checks the argument (ndarray, two dimensions, float64). On rejection
    // sets TypeError and returns false; then borrows the array, through a
    // private view of the same memory and layout (faults on a borrow
    // conflict), and returns true.
    bool extract(PyObject* object);

    // Copies the elements into a new row-major matrix and ends the borrow,
    // whether the copy succeeds or not.
    strassen::Matrix to_matrix();

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
