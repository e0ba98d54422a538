// The shared boundary's Python.h and reference holder, and the conversion
// messages of this module's arguments.
#pragma once

#include <string>

#include "bravolin/boundary/python.hpp"

namespace bravolin {

// The `__qualname__` of an object's type, as used in conversion messages.
// Runs Python code (a metaclass may intercept the lookup).
std::string type_qualname(PyObject* obj);

// TypeError "'<qualname>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* obj, const char* target);

}  // namespace bravolin
