// Binding of Python call arguments to named, required parameters.
#pragma once

#include <cstddef>

#include "python.hpp"

namespace bravolin {

struct ParamSpec {
    const char* full_name;     // e.g. "LinearRegression.fit()", used in messages
    const char* const* names;  // positional order; every parameter is required
    std::size_t count;         // at most 2 here
};

inline constexpr std::size_t MAX_PARAMS = 2;

// Fills out[0..count) with borrowed references, or raises TypeError and
// returns false. For tp_new: a tuple and an optional dict.
bool bind_args(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

// The same for vectorcall: positional vector, count, and keyword-name tuple
// whose values follow the positional ones in `args`.
bool bind_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// If the pending error is exactly TypeError, replaces it by
// TypeError("argument '<name>': <message>") keeping its __cause__.
void wrap_argument_error(const char* name);

}  // namespace bravolin
