"""Method calls: order of checks, the access guard, the model's failures."""
import numpy as np
import pytest

from bravolin_learn import LinearRegression

X = np.array([[1.0], [2.0], [3.0]])
Y = np.array([[3.0], [5.0], [7.0]])


def test_fit_and_predict_simple_line():
    model = LinearRegression(True)
    assert model.fit(X, Y) is None
    result = model.predict(np.array([[4.0], [0.0]]))
    assert result.shape == (2,)
    np.testing.assert_allclose(result, [9.0, 1.0], rtol=1e-12, atol=1e-12)


def test_fit_without_intercept():
    model = LinearRegression(False)
    model.fit(X, 2 * X)
    np.testing.assert_allclose(model.predict(np.array([[1.0]])), [2.0], rtol=1e-12)
    # No intercept: a zero row predicts exactly +0.0 + 0.0.
    assert model.predict(np.zeros((1, 1))).tolist() == [0.0]


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_unfitted_predict(fit_intercept):
    model = LinearRegression(fit_intercept)
    with pytest.raises(RuntimeError) as info:
        model.predict(X)
    assert type(info.value) is RuntimeError and info.value.args == ("Model has not been fitted yet.",)
    # A bad x is reported before the model's state is looked at.
    with pytest.raises(TypeError, match="^argument 'x': 'list' object"):
        model.predict([[1.0]])


@pytest.mark.parametrize(
    "fit_intercept, x",
    [
        (True, np.array([[2.0]])),  # one observation with an intercept: zero pivot
        (True, np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]])),
        (False, np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]])),
        (False, np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]])),
        (True, np.array([[1.0, 5.0], [2.0, 5.0], [3.0, 5.0]])),  # constant beside the intercept
    ],
)
def test_singular_fit_keeps_previous_state(fit_intercept, x):
    y = np.arange(1.0, x.shape[0] + 1).reshape(-1, 1)
    fresh = LinearRegression(fit_intercept)
    with pytest.raises(RuntimeError) as info:
        fresh.fit(x, y)
    assert info.value.args == ("Matrix inversion failed.",)
    with pytest.raises(RuntimeError, match=r"^Model has not been fitted yet\.$"):
        fresh.predict(x)

    fitted = LinearRegression(fit_intercept)
    good = np.arange(1.0, 2 * x.shape[1] * 3 + 1).reshape(-1, x.shape[1]) ** 1.5
    fitted.fit(good, np.arange(good.shape[0], dtype=float).reshape(-1, 1))
    before = fitted.predict(x)
    with pytest.raises(RuntimeError, match=r"^Matrix inversion failed\.$"):
        fitted.fit(x, y)
    assert np.array_equal(fitted.predict(x), before)


def test_row_mismatch_faults_after_inversion(PanicException):
    model = LinearRegression(True)
    with pytest.raises(PanicException) as info:
        model.fit(X, np.ones((4, 1)))
    assert info.value.args == ("Matrix sizes do not match",)
    # The inversion comes first: a singular G reports that instead.
    with pytest.raises(RuntimeError, match=r"^Matrix inversion failed\.$"):
        model.fit(np.ones((3, 2)), np.ones((4, 1)))
    model.fit(X, Y)  # the guard was given back after both failures
    model.predict(X)


def test_wrong_feature_count_in_predict(PanicException):
    model = LinearRegression(True)
    model.fit(X, Y)
    for columns in (0 + 2, 3):
        with pytest.raises(PanicException) as info:
            model.predict(np.ones((2, columns)))
        assert info.value.args == ("Matrix sizes do not match",)
    np.testing.assert_allclose(model.predict(X), Y.ravel(), rtol=1e-12)


def test_several_target_columns():
    rng = np.random.default_rng(3)
    x = rng.standard_normal((30, 2))
    y = rng.standard_normal((30, 3))
    with_intercept = LinearRegression(True)
    with_intercept.fit(x, y)  # B is 3 x 3: intercept plus 8 coefficients
    assert with_intercept.predict(np.ones((4, 8))).shape == (4,)
    without = LinearRegression(False)
    without.fit(x, y)  # 2 x 3: 6 coefficients
    assert without.predict(np.ones((1, 6))).shape == (1,)


def test_second_fit_replaces_the_first():
    model = LinearRegression(True)
    model.fit(np.arange(1.0, 7.0).reshape(3, 2) ** 2, np.ones((3, 1)))
    model.fit(X, Y)
    np.testing.assert_allclose(model.predict(np.array([[10.0]])), [21.0], rtol=1e-12)
    first = model.predict(X)
    assert np.array_equal(model.predict(X), first)  # predict changes nothing


def reentrant_argument(action):
    """An object whose type's __qualname__ lookup runs `action`: the only
    Python code that runs while an instance's guard is held."""
    seen = []

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    action()
                    seen.append(None)
                except Exception as error:  # noqa: BLE001
                    seen.append(error)
            return super().__getattribute__(name)

    class Probe(metaclass=Meta):
        pass

    return Probe(), seen


def test_reentrant_calls_during_fit():
    model = LinearRegression(True)
    model.fit(X, Y)
    attempts = [
        lambda: model.fit(X, Y),
        lambda: model.predict(X),
        lambda: model.fit([1], None),  # the guard is checked before the arrays
    ]
    messages = []
    for attempt in attempts:
        probe, seen = reentrant_argument(attempt)
        with pytest.raises(TypeError, match="^argument 'x': 'reentrant_argument.<locals>.Probe' object cannot be converted"):
            model.fit(probe, Y)
        messages.append((type(seen[0]), str(seen[0])))
    assert messages == [
        (RuntimeError, "Already borrowed"),
        (RuntimeError, "Already mutably borrowed"),
        (RuntimeError, "Already borrowed"),
    ]
    model.predict(X)  # the guard is free again


def test_reentrant_calls_during_predict():
    model = LinearRegression(True)
    model.fit(X, Y)
    inner = []
    probe, seen = reentrant_argument(lambda: inner.append(model.predict(X)))
    with pytest.raises(TypeError):
        model.predict(probe)
    assert seen == [None] and inner[0].shape == (3,)  # reading twice is allowed
    probe, seen = reentrant_argument(lambda: model.fit(X, Y))
    with pytest.raises(TypeError):
        model.predict(probe)
    assert type(seen[0]) is RuntimeError and str(seen[0]) == "Already borrowed"
    probe, seen = reentrant_argument(lambda: model.fit(X, Y))
    with pytest.raises(TypeError, match="^argument 'y'"):
        model.fit(X, probe)  # x stays borrowed while y is examined
    assert str(seen[0]) == "Already borrowed"
    model.fit(X, Y)
