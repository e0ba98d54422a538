"""Fitting and prediction agree bit for bit with a reference written here.

The reference redoes the model's arithmetic in NumPy, one IEEE operation at a
time, from the rules the module follows:

- every product is Strassen's: pad both operands with +0.0 to the smallest
  even square that holds them, split while the side is above 64, and hand
  smaller blocks to the schoolbook product, whose every element is a sum from
  +0.0 taken left to right;
- G⁻¹ is the reference LAPACK's dgetrf then dgetri (Debian's Netlib build,
  with the minimal workspace of k) applied to G's row-major buffer as it is,
  which LAPACK reads as Gᵀ;
- B = G⁻¹·(DᵀY), and a prediction is (X·w)[i] + b.

Only the output elements are vectorised; no element's sum is reordered, so
the reference gives the same bits as any correct implementation.
"""

import itertools

import numpy as np
import pytest
import bravolin_learn
from support import reference_inverse

NAIVE_THRESHOLD = 64
INVERSION_FAILED = r"^Matrix inversion failed\.$"
NOT_FITTED = r"^Model has not been fitted yet\.$"


# --- reference arithmetic ---------------------------------------------------


def naive_mult(a, b):
    # Column t of a times row t of b adds term t to every element at once;
    # the terms arrive in ascending t, after a start from +0.0.
    s = np.zeros((a.shape[0], b.shape[1]))
    for t in range(a.shape[1]):
        s = s + a[:, t : t + 1] * b[t : t + 1, :]
    return s


def pad(m, d):
    out = np.zeros((d, d))
    out[: m.shape[0], : m.shape[1]] = m
    return out


def mult(a, b):
    assert a.shape[1] == b.shape[0]
    d = max(a.shape[0], a.shape[1], b.shape[1])
    d += d % 2
    if a.shape == (d, d) and b.shape == (d, d):
        return strassen_square(a, b)
    return strassen_square(pad(a, d), pad(b, d))[: a.shape[0], : b.shape[1]]


def strassen_square(a, b):
    n = a.shape[0]
    if n <= NAIVE_THRESHOLD:
        return naive_mult(a, b)
    h = n // 2
    a11, a12, a21, a22 = a[:h, :h], a[:h, h:], a[h:, :h], a[h:, h:]
    b11, b12, b21, b22 = b[:h, :h], b[:h, h:], b[h:, :h], b[h:, h:]
    m1 = mult(a11 + a22, b11 + b22)
    m2 = mult(a21 + a22, b11)
    m3 = mult(a11, b12 - b22)
    m4 = mult(a22, b21 - b11)
    m5 = mult(a11 + a12, b22)
    m6 = mult(a21 - a11, b11 + b12)
    m7 = mult(a12 - a22, b21 + b22)
    c11 = ((m7 - m5) + m4) + m1
    c12 = m5 + m3
    c21 = m4 + m2
    c22 = ((m1 - m2) + m3) + m6
    return np.block([[c11, c12], [c21, c22]])


def reference_fit(x, y, fit_intercept):
    """(b, coefficients) as the model stores them, or None if G is singular."""
    d = np.hstack([np.ones((x.shape[0], 1)), x]) if fit_intercept else x
    dt = np.ascontiguousarray(d.T)
    g_inv = reference_inverse(mult(dt, d))
    if g_inv is None:
        return None
    params = mult(g_inv, mult(dt, y)).ravel()
    if fit_intercept:
        return params[0], params[1:].copy()
    return 0.0, params


def reference_predict(fitted, x):
    b, coefficients = fitted
    return mult(x, coefficients.reshape(-1, 1))[:, 0] + b


def assert_same_bits(actual, expected):
    assert actual.dtype == np.float64 and actual.shape == expected.shape
    actual_bits = actual.view(np.uint64)
    expected_bits = expected.view(np.uint64)
    if not np.array_equal(actual_bits, expected_bits):
        bad = np.flatnonzero(actual_bits != expected_bits)
        pytest.fail(
            f"{bad.size} of {actual.size} values differ in their bits, first at "
            f"{bad[0]}: {actual[bad[0]]!r} != {expected[bad[0]]!r}"
        )


def probe_rows(rng, n_coefficients, n_rows):
    """A zero row (gives b), the unit rows (give each coefficient plus b) and
    fresh observations, so that predictions expose every stored parameter."""
    return np.vstack(
        [
            np.zeros((1, n_coefficients)),
            np.eye(n_coefficients),
            rng.standard_normal((n_rows, n_coefficients)),
        ]
    )


def make_data(n, p, q, seed):
    rng = np.random.default_rng(seed)
    # Columns on different scales, so that G is not close to a multiple of I
    # and the rounding of every sum matters.
    x = rng.standard_normal((n, p)) * rng.uniform(0.1, 10.0, size=p)
    beta = rng.uniform(-3.0, 3.0, size=(p, q))
    y = x @ beta + 1.5 + 0.1 * rng.standard_normal((n, q))
    return rng, x, np.ascontiguousarray(y)


# --- cases -------------------------------------------------------------------

# Sides through the thresholds of the recursion: 64 is the last schoolbook
# side, 65 and 66 split once (65 after padding), 129 and 130 split into an odd
# half that is padded again below, 257 and 300 split three times.
N_VALUES = [1, 2, 3, 5, 8, 13, 31, 63, 64, 65, 66, 100, 127, 128, 129, 130, 131, 200, 257, 300]
P_VALUES = [1, 2, 3, 5, 10]


@pytest.mark.parametrize(
    ("n", "p", "fit_intercept", "q"),
    list(itertools.product(N_VALUES, P_VALUES, [True, False], [1, 3])),
)
def test_fit_then_predict_matches_reference_bits(n, p, fit_intercept, q):
    rng, x, y = make_data(n, p, q, seed=[n, p, q, int(fit_intercept)])
    expected = reference_fit(x, y, fit_intercept)

    model = bravolin_learn.LinearRegression(fit_intercept)
    if expected is None:
        with pytest.raises(RuntimeError, match=INVERSION_FAILED):
            model.fit(x, y)
        with pytest.raises(RuntimeError, match=NOT_FITTED):
            model.predict(x)
        return

    assert model.fit(x, y) is None
    n_coefficients = expected[1].size
    assert n_coefficients == ((p + 1) * q - 1 if fit_intercept else p * q)

    probe = probe_rows(rng, n_coefficients, n)
    assert_same_bits(model.predict(probe), reference_predict(expected, probe))
    if q == 1:
        assert_same_bits(model.predict(x), reference_predict(expected, x))


@pytest.mark.parametrize("rows", [1, 20, 49, 51])
def test_predicting_few_rows_of_many_features_matches_reference_bits(rows):
    # Below half as many rows as features, the product's top level sums two
    # halves of x's columns; predictions on such a batch were once wrong.
    rng, x, y = make_data(150, 100, 1, seed=[rows])
    expected = reference_fit(x, y, True)
    model = bravolin_learn.LinearRegression(True)
    model.fit(x, y)
    probe = rng.standard_normal((rows, 100))
    assert_same_bits(model.predict(probe), reference_predict(expected, probe))


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(("n", "p"), [(66, 40), (66, 60), (100, 70), (130, 100)])
def test_many_features_match_reference_bits(n, p, fit_intercept):
    # With more than n/2 parameters and n above 64, Strassen's sums leave G
    # not exactly symmetric, so the layout in which G reaches LAPACK shows in
    # the bits; with k above 64 so does dgetri's workspace (blocked or not).
    rng, x, y = make_data(n, p, 1, seed=[n, p, int(fit_intercept)])
    expected = reference_fit(x, y, fit_intercept)
    assert expected is not None
    model = bravolin_learn.LinearRegression(fit_intercept)
    model.fit(x, y)
    probe = probe_rows(rng, p, n)
    assert_same_bits(model.predict(probe), reference_predict(expected, probe))
    assert_same_bits(model.predict(x), reference_predict(expected, x))


# Collinear without rounding: LU meets an exactly zero pivot.
SINGULAR = {
    "single observation with intercept": (np.array([[2.0]]), True),
    "duplicated feature": (np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]]), True),
    "duplicated feature without intercept": (
        np.array([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]]),
        False,
    ),
    "feature of zeros": (np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]), False),
    "feature of zeros with intercept": (
        np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 3.0]]),
        True,
    ),
    "constant feature beside intercept": (
        np.array([[1.0, 4.0], [2.0, 4.0], [3.0, 4.0], [5.0, 4.0]]),
        True,
    ),
}


@pytest.mark.parametrize(("x", "fit_intercept"), SINGULAR.values(), ids=SINGULAR.keys())
def test_collinear_data_fails_and_keeps_the_earlier_fit(x, fit_intercept):
    y = np.arange(1.0, x.shape[0] + 1.0).reshape(-1, 1)
    assert reference_fit(x, y, fit_intercept) is None

    model = bravolin_learn.LinearRegression(fit_intercept)
    with pytest.raises(RuntimeError, match=INVERSION_FAILED):
        model.fit(x, y)
    with pytest.raises(RuntimeError, match=NOT_FITTED):
        model.predict(x)

    rng, good_x, good_y = make_data(20, x.shape[1], 1, seed=7)
    earlier = reference_fit(good_x, good_y, fit_intercept)
    model.fit(good_x, good_y)
    with pytest.raises(RuntimeError, match=INVERSION_FAILED):
        model.fit(x, y)
    probe = probe_rows(rng, x.shape[1], 5)
    assert_same_bits(model.predict(probe), reference_predict(earlier, probe))


@pytest.mark.parametrize("fit_intercept", [True, False])
def test_refit_keeps_only_the_second_fit(fit_intercept):
    _, x1, y1 = make_data(80, 4, 1, seed=1)
    rng, x2, y2 = make_data(70, 2, 1, seed=2)
    model = bravolin_learn.LinearRegression(fit_intercept)
    model.fit(x1, y1)
    model.fit(x2, y2)
    probe = probe_rows(rng, 2, 70)
    expected = reference_predict(reference_fit(x2, y2, fit_intercept), probe)
    assert_same_bits(model.predict(probe), expected)


def test_reference_recovers_exact_line():
    # The reference itself, on data a correct least-squares fit gets exactly
    # (up to rounding): intercept 1, slope 2.
    b, coefficients = reference_fit(
        np.array([[1.0], [2.0], [3.0]]), np.array([[3.0], [5.0], [7.0]]), True
    )
    assert b == pytest.approx(1.0) and coefficients == pytest.approx([2.0])


def test_reference_product_is_strassen_not_schoolbook():
    # Guards the reference against silently degrading to a plain product:
    # above a side of 64 Strassen's sums round differently.
    rng = np.random.default_rng(3)
    a = rng.standard_normal((130, 130))
    b = rng.standard_normal((130, 130))
    assert np.array_equal(mult(a[:64, :64], b[:64, :64]), naive_mult(a[:64, :64], b[:64, :64]))
    assert not np.array_equal(mult(a, b), naive_mult(a, b))
    np.testing.assert_allclose(mult(a, b), a @ b, rtol=1e-10, atol=1e-10)
