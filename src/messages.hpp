// Every text this module raises or faults with, in one table: callers match
// them exactly (typos included), so they change only here and only on purpose.
// Texts ending in ": " are prefixes; a description of the cause follows.
#pragma once

#include "model.hpp"

namespace bravolin::messages {

// The model's expected failures (RuntimeError).
inline constexpr const char* INVERSION_FAILED = "Matrix inversion failed.";
inline constexpr const char* NOT_FITTED = "Model has not been fitted yet.";

inline constexpr const char* text(Failure failure) noexcept {
    switch (failure) {
        case Failure::inversion_failed: return INVERSION_FAILED;
        case Failure::not_fitted: return NOT_FITTED;
    }
    return INVERSION_FAILED;  // unreachable: every enumerator is named above
}

// Conflicting use of an instance (RuntimeError).
inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";

// Arguments (TypeError): printf formats of the array checks, and the Rust-style
// type names that conversion messages name as their target.
inline constexpr const char* DIMENSIONALITY_MISMATCH = "dimensionality mismatch:\n from=%d, to=2";
inline constexpr const char* TYPE_MISMATCH = "type mismatch:\n from=%U, to=%U";
inline constexpr const char* ARRAY_TARGET = "PyArray<T, D>";
inline constexpr const char* BOOL_TARGET = "PyBool";
inline constexpr const char* LIST_TARGET = "PyList";
inline constexpr const char* CAPSULE_TARGET = "PyCapsule";
inline constexpr const char* NO_CONSTRUCTOR = "No constructor defined";

// Start-up.
inline constexpr const char* CLASS_INIT_FAILED = "An error occurred while initializing class LinearRegression";
inline constexpr const char* SUBINTERPRETER =
    "bravolin_learn does not support subinterpreters: it can only be used by the interpreter that first "
    "imported it in this process";
inline constexpr const char* ALL_APPEND_FAILED = "could not append __name__ to __all__";

// Internal faults (PanicException).
inline constexpr const char* NULL_MATRIX = "cannot create a null matrix";
inline constexpr const char* BORROW_CONFLICT = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
inline constexpr const char* BORROW_API_ERROR = "Interal borrow checking API error: ";
inline constexpr const char* NUMPY_API_ERROR = "Failed to access NumPy array API capsule: ";
inline constexpr const char* SLICE_CONTAINER_ERROR = "Failed to create slice container: ";
inline constexpr const char* PYTHON_API_CALL_FAILED = "Python API call failed";

}  // namespace bravolin::messages
