import numpy as np
import pytest

import bravolin_learn


@pytest.fixture
def LinearRegression():
    return bravolin_learn.LinearRegression


def panic_type():
    """PanicException is not a module attribute: provoke one to get the type."""
    model = bravolin_learn.LinearRegression(True)
    try:
        model.predict(np.zeros((0, 1)))
    except BaseException as error:  # noqa: BLE001 - we want exactly this type
        return type(error)
    raise AssertionError("an empty x must fault")


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()
