#include <string>

#include "python.hpp"

namespace bravolin {

std::string type_qualname(PyObject* obj) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
        if (s != nullptr) return std::string(s, static_cast<std::size_t>(len));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_conversion_error(PyObject* obj, const char* target) {
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on the chained
    // operator+ form of this expression.
    std::string message = "'";
    message += type_qualname(obj);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    // A type name may hold NUL characters; a C string would end the message
    // at the first one.
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                    "strict"));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

}  // namespace bravolin
