// The fault barrier: the one place where C++ exceptions become Python errors,
// the same for both native modules, so that the same failure reaches Python
// as the same exception whichever module met it:
//
//   PythonError              the pending Python exception, unchanged
//   strassen::Fault          PanicException(its text): a violated precondition
//   strassen::Interrupted    the signal handler's exception (KeyboardInterrupt)
//   strassen::OutOfMemory    MemoryError(its text)
//   std::bad_alloc           MemoryError
//   std::invalid_argument    ValueError(its text): data a caller can correct
//   anything else            PanicException(UNKNOWN_FAULT)
#pragma once

#include <string_view>

#include "bravolin/boundary/python.hpp"

namespace bravolin {

// Raises PanicException(message), making the type on first use.
void raise_panic(std::string_view message);

// Message for a C++ exception that carries no fault text.
inline constexpr const char* UNKNOWN_FAULT = "bravolin_learn: unexpected internal error";

// Translates the exception being handled into a pending Python exception.
void set_error_from_current_exception() noexcept;

// Runs `body`, which returns a new reference or nullptr with an exception set.
// Nothing C++ ever leaves this function.
template <class Body>
PyObject* fault_barrier(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// For tp_dealloc: no exception may be raised there, so the error is reported
// through sys.unraisablehook with `context` as the object.
void report_unraisable_current_exception(PyObject* context) noexcept;

}  // namespace bravolin
