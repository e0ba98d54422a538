"""bravolin.sklearn.LinearRegression: what it accepts, what it gives back, and
how it fits into scikit-learn's tools."""
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn")
pd = pytest.importorskip("pandas")

from sklearn.base import clone  # noqa: E402
from sklearn.metrics import r2_score  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402

import bravolin_learn  # noqa: E402
from bravolin import _exact  # noqa: E402
from bravolin.sklearn import LinearRegression  # noqa: E402
from test_fit_bits import assert_same_bits, mult  # noqa: E402


def make_data(n=200, p=4, q=None, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p)) * rng.uniform(0.5, 4.0, size=p) + rng.uniform(-5, 5, size=p)
    beta = rng.uniform(-3.0, 3.0, size=(p,) if q is None else (p, q))
    y = x @ beta + 1.25 + 0.01 * rng.standard_normal(n if q is None else (n, q))
    return x, y


def lstsq(x, y, fit_intercept=True, weights=None):
    d = np.hstack([np.ones((x.shape[0], 1)), x]) if fit_intercept else x
    if weights is not None:
        root = np.sqrt(weights)
        d, y = d * root[:, None], y * (root if y.ndim == 1 else root[:, None])
    solution = np.linalg.lstsq(d, y, rcond=None)[0]
    return (solution[1:], solution[0]) if fit_intercept else (solution, 0.0)


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize("q", [None, 1, 3])
def test_parameters_match_lstsq_in_scikit_learn_shapes(fit_intercept, q):
    x, y = make_data(q=q)
    model = LinearRegression(fit_intercept=fit_intercept)
    assert model.fit(x, y) is model
    coef, intercept = lstsq(x, y, fit_intercept)
    np.testing.assert_allclose(model.coef_, coef.T, rtol=1e-11, atol=1e-12)
    np.testing.assert_allclose(model.intercept_, intercept, rtol=1e-11, atol=1e-11)
    if q is None:
        assert model.coef_.shape == (4,) and type(model.intercept_) is float
        assert model.predict(x).shape == (200,)
    else:
        assert model.coef_.shape == (q, 4) and model.intercept_.shape == (q,)
        assert model.predict(x).shape == (200, q)
    np.testing.assert_allclose(model.predict(x), x @ coef + intercept, rtol=1e-11, atol=1e-11)
    assert model.score(x, y) == pytest.approx(r2_score(y, model.predict(x)), abs=0)


def test_lists_dataframes_and_other_dtypes_are_converted():
    x, y = make_data(n=60, p=3)
    x_int = np.rint(x * 8).astype(np.int64)
    reference = LinearRegression().fit(x_int.astype(np.float64), y)
    expected = reference.predict(x_int.astype(np.float64))
    for features in [x_int, x_int.astype(np.int32), x_int.tolist(), x_int.astype(np.float32)]:
        model = LinearRegression().fit(features, y.tolist())
        assert_same_bits(model.predict(features), expected)
    frame = pd.DataFrame(x_int, columns=["a", "b", "c"])
    model = LinearRegression().fit(frame, pd.Series(y))
    assert list(model.feature_names_in_) == ["a", "b", "c"] and model.n_features_in_ == 3
    assert_same_bits(model.predict(frame), expected)


@pytest.mark.parametrize(
    ("bad", "where", "message"),
    [(np.nan, "x", "Input X contains NaN"), (np.inf, "x", "Input X contains infinity"),
     (np.nan, "y", "Input y contains NaN"), (-np.inf, "y", "Input y contains infinity")],
)
def test_non_finite_input_is_refused_as_scikit_learn_does(bad, where, message):
    x, y = make_data(n=20, p=2)
    (x if where == "x" else y)[3] = bad
    with pytest.raises(ValueError, match=message):
        LinearRegression().fit(x, y)


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_sample_weight_is_weighted_least_squares(fit_intercept):
    x, y = make_data(n=120, p=3, seed=4)
    weights = np.random.default_rng(5).integers(0, 4, size=120).astype(np.float64)
    model = LinearRegression(fit_intercept=fit_intercept).fit(x, y, sample_weight=weights)
    coef, intercept = lstsq(x, y, fit_intercept, weights)
    np.testing.assert_allclose(model.coef_, coef, rtol=1e-11)
    np.testing.assert_allclose(model.intercept_, intercept, rtol=1e-11, atol=1e-12)
    # Integer weights are repeated samples.
    repeated = LinearRegression(fit_intercept=fit_intercept).fit(
        np.repeat(x, weights.astype(int), axis=0), np.repeat(y, weights.astype(int)))
    np.testing.assert_allclose(model.coef_, repeated.coef_, rtol=1e-11)
    with pytest.raises(ValueError, match="Negative values"):
        LinearRegression().fit(x, y, sample_weight=-weights)


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(
    "x",
    [[[1.0, 2.0], [2.0, 4.0], [3.0, 6.0], [5.0, 10.0]],  # one column twice the other
     [[1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [4.0, 0.0]],   # a zero column
     [[1.0, 5.0]]],                                      # fewer samples than parameters
)
def test_exactly_collinear_columns_raise_linalg_error(x, fit_intercept):
    with pytest.raises(np.linalg.LinAlgError, match="^Exactly collinear columns"):
        LinearRegression(fit_intercept=fit_intercept).fit(x, np.arange(len(x), dtype=float))


def test_constant_feature_beside_the_intercept_is_collinear():
    x = np.array([[1.0, 0.1], [2.0, 0.1], [3.0, 0.1], [5.0, 0.1]])
    with pytest.raises(np.linalg.LinAlgError, match="^Exactly collinear columns"):
        LinearRegression().fit(x, np.arange(4.0))
    LinearRegression(fit_intercept=False).fit(x, np.arange(4.0))


def test_pickle_clone_pipeline_and_model_selection():
    x, y = make_data(n=150, p=4, seed=2)
    model = LinearRegression().fit(x, y)
    restored = pickle.loads(pickle.dumps(model))
    assert_same_bits(restored.predict(x), model.predict(x))
    fresh = clone(model)
    assert fresh.get_params() == {"fit_intercept": True} and not hasattr(fresh, "coef_")

    frame = pd.DataFrame(x, columns=[f"f{j}" for j in range(4)])
    pipeline = make_pipeline(StandardScaler(), LinearRegression()).fit(frame, y)
    np.testing.assert_allclose(pipeline.predict(frame), model.predict(x), rtol=1e-10)

    search = GridSearchCV(LinearRegression(), {"fit_intercept": [False, True]}, cv=3).fit(x, y)
    assert search.best_params_ == {"fit_intercept": True}
    scores = cross_val_score(LinearRegression(), x, y, cv=4)
    assert scores.shape == (4,) and np.all(scores > 0.99)


def test_prediction_has_the_bits_of_the_core_model():
    # Columns with min = -max in [0.5, 1): the scaling is the identity, so the
    # core fitted on the raw data holds exactly the estimator's parameters.
    rng = np.random.default_rng(11)
    x = rng.uniform(-0.9, 0.9, size=(300, 5))
    x[0], x[1] = -0.9, 0.9
    y = np.concatenate([[-0.75, 0.75], rng.uniform(-0.7, 0.7, size=298)])
    for fit_intercept in [True, False]:
        model = LinearRegression(fit_intercept=fit_intercept).fit(x, y)
        core = bravolin_learn.LinearRegression(fit_intercept)
        core.fit(x, y.reshape(-1, 1))
        assert_same_bits(model.coef_, core.coef_)
        assert model.intercept_ == core.intercept_
        probe = rng.standard_normal((257, 5)) * 100
        assert_same_bits(model.predict(probe), core.predict(probe))


@pytest.mark.parametrize(("n", "p", "q"), [(3, 2, 1), (70, 5, 3), (130, 66, 2)])
def test_exact_predict_is_the_strassen_product_plus_b(n, p, q):
    rng = np.random.default_rng([n, p, q])
    x, w, b = rng.standard_normal((n, p)), rng.standard_normal((p, q)), rng.standard_normal(q)
    assert_same_bits(_exact.predict(x, w, b), mult(x, w) + b)
