// What every function of bravolin._exact shares: the NumPy API table, and
// the boundary both native modules share (reference holder, fault barrier).
#pragma once

#include "bravolin/boundary/barrier.hpp"
#include "bravolin/boundary/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL bravolin_exact_ARRAY_API
#ifndef BRAVOLIN_EXACT_MODULE_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <exception>
#include <stdexcept>

#include "strassen/fault.hpp"

namespace bravolin::exact {

// Runs the engine's work with the interpreter lock released, so that other
// Python threads run meanwhile; what it throws is rethrown once the lock is
// held again, for the fault barrier.
template <class Work>
void without_gil(Work&& work) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
}

}  // namespace bravolin::exact
