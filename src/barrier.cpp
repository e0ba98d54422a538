#include "barrier.hpp"

#include <cstring>
#include <string>

#include "process_state.hpp"
#include "strassen/interrupt.hpp"

namespace bravolin {

namespace {

PyObject* get_panic_type() {
    PyObject*& panic_type = process_state.panic_type;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "bravolin_learn.PanicException",
            "Raised when bravolin_learn's native code meets an internal fault while called "
            "from Python.\n\nLike SystemExit, it derives from BaseException rather than "
            "Exception, so that it usually propagates to the top and ends the interpreter "
            "instead of being swallowed by a generic handler.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

}  // namespace

void raise_panic(std::string_view message) {
    PyObject* type = get_panic_type();
    if (type == nullptr) return;  // the creation error is pending instead
    // By length, so that a text holding NUL characters arrives whole.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        ensure_error_set();
    } catch (const strassen::Fault& f) {
        raise_panic(f.message().empty() ? std::string_view(UNKNOWN_FAULT) : f.message());
    } catch (const strassen::Interrupted&) {
        // The check that stopped the call ran the signal handlers, which left
        // their exception (KeyboardInterrupt for Ctrl-C) pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const strassen::OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        // Memory exhaustion must never take the interpreter down.
        PyErr_NoMemory();
    } catch (...) {
        raise_panic(UNKNOWN_FAULT);
    }
}

void report_unraisable_current_exception(PyObject* context) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    set_error_from_current_exception();
    PyErr_WriteUnraisable(context);
    PyErr_SetRaisedException(saved);
}

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
