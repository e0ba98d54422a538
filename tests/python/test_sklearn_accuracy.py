"""Accuracy of bravolin.sklearn.LinearRegression against numpy lstsq on badly
scaled, offset and well-conditioned data: error sizes, not timings."""
import numpy as np
import pytest

pytest.importorskip("sklearn")

import bravolin_learn  # noqa: E402
from bravolin.sklearn import LinearRegression  # noqa: E402

EPS = np.finfo(np.float64).eps


def design(x):
    return np.hstack([np.ones((x.shape[0], 1)), x])


def reference_solution(x, y):
    """lstsq refined twice with extended-precision residuals: accurate to
    about the last bit, so that lstsq's own error shows against it."""
    d = design(x)
    solution = np.linalg.lstsq(d, y, rcond=None)[0]
    for _ in range(2):
        residual = y.astype(np.longdouble) - d.astype(np.longdouble) @ solution.astype(np.longdouble)
        solution = solution + np.linalg.lstsq(d, residual.astype(np.float64), rcond=None)[0]
    return solution[1:]


def coefficient_error(coef, reference):
    return np.max(np.abs(coef - reference) / np.abs(reference))


def random_problem(n, p, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    beta = rng.uniform(1.0, 2.0, size=p) * rng.choice([-1.0, 1.0], size=p)
    return x, x @ beta + 3.0 + 0.1 * rng.standard_normal(n)


def scaled_column(seed):
    x, y = random_problem(5000, 64, seed)
    x[:, 0] *= 1e6
    return x, y


CASES = {
    "one column x 10^6": lambda: scaled_column(0),
    "one column x 10^6, other data": lambda: scaled_column(1),
    "p=1": lambda: random_problem(500, 1, 2),
    "p=10": lambda: random_problem(2000, 10, 3),
    "p=64": lambda: random_problem(2000, 64, 4),
    "p=200": lambda: random_problem(2000, 200, 5),
}


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_coefficients_within_100_times_lstsq_error(make):
    x, y = make()
    reference = reference_solution(x, y)
    ours = coefficient_error(LinearRegression().fit(x, y).coef_, reference)
    theirs = coefficient_error(np.linalg.lstsq(design(x), y, rcond=None)[0][1:], reference)
    assert ours <= 100 * max(theirs, EPS), (ours, theirs)


def test_one_large_column_defeats_the_unscaled_core():
    # Guards the case above against being too easy to matter.
    x, y = scaled_column(0)
    core = bravolin_learn.LinearRegression(True)
    core.fit(x, y.reshape(-1, 1))
    assert coefficient_error(core.coef_, reference_solution(x, y)) > 1e-8


def test_timestamp_feature_recovers_slope_and_intercept():
    x = (1.7e9 + np.arange(1000.0)).reshape(-1, 1)
    y = 2.0 * x[:, 0] + 3.0
    model = LinearRegression().fit(x, y)
    assert abs(model.coef_[0] - 2.0) <= 2.0 * 1e-12
    assert abs(model.intercept_ - 3.0) <= 1e-5
    # The core on the raw data loses the intercept (its bits are the same everywhere).
    core = bravolin_learn.LinearRegression(True)
    core.fit(x, y.reshape(-1, 1))
    assert abs(core.intercept_ - 3.0) > 1.0
