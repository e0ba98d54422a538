"""The core class's read-only parameters: coef_, intercept_ and fit_intercept."""
import numpy as np
import pytest

from bravolin_learn import LinearRegression
from test_fit_bits import assert_same_bits, make_data, reference_fit
from test_methods import reentrant_argument

NOT_FITTED = "Model has not been fitted yet."


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_unfitted_model_has_no_parameters(fit_intercept):
    model = LinearRegression(fit_intercept)
    assert model.fit_intercept is fit_intercept
    for name in ["coef_", "intercept_"]:
        assert not hasattr(model, name)
        with pytest.raises(AttributeError) as info:
            getattr(model, name)
        assert info.value.args == (NOT_FITTED,)
    # A failed fit leaves it unfitted.
    with pytest.raises(RuntimeError):
        model.fit(np.zeros((3, 1)), np.ones((3, 1)))
    assert not hasattr(model, "coef_")


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(("n", "p", "q"), [(5, 1, 1), (70, 3, 1), (130, 10, 1), (40, 4, 3)])
def test_parameters_are_the_stored_bits(n, p, q, fit_intercept):
    _, x, y = make_data(n, p, q, seed=[n, p, q])
    b, coefficients = reference_fit(x, y, fit_intercept)
    model = LinearRegression(fit_intercept)
    model.fit(x, y)
    coef = model.coef_
    assert coef.flags.c_contiguous and coef.flags.writeable and coef.ndim == 1
    assert_same_bits(coef, coefficients)
    intercept = model.intercept_
    assert type(intercept) is float
    assert_same_bits(np.array([intercept]), np.array([b]))


def test_parameters_are_read_only_copies():
    model = LinearRegression(True)
    model.fit(np.array([[1.0], [2.0], [3.0]]), np.array([[3.0], [5.0], [7.0]]))
    first = model.coef_
    first[0] = 100.0
    assert model.coef_[0] != 100.0 and model.coef_ is not model.coef_
    for name, value in [("coef_", first), ("intercept_", 0.0), ("fit_intercept", False)]:
        with pytest.raises(AttributeError):
            setattr(model, name, value)
    assert model.fit_intercept is True


def test_parameters_cannot_be_read_while_a_fit_changes_the_model():
    model = LinearRegression(True)
    x = np.array([[1.0], [2.0], [3.0]])
    probe, seen = reentrant_argument(lambda: model.coef_)
    with pytest.raises(TypeError):
        model.fit(probe, x)
    assert type(seen[0]) is RuntimeError and str(seen[0]) == "Already mutably borrowed"
    model.fit(x, x)
    inner = []
    probe, seen = reentrant_argument(lambda: inner.append((model.coef_, model.intercept_)))
    with pytest.raises(TypeError):
        model.predict(probe)  # a reader beside a reader is fine
    assert seen == [None] and inner[0][0].shape == (1,)
