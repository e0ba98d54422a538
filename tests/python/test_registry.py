"""The array-borrow registry shared with other NumPy extensions."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from bravolin_learn import LinearRegression
from support import borrow_record, multiarray

NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
X = np.array([[1.0], [2.0], [3.0]])
Y = np.array([[3.0], [5.0], [7.0]])


@pytest.fixture(scope="module")
def record():
    return borrow_record()


def test_record_is_where_other_extensions_look(record):
    assert type(getattr(multiarray(), NAME.decode())).__name__ == "PyCapsule"
    assert record.version >= 1


def test_exclusive_borrow_blocks_fit_until_released(record, PanicException):
    x = X.copy()
    assert record.acquire_mut(record.flags, x) == 0
    try:
        with pytest.raises(PanicException) as info:
            LinearRegression(True).fit(x, Y)
        assert info.value.args == ("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",)
        # The conflict on y ends the borrow already taken of x.
        with pytest.raises(PanicException):
            LinearRegression(True).fit(Y.copy(), x)
        # A view of the same memory conflicts as well.
        with pytest.raises(PanicException):
            LinearRegression(True).predict(x[::-1])
    finally:
        record.release_mut(record.flags, x)
    model = LinearRegression(True)
    model.fit(x, Y)
    # Nothing stays borrowed after a call, a failing one included.
    assert record.acquire_mut(record.flags, x) == 0
    record.release_mut(record.flags, x)


def test_registry_rules(record):
    a = np.zeros((4, 6))
    even, odd = a[:, ::2], a[:, 1::2]
    # Interleaved views share a range but never an element.
    assert record.acquire_mut(record.flags, even) == 0
    assert record.acquire_mut(record.flags, odd) == 0
    assert record.acquire(record.flags, a) == -1
    record.release_mut(record.flags, even)
    record.release_mut(record.flags, odd)
    # Shared borrows stack; an exclusive one waits for the last release.
    assert record.acquire(record.flags, a) == 0
    assert record.acquire(record.flags, a) == 0
    assert record.acquire_mut(record.flags, a[1:]) == -1
    record.release(record.flags, a)
    assert record.acquire_mut(record.flags, a) == -1
    record.release(record.flags, a)
    assert record.acquire_mut(record.flags, a) == 0
    record.release_mut(record.flags, a)
    readonly = np.zeros(3)
    readonly.flags.writeable = False
    assert record.acquire_mut(record.flags, readonly) == -2
    # Zero-stride broadcast views of one element cannot be told apart.
    writable_broadcast = np.lib.stride_tricks.as_strided(np.zeros(1), (3, 3), (0, 0))
    smaller = writable_broadcast[:2, 1:]
    assert record.acquire_mut(record.flags, writable_broadcast) == 0
    assert record.acquire(record.flags, smaller) == -1
    record.release_mut(record.flags, writable_broadcast)
    assert record.acquire(record.flags, smaller) == 0
    record.release(record.flags, smaller)


def test_first_use_raises_no_deprecation_warning():
    code = textwrap.dedent(
        """
        import warnings
        warnings.simplefilter("error")
        import numpy as np
        from bravolin_learn import LinearRegression
        m = LinearRegression(True)
        m.fit(np.array([[1.0], [2.0], [3.0]]), np.array([[1.0], [2.0], [4.0]]))
        m.predict(np.array([[1.0]]))
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


def test_foreign_record_type_name_keeps_its_nul_characters():
    # The message naming a foreign object's type once stopped at a NUL in the name.
    code = textwrap.dedent(
        """
        import numpy as np
        from bravolin_learn import LinearRegression
        from support import multiarray
        Foreign = type("Foreign", (), {})
        Foreign.__qualname__ = "Fore\\0ign"
        setattr(multiarray(), "_RUST_NUMPY_BORROW_CHECKING_API", Foreign())
        try:
            LinearRegression(True).fit(np.array([[1.0], [2.0]]), np.array([[1.0], [2.0]]))
        except BaseException as error:
            print(repr(error.args))
        """
    )
    env = {**os.environ, "PYTHONPATH": os.path.dirname(__file__)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    expected = (
        "Interal borrow checking API error: TypeError: "
        "'Fore\0ign' object cannot be converted to 'PyCapsule'",
    )
    assert done.stdout.strip() == repr(expected)
