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

from bravolin.sklearn import LinearRegression  # noqa: E402
from test_fit_bits import assert_same_bits  # noqa: E402


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
        assert model.coef_.shape == (4,) and type(model.intercept_) is (np.float64 if fit_intercept else float)
        assert model.predict(x).shape == (200,)
    else:
        assert model.coef_.shape == (q, 4) and np.shape(model.intercept_) == ((q,) if fit_intercept else ())
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


def min_norm(x, y, fit_intercept=True):
    """scikit-learn's answer for any rank: the minimum-norm least-squares
    coefficients of the centred problem."""
    xm = x.mean(axis=0) if fit_intercept else np.zeros(x.shape[1])
    ym = y.mean(axis=0) if fit_intercept else 0.0 * y.mean(axis=0)
    coef = np.linalg.lstsq(x - xm, y - ym, rcond=None)[0]
    return coef.T, ym - xm @ coef


def dummy_trap(n=1000, seed=0):
    rng = np.random.default_rng(seed)
    category = rng.integers(0, 4, n)
    numeric = rng.standard_normal(n)
    x = np.column_stack([np.eye(4)[category], numeric])
    y = np.array([1.0, 2.0, 3.0, 4.0])[category] + 2 * numeric + 3 + 0.1 * rng.standard_normal(n)
    return x, y


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(
    "make",
    [dummy_trap,
     lambda: (np.array([[1.0, 2.0], [2.0, 4.0], [3.0, 6.0], [5.0, 10.0]]), np.arange(4.0)),
     lambda: (np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [4.0, 0.0]]), np.arange(4.0)),
     lambda: (np.array([[1.0, 0.1], [2.0, 0.1], [3.0, 0.1], [5.0, 0.1]]), np.arange(4.0) ** 2),
     lambda: (np.random.default_rng(3).standard_normal((5, 12)), np.arange(5.0)),
     lambda: (np.array([[1.0, 5.0]]), np.array([2.0]))],
    ids=["dummy-trap", "multiple", "zero-column", "constant", "underdetermined", "one-row"],
)
def test_rank_deficient_designs_get_the_minimum_norm_solution(make, fit_intercept):
    x, y = make()
    model = LinearRegression(fit_intercept=fit_intercept).fit(x, y)
    coef, intercept = min_norm(x, y, fit_intercept)
    scale = max(1.0, np.abs(coef).max())
    np.testing.assert_allclose(model.coef_, coef, rtol=1e-9, atol=1e-9 * scale)
    np.testing.assert_allclose(model.intercept_, intercept, rtol=1e-9, atol=1e-9 * scale)
    assert model.rank_ == np.linalg.matrix_rank(x - x.mean(axis=0) if fit_intercept else x)
    np.testing.assert_allclose(model.predict(x), x @ coef + intercept, rtol=1e-9, atol=1e-9 * scale)


def test_singular_values_are_those_of_the_centred_design():
    x, y = make_data(n=50, p=4, seed=5)
    model = LinearRegression().fit(x, y)
    np.testing.assert_allclose(model.singular_, np.linalg.svd(x - x.mean(axis=0), compute_uv=False),
                               rtol=1e-12)
    wide = LinearRegression(fit_intercept=False).fit(x[:3], y[:3])
    assert wide.singular_.shape == (3,) and wide.rank_ == 3


def test_positive_matches_scipy_nnls():
    optimize = pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(8)
    x = rng.standard_normal((80, 6))
    y = x @ np.array([1.5, -2.0, 0.5, -0.1, 3.0, 0.0]) + 0.1 * rng.standard_normal(80)
    model = LinearRegression(positive=True).fit(x, y)
    xc, yc = x - x.mean(axis=0), y - y.mean()
    want = optimize.nnls(xc, yc)[0]
    np.testing.assert_allclose(model.coef_, want, rtol=1e-9, atol=1e-12)
    assert model.intercept_ == pytest.approx(y.mean() - x.mean(axis=0) @ want, rel=1e-12)


def test_pickle_clone_pipeline_and_model_selection():
    x, y = make_data(n=150, p=4, seed=2)
    model = LinearRegression().fit(x, y)
    restored = pickle.loads(pickle.dumps(model))
    assert_same_bits(restored.predict(x), model.predict(x))
    fresh = clone(model)
    assert fresh.get_params() == LinearRegression().get_params() and not hasattr(fresh, "coef_")

    frame = pd.DataFrame(x, columns=[f"f{j}" for j in range(4)])
    pipeline = make_pipeline(StandardScaler(), LinearRegression()).fit(frame, y)
    np.testing.assert_allclose(pipeline.predict(frame), model.predict(x), rtol=1e-10)

    search = GridSearchCV(LinearRegression(), {"fit_intercept": [False, True]}, cv=3).fit(x, y)
    assert search.best_params_ == {"fit_intercept": True}
    scores = cross_val_score(LinearRegression(), x, y, cv=4)
    assert scores.shape == (4,) and np.all(scores > 0.99)


def test_a_rows_prediction_does_not_depend_on_the_rows_beside_it():
    x, y = make_data(n=300, p=7, q=2, seed=4)
    model = LinearRegression().fit(x, y)
    whole = model.predict(x)
    for part in [x[:1], x[5:6], x[17:200], x[::-1]]:
        got = model.predict(np.asfortranarray(part))
        rows = [np.flatnonzero((x == row).all(axis=1))[0] for row in part]
        assert_same_bits(got, whole[rows])
    # A fixed order per row: four lanes of every fourth product, each summed
    # in order, then (lane 0 + lane 1) + (lane 2 + lane 3).
    lanes = np.zeros((4, 300, 2))
    for j in range(7):
        lanes[j % 4] = lanes[j % 4] + x[:, j:j + 1] * model.coef_[:, j]
    want = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3])
    assert_same_bits(whole, want + model.intercept_)


@pytest.mark.parametrize("tiny", [1e-20, 1e-30])
def test_a_tiny_column_does_not_disturb_a_dependency_elsewhere(tiny):
    # The minimum norm is in original units, where a tiny column's
    # coefficient is huge: the dependency's rounding must not reach it.
    rng = np.random.default_rng(1)
    z, w, y = rng.normal(size=(3, 50))
    x = np.c_[np.full(50, -3.0), np.full(50, -9.0), z, w * tiny]
    model = LinearRegression(fit_intercept=False).fit(x, y)
    reduced = LinearRegression(fit_intercept=False).fit(x[:, [0, 2, 3]], y)
    assert model.rank_ == 3
    # The constant pair's least-norm split is proportional to the columns.
    np.testing.assert_allclose(model.coef_[1], 3.0 * model.coef_[0], rtol=1e-12)
    np.testing.assert_allclose(model.predict(x), reduced.predict(x[:, [0, 2, 3]]), rtol=0, atol=1e-12)


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_magnitudes_the_moments_cannot_hold_are_refused(fit_intercept):
    x = np.array([[1.0], [2.0], [3.0], [4.0]])
    y = np.array([1.0, 3.0, 2.0, 5.0])
    for e in (-480, 480):
        model = LinearRegression(fit_intercept=fit_intercept).fit(x * 2.0**e, y)
        assert model.coef_[0] * 2.0**e == pytest.approx(1.1, rel=1e-15)  # both ways, on these rows
    for e in (-540, 520):
        with pytest.raises(ValueError, match="too large or too small"):
            LinearRegression(fit_intercept=fit_intercept).fit(x * 2.0**e, y)


@pytest.mark.parametrize("method", ["fit", "partial_fit"])
def test_a_failed_fit_leaves_the_model_as_it_was(method):
    x, y = make_data(n=40, p=4, seed=3)
    model = getattr(LinearRegression(), method)(x, y)
    before = dict(vars(model))
    bad = x[:, :2].copy()
    bad[0, 0] = 1e200
    with pytest.raises(ValueError, match="too large or too small" if method == "fit" else "features"):
        getattr(model, method)(bad, y)
    assert vars(model).keys() == before.keys() and all(vars(model)[k] is v for k, v in before.items())
    assert_same_bits(model.predict(x), LinearRegression().fit(x, y).predict(x))


def test_attributes_set_by_hand_broadcast_or_raise_value_error():
    x, y = make_data(n=40, p=3, q=2, seed=4)
    model, twin = LinearRegression().fit(x, y), LinearRegression().fit(x, y)
    model.intercept_ = model.intercept_[:1]  # one for every target, as scikit-learn broadcasts
    twin.intercept_ = np.repeat(model.intercept_, 2)
    assert_same_bits(model.predict(x), twin.predict(x))
    model.coef_ = model.coef_[:, :2]
    with pytest.raises(ValueError, match="do not fit X with 3 features"):
        model.predict(x)


def test_sparse_predict_leaves_the_callers_matrix_alone():
    sparse = pytest.importorskip("scipy.sparse")
    x, y = make_data(n=40, p=3, seed=5)
    model = LinearRegression().fit(x, y)
    m = sparse.csr_matrix((np.array([1.0, 2.0, 3.0]), np.array([2, 0, 1]), np.array([0, 3])), shape=(1, 3))
    for a in (m.data, m.indices, m.indptr):
        a.flags.writeable = False
    assert_same_bits(model.predict(m), model.predict(sparse.csr_matrix(m.toarray())))
    assert m.indices.tolist() == [2, 0, 1] and m.data.tolist() == [1.0, 2.0, 3.0]


def test_inference_checks_the_data_is_the_models():
    x, y = make_data(n=40, p=4, seed=2)
    model = LinearRegression().fit(x, y)
    with pytest.raises(ValueError, match="features"):
        model.inference(x[:, :2], y)


@pytest.mark.parametrize("module, extra", [("bravolin.sklearn", "sklearn"), ("bravolin.dask", "dask")])
def test_a_missing_extra_says_what_to_install(module, extra):
    import subprocess
    import sys

    hide = "import sys; sys.modules['sklearn'] = sys.modules['dask'] = None; "
    done = subprocess.run([sys.executable, "-c", hide + f"import {module}"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and f"bravolin_learn[{extra}]" in done.stderr
