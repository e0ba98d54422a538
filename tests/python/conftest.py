import numpy as np
import pytest

import bravolin_learn
from support import panic_type


@pytest.fixture
def LinearRegression():
    return bravolin_learn.LinearRegression


@pytest.fixture(scope="session")
def PanicException():
    return panic_type()
