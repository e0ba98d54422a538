// SciPy ships a LAPACK and exports its routines to other extensions as
// capsules in scipy.linalg.cython_lapack.__pyx_capi__, each named by its C
// signature. Taking them from there means the module links against no LAPACK
// of its own and uses the one SciPy already loaded into the process.
#include <string>

#include "python.hpp"

#include "lapack.hpp"

namespace bravolin {

namespace {

constexpr const char* LAPACK_MODULE = "scipy.linalg.cython_lapack";

// Replaces the raised exception by ImportError("bravolin_learn needs SciPy's
// LAPACK: <what> (<the original error>)") raised from it, so that the user sees
// what is missing and the traceback still shows why.
void raise_import_error(const char* what) {
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* error = nullptr;
    {
        PyRef message(cause != nullptr
                        ? PyUnicode_FromFormat("bravolin_learn needs SciPy's LAPACK: %s (%S)", what,
                                               cause)
                        : PyUnicode_FromFormat("bravolin_learn needs SciPy's LAPACK: %s", what));
        if (!message) {
            // Describing the cause failed; that failure is what the caller sees.
            Py_XDECREF(cause);
            return;
        }
        error = PyObject_CallOneArg(PyExc_ImportError, message.get());
    }
    if (error == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) {
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);  // steals cause
    }
    PyErr_SetRaisedException(error);  // steals error
}

// The function pointer in capsule `name` of `capi`, or nullptr with
// ImportError set.
void* capsule_pointer(PyObject* capi, const char* name) {
    PyRef capsule(PyMapping_GetItemString(capi, name));
    if (!capsule) {
        raise_import_error((std::string(LAPACK_MODULE) + " has no capsule '" + name + "'").c_str());
        return nullptr;
    }
    // The capsule's name is the routine's C signature, which only SciPy knows
    // exactly; it is read back rather than spelt out here.
    const char* signature = PyCapsule_GetName(capsule.get());
    void* pointer =
        PyErr_Occurred() != nullptr ? nullptr : PyCapsule_GetPointer(capsule.get(), signature);
    if (pointer == nullptr) {
        raise_import_error(
            (std::string("could not read the capsule '") + name + "' of " + LAPACK_MODULE).c_str());
        return nullptr;
    }
    return pointer;
}

bool resolve(Lapack& lapack) {
    PyRef module(PyImport_ImportModule(LAPACK_MODULE));
    if (!module) {
        raise_import_error("could not import scipy.linalg.cython_lapack");
        return false;
    }
    PyRef capi(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!capi) {
        raise_import_error("scipy.linalg.cython_lapack has no attribute '__pyx_capi__'");
        return false;
    }
    void* dgetrf = capsule_pointer(capi.get(), "dgetrf");
    if (dgetrf == nullptr) return false;
    void* dgetri = capsule_pointer(capi.get(), "dgetri");
    if (dgetri == nullptr) return false;

    // The pointers outlive the references dropped here: an extension module,
    // once imported, is never unloaded.
    lapack.dgetrf = reinterpret_cast<DgetrfFn>(dgetrf);
    lapack.dgetri = reinterpret_cast<DgetriFn>(dgetri);
    return true;
}

}  // namespace

const Lapack* lapack_functions() {
    // Guarded by the GIL, which every caller holds. Only success is kept, so
    // a process that installs SciPy after a failed fit can still fit later.
    static Lapack lapack{};
    static bool resolved = false;
    if (!resolved) {
        Lapack found{};
        if (!resolve(found)) return nullptr;
        lapack = found;
        resolved = true;
    }
    return &lapack;
}

}  // namespace bravolin
