// The result of predict: a NumPy array over the model's own buffer, kept alive
// by an owner object set as the array's base.
#include <memory>
#include <string>

#include "arrays.hpp"
#include "messages.hpp"
#include "strassen/fault.hpp"
#include "process_state.hpp"

namespace bravolin {

namespace {

// Instance record of PySliceContainer: where the values are, and how to free
// them once the array and every view of it are gone.
struct SliceContainer {
    PyObject_HEAD
    void* ptr;          // first element
    std::size_t len;    // elements
    std::size_t cap;    // elements reserved
    void (*drop)(void* owner, std::size_t len, std::size_t cap);
    void* owner;        // the heap-held Buffer that owns the storage
};

void drop_buffer(void* owner, std::size_t, std::size_t) {
    delete static_cast<strassen::Buffer*>(owner);
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->drop != nullptr) container->drop(container->owner, container->len, container->cap);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, messages::NO_CONSTRUCTOR);
    return nullptr;
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(slice_container_new)},
    {Py_tp_doc, const_cast<char*>(
                    "Utility type that keeps a vector of values safely on the Python heap while "
                    "NumPy arrays show them.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slice_container_slots,
};


[[noreturn]] void container_fault() {
    strassen::fault(messages::SLICE_CONTAINER_ERROR + describe_and_clear_error());
}

PyObject* make_container(strassen::Buffer values) {
    PyTypeObject*& slice_container_type = process_state.slice_container_type;
    if (slice_container_type == nullptr) {
        slice_container_type =
            reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
        if (slice_container_type == nullptr) container_fault();
    }
    auto held = std::make_unique<strassen::Buffer>(std::move(values));
    PyObject* object = slice_container_type->tp_alloc(slice_container_type, 0);
    if (object == nullptr) container_fault();
    auto* container = reinterpret_cast<SliceContainer*>(object);
    strassen::Buffer* owned = held.release();
    container->ptr = owned->data();
    container->len = owned->size();
    container->cap = owned->capacity();
    container->drop = drop_buffer;
    container->owner = owned;
    return object;
}

}  // namespace

PyObject* make_result_array(strassen::Buffer values) {
    ensure_numpy_api();
    PyObject* container = make_container(std::move(values));
    auto* record = reinterpret_cast<SliceContainer*>(container);
    npy_intp dims[1] = {static_cast<npy_intp>(record->len)};
    npy_intp strides[1] = {sizeof(double)};
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 1,
                                           dims, strides, record->ptr, NPY_ARRAY_WRITEABLE,
                                           nullptr);
    if (array == nullptr) {
        Py_DECREF(container);
        PyErr_Print();
        strassen::fault(messages::PYTHON_API_CALL_FAILED);
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), container) < 0) {
        Py_DECREF(array);  // the container reference was stolen and is released
        throw PythonError{};
    }
    return array;
}

}  // namespace bravolin
