"""Both native modules translate C++ failures through one barrier: the same
fault reaches Python as the same exception type, whichever module met it and
whichever module met one first."""
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import numpy as np
    from bravolin import _exact
    from bravolin_learn import LinearRegression

    def core():
        # x with 10 rows and y with 9: a violated precondition in the core.
        LinearRegression(True).fit(np.random.default_rng(0).random((10, 2)), np.ones((9, 1)))

    def engine():
        # The same violation in the package's private module.
        _exact.accumulate(np.ones((10, 2)), np.ones((9, 1)), None, 1)

    caught = []
    for call in ({order}):
        try:
            call()
        except BaseException as error:
            caught.append(error)
    core_error, engine_error = sorted(caught, key=lambda e: "rows" in str(e))
    assert type(core_error) is type(engine_error), (type(core_error), type(engine_error))
    panic = type(core_error)
    assert panic.__module__ == "bravolin_learn" and panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert str(core_error) == "Matrix sizes do not match"
    assert str(engine_error) == "x and y have different numbers of rows"
    print("ok")
    """
)


@pytest.mark.parametrize("order", ["core, engine", "engine, core"])
def test_the_same_fault_is_the_same_exception_in_both_modules(order):
    # A fresh interpreter each time, so that either module makes the type first.
    result = subprocess.run([sys.executable, "-c", CHILD.format(order=order)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr
