"""The estimator's fit is a function of the multiset of weighted rows: the
same bits for any order, batching, merge, thread count, layout or sparse
format, an integer weight equal to repeated rows and a zero weight to a
removed row."""
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn")

from bravolin._moments import Moments  # noqa: E402
from bravolin.sklearn import LinearRegression, solve_moments  # noqa: E402


def data(n, p, q, seed, spread=True):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    if spread:
        # Columns of very different magnitude and offset, some values tiny.
        x = x * 10.0 ** rng.integers(-6, 7, size=p) + 10.0 ** rng.integers(-3, 4, size=p)
        x[rng.integers(0, n, size=3), 0] *= 1e-12
    y = x @ rng.standard_normal((p, q)) + rng.standard_normal((n, q))
    return x, (y[:, 0] if q == 1 else y)


def fitted(model):
    return [np.asarray(model.coef_), np.asarray(model.intercept_), np.asarray(model.rank_),
            np.asarray(model.singular_)]


def assert_same_fit(a, b):
    for got, want in zip(fitted(a), fitted(b)):
        assert got.shape == want.shape and got.tobytes() == want.tobytes()


# (300, 70): one block of rows whose products the threads share by tiles.
CASES = [(500, 4, 1, 0), (3000, 9, 2, 1), (257, 30, 1, 2), (40, 3, 3, 3), (300, 70, 1, 4)]


@pytest.mark.parametrize(("n", "p", "q", "seed"), CASES)
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_row_order_threads_and_layout_change_no_bit(n, p, q, seed, fit_intercept):
    x, y = data(n, p, q, seed)
    w = np.random.default_rng(seed).uniform(0.0, 5.0, size=n)
    want = LinearRegression(fit_intercept=fit_intercept, n_jobs=1).fit(x, y, sample_weight=w)
    perm = np.random.default_rng(seed + 100).permutation(n)
    shuffled = LinearRegression(fit_intercept=fit_intercept, n_jobs=2).fit(
        np.asfortranarray(x[perm]), y[perm], sample_weight=w[perm])
    assert_same_fit(shuffled, want)
    wide = np.zeros((n, 2 * p))
    wide[:, ::2] = x
    strided = LinearRegression(fit_intercept=fit_intercept, n_jobs=3).fit(wide[:, ::2], y, w)
    assert_same_fit(strided, want)


@pytest.mark.parametrize(("n", "p", "q", "seed"), CASES)
def test_integer_weights_are_repeated_rows_and_zero_weights_removed_rows(n, p, q, seed):
    x, y = data(n, p, q, seed, spread=False)
    w = np.random.default_rng(seed).integers(0, 4, size=n).astype(np.float64)
    weighted = LinearRegression().fit(x, y, sample_weight=w)
    repeated = LinearRegression().fit(np.repeat(x, w.astype(int), axis=0),
                                      np.repeat(y, w.astype(int), axis=0))
    for got, want in zip(fitted(weighted)[:3], fitted(repeated)[:3]):
        assert got.tobytes() == want.tobytes()
    # A removed row leaves no trace, however extreme its values.
    x_bad, y_bad = x.copy(), y.copy()
    x_bad[w == 0] = 1e200
    y_bad[w == 0] = -1e200
    assert_same_fit(LinearRegression().fit(x_bad, y_bad, sample_weight=w),
                    LinearRegression().fit(x[w > 0], y[w > 0], sample_weight=w[w > 0]))


@pytest.mark.parametrize(("n", "p", "q", "seed"), CASES)
def test_batches_and_merged_moments_give_the_one_shot_fit(n, p, q, seed):
    x, y = data(n, p, q, seed)
    # Batches whose column magnitudes differ, so they are accumulated on
    # different grids and brought to a common one when merged.
    x[: n // 3] *= 1e-9
    rng = np.random.default_rng(seed)
    w = rng.uniform(0.0, 2.0, size=n)
    cuts = np.sort(rng.choice(np.arange(1, n), size=min(5, n - 1), replace=False))
    batches = np.split(np.arange(n), cuts)
    if len(batches) > 2:
        w[batches[1]] = 0.0  # a batch of removed rows only
    want = LinearRegression().fit(x, y, sample_weight=w)
    model = LinearRegression()
    for rows in batches:
        model.partial_fit(x[rows], y[rows], sample_weight=w[rows])
    assert_same_fit(model, want)
    # Moments of the batches, pickled as another process would send them,
    # merged in a shuffled order.
    y2 = y.reshape(n, -1)
    parts = [pickle.loads(pickle.dumps(Moments.of(x[rows], y2[rows], w[rows])))
             for rows in batches]
    rng.shuffle(parts)
    while len(parts) > 1:
        parts = [parts[i].merge(parts[i + 1]) if i + 1 < len(parts) else parts[i]
                 for i in range(0, len(parts), 2)]
    solution = solve_moments(parts[0], True, want.tol, False)
    assert solution.coef.reshape(np.shape(want.coef_)).tobytes() == np.asarray(want.coef_).tobytes()


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
def test_sparse_input_has_the_bits_of_the_dense_matrix(fmt):
    sparse = pytest.importorskip("scipy.sparse")
    rng = np.random.default_rng(9)
    dense = sparse.random(5000, 12, density=0.1, random_state=4, format="csr").toarray()
    dense[:, 3] = 0.0
    y = dense @ rng.standard_normal(12) + rng.standard_normal(5000)
    w = rng.uniform(0.5, 2.0, size=5000)
    want = LinearRegression().fit(dense, y, sample_weight=w)
    model = LinearRegression().fit(sparse.csr_matrix(dense).asformat(fmt), y, sample_weight=w)
    assert_same_fit(model, want)
    np.testing.assert_allclose(model.predict(sparse.csr_matrix(dense).asformat(fmt)),
                               want.predict(dense), rtol=1e-13, atol=1e-13)
