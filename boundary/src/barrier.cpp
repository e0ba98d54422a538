#include "bravolin/boundary/barrier.hpp"

#include <new>
#include <stdexcept>

#include "strassen/fault.hpp"
#include "strassen/interrupt.hpp"

namespace bravolin {

namespace {

// Both native modules raise one PanicException: whichever needs it first
// makes it and leaves it in the interpreter's dictionary for extensions,
// where the other finds it. It is an attribute of neither module, and is
// kept for the life of the interpreter.
constexpr const char* PANIC_KEY = "bravolin_learn.PanicException";

PyObject* get_panic_type() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        // No per-interpreter storage: CPython documents that nothing is set.
        PyErr_SetString(PyExc_SystemError, "no interpreter dictionary for PanicException");
        return nullptr;
    }
    PyRef key(PyUnicode_InternFromString(PANIC_KEY));
    if (!key) return nullptr;
    PyObject* found = PyDict_GetItemWithError(dict, key.get());  // borrowed
    if (found != nullptr || PyErr_Occurred()) return found;
    PyRef type(PyErr_NewExceptionWithDoc(
        PANIC_KEY,
        "Raised when bravolin_learn's native code meets an internal fault while called "
        "from Python.\n\nLike SystemExit, it derives from BaseException rather than "
        "Exception, so that it usually propagates to the top and ends the interpreter "
        "instead of being swallowed by a generic handler.",
        PyExc_BaseException, nullptr));
    if (!type || PyDict_SetItem(dict, key.get(), type.get()) < 0) return nullptr;
    return type.get();  // the dictionary keeps it alive
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
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
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

}  // namespace bravolin
