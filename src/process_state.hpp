// Everything the module keeps for the life of the process, in one place.
//
// Each member is made once, on first need, and never released: the module has
// no shutdown step, and worker threads or other extensions may still hold
// what these point to at exit. All but `owner_interpreter` are read and
// written only with the GIL held, by the one interpreter that owns the module.
#pragma once

#include <atomic>
#include <cstdint>

#include "python.hpp"

namespace bravolin {

struct BorrowApi;  // the shared borrow registry's record (borrow_registry.cpp)

struct ProcessState {
    // The interpreter that first initialised the module; -1 until then.
    // Atomic because a second interpreter may race the first to import.
    std::atomic<std::int64_t> owner_interpreter{-1};
    PyObject* module = nullptr;                     // returned by every later import
    PyObject* all_name = nullptr;                   // the interned "__all__"
    PyObject* linear_regression_type = nullptr;     // the class
    PyTypeObject* slice_container_type = nullptr;   // owner of result arrays' memory
    const char* numpy_multiarray = nullptr;         // NumPy's multiarray module name
    const BorrowApi* borrow_api = nullptr;          // found in NumPy or installed by us
    PyObject* borrow_api_capsule = nullptr;         // keeps that record alive
};

inline ProcessState process_state;

}  // namespace bravolin
