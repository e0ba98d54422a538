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
