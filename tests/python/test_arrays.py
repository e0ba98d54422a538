"""What fit and predict accept, how they read it, and the array they return."""
import gc
import sys

import numpy as np
import pytest

from bravolin_learn import LinearRegression

RNG = np.random.default_rng(7)
X = RNG.standard_normal((40, 3))
Y = X @ np.array([[1.5], [-2.0], [0.25]]) + 0.5 + 0.01 * RNG.standard_normal((40, 1))


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


@pytest.fixture
def fitted():
    model = LinearRegression(True)
    model.fit(X, Y)
    return model


@pytest.mark.parametrize(
    "value, message",
    [
        ([[1.0, 2.0]], "'list' object cannot be converted to 'PyArray<T, D>'"),
        (None, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (3.0, "'float' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(3), "dimensionality mismatch:\n from=1, to=2"),
        (np.ones((2, 2, 2)), "dimensionality mismatch:\n from=3, to=2"),
        (np.array(1.0), "dimensionality mismatch:\n from=0, to=2"),
        (np.ones((3, 1), dtype=np.int64), "type mismatch:\n from=int64, to=float64"),
        (np.ones((3, 1), dtype=np.float32), "type mismatch:\n from=float32, to=float64"),
        (np.ones((3, 1), dtype=">f8"), "type mismatch:\n from=>f8, to=float64"),
        (np.ones((3, 1), dtype=complex), "type mismatch:\n from=complex128, to=float64"),
        (np.ones((3, 1), dtype=object), "type mismatch:\n from=object, to=float64"),
    ],
)
@pytest.mark.parametrize("where", ["fit-x", "fit-y", "predict-x"])
def test_rejected_arguments(value, message, where, fitted):
    if where == "fit-x":
        call, name = (lambda: LinearRegression(True).fit(value, Y)), "x"
    elif where == "fit-y":
        call, name = (lambda: LinearRegression(True).fit(X, value)), "y"
    else:
        call, name = (lambda: fitted.predict(value)), "x"
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {message}"


def layouts():
    base = RNG.standard_normal((40, 3))
    fortran = np.asfortranarray(base)
    readonly = base.copy()
    readonly.flags.writeable = False
    wide = RNG.standard_normal((80, 9))
    yield "fortran", fortran
    yield "transposed", np.ascontiguousarray(base.T).T
    yield "negative rows", base[::-1]
    yield "negative both", base[::-1, ::-1]
    yield "strided view", wide[::2, 1::3]
    yield "read-only", readonly
    yield "subclass", base.view(type("Sub", (np.ndarray,), {}))


@pytest.mark.parametrize("name, array", list(layouts()), ids=[n for n, _ in layouts()])
def test_layouts_read_in_logical_order(name, array, fitted):
    expected = fitted.predict(np.ascontiguousarray(array))
    assert np.array_equal(bits(fitted.predict(array)), bits(expected))
    model = LinearRegression(True)
    model.fit(array, Y)
    reference = LinearRegression(True)
    reference.fit(np.ascontiguousarray(array), Y)
    assert np.array_equal(bits(model.predict(X)), bits(reference.predict(X)))


def test_same_array_as_x_and_y():
    data = np.column_stack([np.arange(1.0, 9.0), np.arange(1.0, 9.0) ** 2])
    model = LinearRegression(False)
    model.fit(data, data)  # two shared borrows of one array
    assert model.predict(np.ones((1, 4))).shape == (1,)


def test_inputs_are_not_changed(fitted):
    x, y = X.copy(), Y.copy()
    model = LinearRegression(True)
    model.fit(x, y)
    model.predict(x)
    assert np.array_equal(x, X) and np.array_equal(y, Y)


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_arrays_fault(shape, PanicException):
    with pytest.raises(PanicException) as info:
        LinearRegression(True).fit(np.zeros(shape), Y)
    assert info.value.args == ("cannot create a null matrix",)
    with pytest.raises(PanicException) as info:
        LinearRegression(True).predict(np.zeros(shape))
    assert info.value.args == ("cannot create a null matrix",)


def test_result_array_properties(fitted):
    result = fitted.predict(X)
    assert result.ndim == 1 and result.shape == (40,)
    assert result.dtype == np.float64
    assert result.flags.writeable and result.flags.c_contiguous
    assert not result.flags.owndata
    owner = result.base
    assert type(owner).__name__ == "PySliceContainer"
    assert type(owner).__module__ == "builtins"
    with pytest.raises(TypeError, match="^No constructor defined$"):
        type(owner)()
    again = fitted.predict(X)
    assert again is not result and again.base is not owner
    assert np.shares_memory(result, again) is False


def test_result_outlives_model_and_array_through_views():
    model = LinearRegression(True)
    model.fit(X, Y)
    result = model.predict(X)
    expected = result.copy()
    view = result[5:10]
    owner = result.base
    del model, result
    gc.collect()
    junk = [np.full(50, 123.0) for _ in range(100)]  # reuse freed memory if any
    assert np.array_equal(view, expected[5:10])
    assert sys.getrefcount(owner) > 1
    del junk
