"""Helpers shared by the Python tests, also when a test file runs as a child script."""
import ctypes

import numpy as np

from bravolin_learn import LinearRegression

BORROW_API_NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"


def panic_type():
    """PanicException is not a module attribute: provoke one to get the type."""
    try:
        LinearRegression(True).predict(np.zeros((0, 1)))
    except BaseException as error:  # noqa: BLE001 - exactly this type is wanted
        return type(error)
    raise AssertionError("an empty x must fault")


def multiarray():
    """The module that holds NumPy's shared capsules for the running NumPy."""
    if int(np.__version__.split(".")[0]) >= 2:
        from numpy._core import multiarray as module
    else:
        from numpy.core import multiarray as module
    return module


class BorrowRecord(ctypes.Structure):
    """The registry's record, as every participating extension reads it."""
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("acquire_mut", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
        ("release_mut", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
    ]


def borrow_record():
    """The registry record, installed first by a fit if nobody did."""
    LinearRegression(True).fit(np.array([[1.0], [2.0], [3.0]]), np.array([[1.0], [2.0], [4.0]]))
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = getattr(multiarray(), BORROW_API_NAME.decode())
    return BorrowRecord.from_address(get_pointer(capsule, BORROW_API_NAME))


# Debian's reference LAPACK and BLAS (Netlib 3.11, baseline x86-64, no FMA),
# which the test command installs. The BLAS is loaded first, by its own path,
# so that the LAPACK binds to it rather than to whatever libblas.so.3 the
# alternatives system points at.
REFERENCE_BLAS = "/usr/lib/x86_64-linux-gnu/blas/libblas.so.3"
REFERENCE_LAPACK = "/usr/lib/x86_64-linux-gnu/lapack/liblapack.so.3"
_reference = []


def reference_lapack():
    if not _reference:
        ctypes.CDLL(REFERENCE_BLAS, mode=ctypes.RTLD_GLOBAL)
        lapack = ctypes.CDLL(REFERENCE_LAPACK)
        int_p, double_p = ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_double)
        lapack.dgetrf_.argtypes = [int_p, int_p, double_p, int_p, int_p, int_p]
        lapack.dgetri_.argtypes = [int_p, double_p, int_p, int_p, double_p, int_p, int_p]
        lapack.dgetrf_.restype = lapack.dgetri_.restype = None
        _reference.append(lapack)
    return _reference[0]


def reference_inverse(g):
    """G⁻¹ as the module forms it: the reference dgetrf then dgetri with the
    minimal workspace of k, on G's row-major buffer as it is (which LAPACK
    reads as Gᵀ, so the column-major result read row-major is G⁻¹); None when
    either reports a non-zero INFO."""
    lapack = reference_lapack()
    k = g.shape[0]
    a = np.array(g, dtype=np.float64, order="C")  # a copy, handed over as it is
    ipiv = np.zeros(k, dtype=np.intc)
    work = np.zeros(k)
    n, lwork, info = ctypes.c_int(k), ctypes.c_int(k), ctypes.c_int(0)
    double_p, int_p = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int)
    a_p, ipiv_p = a.ctypes.data_as(double_p), ipiv.ctypes.data_as(int_p)
    lapack.dgetrf_(ctypes.byref(n), ctypes.byref(n), a_p, ctypes.byref(n), ipiv_p, ctypes.byref(info))
    if info.value != 0:
        return None
    lapack.dgetri_(
        ctypes.byref(n), a_p, ctypes.byref(n), ipiv_p, work.ctypes.data_as(double_p),
        ctypes.byref(lwork), ctypes.byref(info),
    )
    if info.value != 0:
        return None
    return a
