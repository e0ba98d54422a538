"""The estimator's fit reads X and y where they lie: its column bounds are
NumPy's, and its parameters and predictions have the bits of a fit on scaled
copies made by NumPy's own elementwise arithmetic."""
import numpy as np
import pytest

pytest.importorskip("sklearn")

import bravolin_learn  # noqa: E402
from bravolin import _exact, _scaling  # noqa: E402
from bravolin.sklearn import LinearRegression  # noqa: E402
from test_fit_bits import assert_same_bits  # noqa: E402


def unaligned(a):
    """A copy of a whose elements all lie off their 8-byte alignment."""
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


LAYOUTS = {
    "c": lambda a: a,
    "fortran": np.asfortranarray,
    "reversed rows": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "reversed columns": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "every other row and column": lambda a: np.repeat(np.repeat(a, 2, axis=0), 2, axis=1)[::2, ::2],
    "unaligned": unaligned,
    "big-endian": lambda a: a.astype(">f8"),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize(("n", "p"), [(1, 1), (1, 9), (7, 3), (300, 17), (1000, 8), (2049, 40)])
def test_column_bounds_are_numpys_min_and_max(layout, n, p):
    rng = np.random.default_rng([n, p])
    base = rng.standard_normal((n, p)) * 10.0 ** rng.integers(-300, 300, size=p)
    # Extremes placed anywhere, a column of one repeated value, signed zeros.
    base[rng.integers(0, n), 0] = -np.finfo(np.float64).max
    base[rng.integers(0, n), p - 1] = np.finfo(np.float64).tiny / 8
    if p > 2:
        base[:, 1] = 3.5
        base[:, 2] = np.where(rng.random(n) < 0.5, 0.0, -0.0)
    a = LAYOUTS[layout](base)
    lo, hi = _exact.column_bounds(a)
    assert lo.dtype == hi.dtype == np.float64 and lo.shape == hi.shape == (p,)
    # Compared as values: only the sign of a zero bound may differ.
    np.testing.assert_array_equal(lo, np.min(base, axis=0))
    np.testing.assert_array_equal(hi, np.max(base, axis=0))


@pytest.mark.parametrize("layout", ["c", "fortran", "reversed columns"])
@pytest.mark.parametrize("n", [1, 2, 257, 3000])
def test_column_bounds_propagate_nan_and_keep_infinities_as_numpy_does(layout, n):
    rng = np.random.default_rng(n)
    base = rng.standard_normal((n, 19))
    rows = rng.integers(0, n, size=4)
    base[rows[0], 2] = np.nan  # in the first group of columns
    base[rows[1], 11] = np.inf  # in the second
    base[rows[2], 17] = -np.inf  # beyond the groups
    base[rows[3], 18] = np.nan
    base[rows[3], 18 - 9] = np.inf
    base[rows[2], 9] = np.nan  # beside an infinity: NaN wins, as in NumPy
    lo, hi = _exact.column_bounds(LAYOUTS[layout](base))
    np.testing.assert_array_equal(lo, np.min(base, axis=0))
    np.testing.assert_array_equal(hi, np.max(base, axis=0))


def fit_on_scaled_copies(x, y, fit_intercept):
    """The estimator's parameters by the way it fitted before it read in place:
    np.min/np.max bounds, scaled copies from NumPy's elementwise arithmetic,
    then the core model."""
    y2 = y.reshape(-1, 1) if y.ndim == 1 else y
    x_scaling = _scaling.scaling_from_bounds(x.min(axis=0), x.max(axis=0), center=fit_intercept)
    y_scaling = _scaling.scaling_from_bounds(y2.min(axis=0), y2.max(axis=0), center=fit_intercept)
    x_scaled = (x - x_scaling.shift) * np.ldexp(1.0, -x_scaling.exponent)
    y_scaled = (y2 - y_scaling.shift) * np.ldexp(1.0, -y_scaling.exponent)
    core = bravolin_learn.LinearRegression(fit_intercept)
    core.fit(x_scaled, y_scaled)
    stored = np.concatenate(([core.intercept_], core.coef_)) if fit_intercept else core.coef_
    params = stored.reshape(-1, y2.shape[1])
    coef, intercept = _scaling.unscale(params, x_scaling, y_scaling, fit_intercept)
    return (coef[0], float(intercept[0])) if y.ndim == 1 else (coef, intercept)


def timestamps(rng, n, p, q):
    """Seconds since 1970 beside small features: offsets that dwarf the spread."""
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.7e9 + np.sort(rng.uniform(0, 86400 * 30, size=n))
    y = 1e-6 * (x[:, :1] - 1.7e9) + x[:, 1:2] * 3.0 + rng.standard_normal((n, q)) + 5e8
    return x, y


def wide(rng, n, p, q):
    x = rng.standard_normal((n, p)) * rng.uniform(0.01, 1e4, size=p) + rng.uniform(-1e6, 1e6, size=p)
    return x, rng.standard_normal((n, q)) * 1e3 + 7.0


CASES = [
    # (name, make, n, p, q)
    ("timestamps", timestamps, 5000, 4, 1),
    ("timestamps, three targets", timestamps, 3001, 6, 3),
    ("offsets, k around 64", wide, 4000, 63, 1),
    ("offsets, k beyond 64", wide, 2500, 70, 2),
    ("tall, two workers", wide, 60000, 16, 1),
]


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize("layout", ["c", "fortran", "reversed rows"])
@pytest.mark.parametrize(("name", "make", "n", "p", "q"), CASES, ids=[c[0] for c in CASES])
def test_fit_has_the_bits_of_a_fit_on_scaled_copies(name, make, n, p, q, layout, fit_intercept):
    rng = np.random.default_rng([n, p, q])
    x, y = make(rng, n, p, q)
    if q == 1:
        y = y[:, 0]
    x = LAYOUTS[layout](x)
    model = LinearRegression(fit_intercept=fit_intercept).fit(x, y)
    coef, intercept = fit_on_scaled_copies(np.ascontiguousarray(x), y, fit_intercept)
    assert_same_bits(model.coef_, coef)
    assert_same_bits(np.asarray(model.intercept_), np.asarray(intercept))
    probe = np.ascontiguousarray(x[: n // 3])
    want = _exact.predict(probe, np.ascontiguousarray(np.atleast_2d(coef).T),
                          np.atleast_1d(intercept))
    assert_same_bits(model.predict(probe), want[:, 0] if q == 1 else want)


def test_fit_beyond_the_multiplied_scales_has_the_same_bits():
    # A column near 1e305 needs a scale of 2**-1014, past what a product by
    # a normal power of two can give: the estimator takes the scaled copy.
    rng = np.random.default_rng(3)
    x = rng.standard_normal((500, 3))
    x[:, 2] = x[:, 2] * 1e305
    y = x[:, 0] * 2.0 + rng.standard_normal(500)
    model = LinearRegression().fit(x, y)
    coef, intercept = fit_on_scaled_copies(x, y, True)
    assert_same_bits(model.coef_, coef)
    assert model.intercept_ == intercept


def test_x_and_y_both_not_finite_name_x_first_as_scikit_learn_does():
    # X's values are checked by the bounds' pass rather than in scikit-learn's
    # validation, which still checks y's: X's fault must still be the one told.
    x, y = np.ones((10, 2)), np.ones(10)
    x[4, 1], y[2] = np.inf, np.nan
    with pytest.raises(ValueError, match="Input X contains infinity"):
        LinearRegression().fit(x, y)


def test_data_assumed_finite_fits_as_on_scaled_copies_even_with_a_nan():
    sklearn = pytest.importorskip("sklearn")
    rng = np.random.default_rng(8)
    x, y = rng.standard_normal((300, 3)) + 50.0, rng.standard_normal(300)
    x[17, 1] = np.nan

    def outcome(fit):
        try:
            return fit()
        except (np.linalg.LinAlgError, RuntimeError):
            return "singular"

    with sklearn.config_context(assume_finite=True):
        model = LinearRegression()
        got = outcome(lambda: (model.fit(x, y).coef_, model.intercept_))
    want = outcome(lambda: fit_on_scaled_copies(x, y, True))
    if isinstance(want, str):
        assert got == want
    else:
        assert_same_bits(got[0], want[0])
        assert_same_bits(np.asarray(got[1]), np.asarray(want[1]))


@pytest.mark.parametrize("scale", [3.0, 0.0, -0.5, np.inf, np.nan, 2.0**-1060])
def test_exact_fit_refuses_a_scale_that_is_not_a_normal_power_of_two(scale):
    x, y = np.ones((4, 2)), np.ones((4, 1))
    with pytest.raises(ValueError, match=r"^x's scale 1 is not a normal power of two$"):
        _exact.fit(x, y, np.zeros(2), np.array([1.0, scale]), np.zeros(1), np.ones(1), True)


def test_exact_fit_reports_a_singular_system_as_none():
    x = np.repeat(np.arange(6.0)[:, None], 2, axis=1)
    assert _exact.fit(x, x[:, :1], np.zeros(2), np.ones(2), np.zeros(1), np.ones(1), True) is None
