"""bravolin.ols against statsmodels' OLS/WLS and SciPy's distributions.

The problems are well conditioned (statsmodels' own condition number is
checked), so statsmodels' pinv-based figures are accurate to a few units in
the last place and a 1e-10 relative disagreement is a bug on one side.
Differences of nearly equal numbers (interval bounds, residuals, off-diagonal
covariances) are compared relative to their operands, since neither
program can do better than that.
"""

from __future__ import annotations

import contextlib
import functools
import math
import warnings

import numpy as np
import pytest

import bravolin

sm = pytest.importorskip("statsmodels.api")
stats = pytest.importorskip("scipy.stats")

COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3")
RTOL = 1e-10
P_RTOL = 1e-12
# Below the smallest normal double a p-value has fewer than 53 bits, so a
# relative comparison would only measure the subnormal spacing.
P_ATOL = np.finfo(np.float64).tiny
# statsmodels is only a reference where its pinv solution is accurate.
MAX_REFERENCE_CONDITION = 100.0

# (n, p, fit_intercept, weighted, covariance types): every covariance on the
# cheap problems; the 200-column one, whose robust covariance alone takes
# seconds, with one classical and one robust covariance.
GRID = [
    (10, 1, True, False, COV_TYPES),
    (10, 3, False, True, COV_TYPES),
    (60, 8, True, True, COV_TYPES),
    (500, 30, False, False, COV_TYPES),
    (500, 30, True, True, COV_TYPES),
    (100_000, 4, True, True, COV_TYPES),
    (100_000, 2, False, False, COV_TYPES),
    (1_500, 200, True, False, ("nonrobust", "HC3")),
]
CASES = [
    pytest.param(n, p, const, weighted, cov,
                 id=f"n{n}-p{p}-{'const' if const else 'noconst'}-{'wls' if weighted else 'ols'}-{cov}")
    for n, p, const, weighted, covs in GRID
    for cov in covs
]


def single_threaded_blas():
    # On a busy machine a multithreaded BLAS under statsmodels spins for
    # seconds; one thread changes no figure that matters here.
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(1)


@functools.lru_cache(maxsize=None)
def problem(n, p, fit_intercept, weighted, seed=0):
    """X, y, w (or None): half the slopes strong, half near the detection
    limit (t of 2-4), so the p-values range from the tail to the middle;
    heteroscedastic noise, so the robust covariances differ from the
    classical one."""
    rng = np.random.default_rng([n, p, int(fit_intercept), int(weighted), seed])
    x = rng.standard_normal((n, p)) + rng.uniform(-1.0, 1.0, p)
    strong = rng.uniform(0.5, 1.5, p)
    weak = rng.uniform(2.0, 4.0, p) / math.sqrt(n)
    slopes = np.where(np.arange(p) % 2 == 0, strong, weak) * rng.choice([-1.0, 1.0], p)
    noise = (0.5 + np.abs(x[:, 0])) * rng.standard_normal(n)
    y = (1.5 if fit_intercept else 0.0) + x @ slopes + noise
    w = None
    if weighted:
        # On the large problems, weights of a few distinct values (frequency
        # weights): the likelihood takes one scalar log per distinct weight,
        # which a hundred thousand of them would make the slowest step here.
        w = rng.uniform(0.5, 2.0, n) if n <= 10_000 else rng.integers(1, 9, n) / 4.0
    for a in (x, y, w):
        if a is not None:
            a.setflags(write=False)
    return x, y, w


@functools.lru_cache(maxsize=None)
def ours(n, p, fit_intercept, weighted, cov_type):
    x, y, w = problem(n, p, fit_intercept, weighted)
    return bravolin.ols(x, y, fit_intercept=fit_intercept, sample_weight=w, cov_type=cov_type)


@functools.lru_cache(maxsize=None)
def reference(n, p, fit_intercept, weighted, cov_type):
    x, y, w = problem(n, p, fit_intercept, weighted)
    exog = sm.add_constant(x, has_constant="add") if fit_intercept else x
    with single_threaded_blas():
        model = sm.WLS(y, exog, weights=w) if weighted else sm.OLS(y, exog)
        fit = model.fit(cov_type=cov_type)
        # Computed inside the limit: statsmodels caches them on first use.
        for name in ("bse", "pvalues", "fvalue", "f_pvalue", "condition_number", "llf", "resid"):
            getattr(fit, name)
    return fit


def relative_error(got, want, scale=None):
    """max |got - want| / scale, scale defaulting to |want| element by
    element; 0 where both are equal (infinities and zeros included)."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    scale = np.abs(want) if scale is None else np.broadcast_to(np.asarray(scale, dtype=np.float64), want.shape)
    equal = got == want
    with np.errstate(divide="ignore", invalid="ignore"):
        error = np.where(equal, 0.0, np.abs(got - want) / scale)
    return float(np.max(error, initial=0.0)) if not np.isnan(error).any() else math.inf


def assert_all_within(errors, bound):
    bad = {name: error for name, error in errors.items() if not error <= bound}
    assert not bad, "relative errors above {:g}: {}".format(
        bound, ", ".join(f"{name}={error:.3g}" for name, error in sorted(bad.items())))


SCALARS = (
    "rsquared", "rsquared_adj", "fvalue", "f_pvalue", "ssr", "ess", "centered_tss", "uncentered_tss",
    "mse_resid", "mse_model", "mse_total", "scale", "df_model", "df_resid", "nobs", "condition_number",
    "aic", "bic", "llf",
)
VECTORS = ("params", "bse", "tvalues", "pvalues")


@pytest.mark.parametrize("n, p, fit_intercept, weighted, cov_type", CASES)
def test_every_figure_matches_statsmodels(n, p, fit_intercept, weighted, cov_type):
    got, want = ours(n, p, fit_intercept, weighted, cov_type), reference(n, p, fit_intercept, weighted, cov_type)
    assert want.condition_number < MAX_REFERENCE_CONDITION, "the reference is not reliable on this problem"
    assert (got.use_t, got.rank, got.cov_type) == (want.use_t, want.model.rank, cov_type)

    errors = {name: relative_error(getattr(got, name), getattr(want, name)) for name in SCALARS + VECTORS}

    cov, cov_want = np.asarray(got.cov_params()), np.asarray(want.cov_params())
    sd = np.sqrt(np.diag(cov_want))
    errors["cov_params"] = relative_error(cov, cov_want, np.outer(sd, sd))
    for alpha in (0.01, 0.05, 0.3):
        bounds, bounds_want = np.asarray(got.conf_int(alpha)), np.asarray(want.conf_int(alpha))
        width = (bounds_want[:, 1] - bounds_want[:, 0]) / 2
        operands = np.abs(want.params) + width
        errors[f"conf_int({alpha})"] = relative_error(bounds, bounds_want, operands[:, None])
    y_scale = np.max(np.abs(problem(n, p, fit_intercept, weighted)[1]))
    errors["resid"] = relative_error(got.resid, want.resid, y_scale)
    errors["fittedvalues"] = relative_error(got.fittedvalues, want.fittedvalues, y_scale)
    assert_all_within(errors, RTOL)


def scipy_two_sided(result):
    t = np.abs(np.asarray(result.tvalues))
    if result.use_t:
        return 2.0 * stats.t.sf(t, result.df_resid)
    return 2.0 * stats.norm.sf(t)


@pytest.mark.parametrize("n, p, fit_intercept, weighted, cov_type", CASES)
def test_p_values_match_scipy_on_our_statistics(n, p, fit_intercept, weighted, cov_type):
    got = ours(n, p, fit_intercept, weighted, cov_type)
    np.testing.assert_allclose(got.pvalues, scipy_two_sided(got), rtol=P_RTOL, atol=P_ATOL)
    # The robust F is a Wald statistic, still referred to F(q, df_resid)
    # as statsmodels' f_test does.
    f_p = stats.f.sf(got.fvalue, got.df_model, got.df_resid)
    np.testing.assert_allclose(got.f_pvalue, f_p, rtol=P_RTOL, atol=P_ATOL)


@pytest.mark.parametrize("n, p, fit_intercept, weighted, cov_type", CASES[:: len(COV_TYPES) - 1])
def test_intervals_use_scipy_quantiles(n, p, fit_intercept, weighted, cov_type):
    got = ours(n, p, fit_intercept, weighted, cov_type)
    params, bse = np.asarray(got.params), np.asarray(got.bse)
    for alpha in (1e-6, 0.01, 0.05, 0.5, 0.9):
        if got.use_t:
            q = stats.t.ppf(1 - alpha / 2, got.df_resid)
        else:
            q = stats.norm.ppf(1 - alpha / 2)
        want = np.column_stack([params - q * bse, params + q * bse])
        error = relative_error(got.conf_int(alpha), want, (np.abs(params) + q * bse)[:, None])
        assert error <= P_RTOL, f"alpha={alpha}: relative error {error:.3g}"


# ---------------------------------------------------------------------------
# The same bits for any row order and any number of threads.

BIT_FIGURES = ("params", "bse", "tvalues", "pvalues", "rsquared", "rsquared_adj", "fvalue", "f_pvalue",
               "llf", "aic", "bic", "ssr", "condition_number")


def fingerprint(result):
    bits = {name: np.asarray(getattr(result, name), dtype=np.float64).tobytes() for name in BIT_FIGURES}
    bits["conf_int"] = np.asarray(result.conf_int()).tobytes()
    bits["cov_params"] = np.asarray(result.cov_params()).tobytes()
    return bits


@pytest.mark.parametrize("cov_type", COV_TYPES)
@pytest.mark.parametrize("fit_intercept, weighted", [(True, False), (False, True), (True, True)])
def test_same_bits_for_any_row_order_and_thread_count(cov_type, fit_intercept, weighted):
    x, y, w = problem(10_000, 8, fit_intercept, weighted)
    perm = np.random.default_rng(7).permutation(len(y))

    def fit(rows, n_jobs):
        return bravolin.ols(x[rows], y[rows], fit_intercept=fit_intercept,
                            sample_weight=None if w is None else w[rows], cov_type=cov_type, n_jobs=n_jobs)

    identity = np.arange(len(y))
    base = fit(identity, 1)
    expected = fingerprint(base)
    for rows, n_jobs in ((identity, 2), (perm, 1), (perm, 2)):
        other = fit(rows, n_jobs)
        assert fingerprint(other) == expected, f"n_jobs={n_jobs}, permuted={rows is perm}"
        # Each residual depends on its own row alone.
        assert np.asarray(other.resid).tobytes() == np.asarray(base.resid)[rows].tobytes()
        assert other.summary() == base.summary()


# ---------------------------------------------------------------------------
# pandas, the summary, singular designs and bad arguments.


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1"])
def test_pandas_inputs_label_every_result(fit_intercept, cov_type):
    pd = pytest.importorskip("pandas")
    x, y, w = problem(60, 8, True, True)
    columns = [f"feature {j}" for j in range(x.shape[1])]
    index = pd.RangeIndex(100, 100 + len(y), name="row")
    frame = pd.DataFrame(x, columns=columns, index=index)
    target = pd.Series(y, index=index, name="response")
    got = bravolin.ols(frame, target, fit_intercept=fit_intercept, sample_weight=w, cov_type=cov_type)
    plain = bravolin.ols(x, y, fit_intercept=fit_intercept, sample_weight=w, cov_type=cov_type)
    exog = sm.add_constant(frame, has_constant="add") if fit_intercept else frame
    want = sm.WLS(target, exog, weights=w).fit(cov_type=cov_type)

    names = (["const"] if fit_intercept else []) + columns
    assert list(want.params.index) == names
    for attribute in ("params", "bse", "tvalues", "pvalues"):
        series = getattr(got, attribute)
        assert isinstance(series, pd.Series), attribute
        assert list(series.index) == names, attribute
        assert series.to_numpy().tobytes() == np.asarray(getattr(plain, attribute)).tobytes(), attribute
    for table, plain_table, want_table in ((got.conf_int(), plain.conf_int(), want.conf_int()),
                                           (got.cov_params(), plain.cov_params(), want.cov_params())):
        assert isinstance(table, pd.DataFrame)
        assert list(table.index) == list(want_table.index)
        assert list(table.columns) == list(want_table.columns)
        assert table.to_numpy().tobytes() == np.asarray(plain_table).tobytes()
    for attribute in ("resid", "fittedvalues"):
        series = getattr(got, attribute)
        assert isinstance(series, pd.Series), attribute
        assert series.index.equals(index), attribute
        assert series.to_numpy().tobytes() == np.asarray(getattr(plain, attribute)).tobytes(), attribute
    summary = got.summary()
    assert "response" in summary


@pytest.mark.parametrize("cov_type", COV_TYPES)
def test_summary_names_the_coefficients_and_the_covariance(cov_type):
    pd = pytest.importorskip("pandas")
    x, y, _ = problem(60, 8, True, False)
    columns = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "a<b&c"]
    got = bravolin.ols(pd.DataFrame(x, columns=columns), y, cov_type=cov_type)
    summary = got.summary()
    assert isinstance(summary, str)
    for name in ["const", *columns]:
        assert name in summary, name
    covariance_line = next(line for line in summary.splitlines() if "Covariance Type" in line)
    assert cov_type in covariance_line
    # statsmodels' column heads: t tests for the classical covariance,
    # z tests for a robust one.
    assert ("P>|t|" if cov_type == "nonrobust" else "P>|z|") in summary
    assert "singular" not in summary
    page = got._repr_html_()
    assert "Covariance Type" in page and cov_type in page
    assert "a&lt;b&amp;c" in page and "a<b&c" not in page
    # An almost exact fit: t near 1e14, printed with significant digits as
    # statsmodels prints it, inside the table's width.
    x = np.arange(10.0)[:, None]
    exact = bravolin.ols(x, 3.0 * x[:, 0] + 2.0 + 1e-13 * np.sin(np.arange(10.0)), cov_type=cov_type)
    rows = [line for line in exact.summary().splitlines() if line.startswith(("const", "x1"))]
    assert len(rows) == 2 and all(len(line) <= 78 and "e+" in line for line in rows), rows


def singular_design(kind, fit_intercept):
    """A design with one exact dependency, and the columns (1-based in the
    design, 0 the constant) that the dependency involves."""
    x, y, w = problem(60, 4, fit_intercept, True)
    if kind == "duplicate":
        return np.column_stack([x, x[:, 1]]), y, w, [2, 5]
    # The dummy trap: a one-hot column for every level beside the constant.
    levels = np.eye(3)[np.arange(60) % 3]
    return np.column_stack([x, levels]), y + levels @ [1.0, -2.0, 0.5], w, [0, 5, 6, 7]


@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1", "HC3"])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("kind, fit_intercept", [("duplicate", True), ("duplicate", False), ("dummies", True)])
def test_singular_design_follows_the_pseudo_inverse(kind, fit_intercept, weighted, cov_type):
    x, y, w, involved = singular_design(kind, fit_intercept)
    w = w if weighted else None
    got = bravolin.ols(x, y, fit_intercept=fit_intercept, cov_type=cov_type, sample_weight=w)
    exog = sm.add_constant(x, has_constant="add") if fit_intercept else x
    with warnings.catch_warnings():
        # statsmodels warns of the rank deficiency it works around.
        warnings.simplefilter("ignore")
        want = (sm.WLS(y, exog, weights=w) if weighted else sm.OLS(y, exog)).fit(cov_type=cov_type)
    assert got.rank == want.model.rank == exog.shape[1] - 1
    assert (got.df_model, got.df_resid) == (want.df_model, want.df_resid)
    # The minimum-norm solution over every parameter, the constant included,
    # and the pseudo-inverse's covariance.
    errors = {name: relative_error(getattr(got, name), getattr(want, name)) for name in VECTORS}
    errors["cov_params"] = relative_error(got.cov_params(), want.cov_params(), np.max(np.abs(want.cov_params())))
    errors["fittedvalues"] = relative_error(got.fittedvalues, want.fittedvalues, np.max(np.abs(y)))
    errors["rsquared"] = relative_error(got.rsquared, want.rsquared)
    assert_all_within(errors, RTOL)
    names = got.exog_names
    assert got.relations == [[names[i - (0 if fit_intercept else 1)] for i in involved]]
    summary = got.summary()
    assert "singular" in summary.lower() and "singular" in got._repr_html_().lower()
    assert ", ".join(got.relations[0]) in summary
    assert len(got.dependent) == 1 and got.dependent[0] in got.relations[0]


@pytest.mark.parametrize("cov_type", ["HC4", "hc0", "HAC", "", "robust", None])
def test_unknown_covariance_type_is_rejected(cov_type):
    x, y, _ = problem(10, 1, True, False)
    with pytest.raises(ValueError, match="cov_type"):
        bravolin.ols(x, y, cov_type=cov_type)


def test_a_tiny_column_beside_a_dependency_leaves_the_rest_as_without_it():
    # The dependency's rounding, scaled by a 1e-30 column's inverse size,
    # once moved the other columns' standard errors.
    rng = np.random.default_rng(1)
    z, w, y = rng.normal(size=(3, 50))
    x = np.c_[np.full(50, -3.0), np.full(50, -9.0), z, w * 1e-30]
    for cov_type in ("nonrobust", "HC0"):
        full = bravolin.ols(x, y, fit_intercept=False, cov_type=cov_type)
        reduced = bravolin.ols(x[:, [0, 2, 3]], y, fit_intercept=False, cov_type=cov_type)
        assert_all_within({"bse": relative_error(full.bse[2:], reduced.bse[1:]),
                           "params": relative_error(full.params[2:], reduced.params[1:])}, RTOL)


def test_statistics_undefined_on_the_data_are_inf_or_nan_as_in_statsmodels():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(10, 2))
    y = x @ [1.0, 2.0] + rng.normal(size=10)
    as_many_rows_as_parameters = bravolin.ols(x[:3], y[:3])
    assert math.isnan(as_many_rows_as_parameters.scale) or math.isinf(as_many_rows_as_parameters.scale)
    constant_y = bravolin.ols(x, np.full(10, 3.0))
    assert math.isnan(constant_y.rsquared)
    intercept_only = bravolin.ols(np.full((10, 1), 4.0), y)
    assert math.isnan(intercept_only.fvalue) and math.isnan(intercept_only.f_pvalue)
    assert math.isnan(as_many_rows_as_parameters.fvalue)  # not 0 beside an R² of 1
    for results in (as_many_rows_as_parameters, constant_y, intercept_only, bravolin.ols(x[:1], y[:1])):
        assert "OLS Regression Results" in results.summary()


@pytest.mark.parametrize("cov_type", ["HC0", "HC1", "HC3"])
@pytest.mark.parametrize("kind, fit_intercept", [("duplicate", False), ("dummies", True)])
def test_robust_f_test_of_a_singular_design_is_nan(kind, fit_intercept, cov_type):
    x, y, _, _ = singular_design(kind, fit_intercept)
    got = bravolin.ols(x, y, fit_intercept=fit_intercept, cov_type=cov_type)
    assert got.singular and math.isnan(got.fvalue) and math.isnan(got.f_pvalue)


@pytest.mark.parametrize("where", ["X", "y", "sample_weight"])
def test_complex_input_is_refused_not_cast(where):
    x, y, w = problem(20, 2, True, True)
    args = {"X": x, "y": y, "sample_weight": w}
    args[where] = args[where] + 1j
    with pytest.raises(ValueError, match="complex"):
        bravolin.ols(args["X"], args["y"], sample_weight=args["sample_weight"])


@pytest.mark.parametrize("scale", [2.0**520, 2.0**-540])
def test_values_beyond_the_moments_range_are_refused(scale):
    x, y, _ = problem(20, 2, True, False)
    with pytest.raises(ValueError, match="too large or too small"):
        bravolin.ols(x * scale, y)


@pytest.mark.parametrize("cov_type", ["HC2", "HC3"])
def test_a_row_of_leverage_one_is_named_not_blamed_on_the_data(cov_type):
    x, y, _ = problem(20, 2, True, False)
    x = np.c_[x, np.zeros(20)]
    x[7, 2] = 1.0  # only row 7 determines this column's coefficient
    with pytest.raises(ValueError, match="row 7 has leverage 1"):
        bravolin.ols(x, y, cov_type=cov_type)


def test_labelled_rows_that_disagree_are_refused():
    pd = pytest.importorskip("pandas")
    x, y, _ = problem(20, 2, True, False)
    frame, target = pd.DataFrame(x), pd.Series(y)
    bravolin.ols(frame, target)
    with pytest.raises(ValueError, match="not aligned"):
        bravolin.ols(frame, target.set_axis(target.index[::-1]))
    # Unlabelled rows beside a frame pair by position (a list's index is a method).
    np.testing.assert_array_equal(bravolin.ols(frame, list(y), sample_weight=tuple(np.ones(20))).params,
                                  bravolin.ols(frame, target).params)


@pytest.mark.parametrize("cov_type", ["HC0", "HC1"])
def test_robust_errors_of_an_off_centre_regressor_match_exact_arithmetic(cov_type):
    from fractions import Fraction

    # A regressor of 10^6 ± 1 beside the intercept: the bread's condition
    # number is about 10^12, which a meat rounded to double would square.
    rng = np.random.default_rng(2)
    n = 40
    x = 1e6 + rng.uniform(-1.0, 1.0, n)
    y = 0.5 * (x - 1e6) + rng.normal(size=n)
    d = [[Fraction(1), Fraction(v)] for v in x]
    g = [[sum(r[i] * r[j] for r in d) for j in range(2)] for i in range(2)]
    det = g[0][0] * g[1][1] - g[0][1] * g[1][0]
    inv = [[g[1][1] / det, -g[0][1] / det], [-g[1][0] / det, g[0][0] / det]]
    dy = [sum(r[i] * Fraction(v) for r, v in zip(d, y)) for i in range(2)]
    b = [sum(inv[i][j] * dy[j] for j in range(2)) for i in range(2)]
    e2 = [(Fraction(v) - r[0] * b[0] - r[1] * b[1]) ** 2 for r, v in zip(d, y)]
    meat = [[sum(w * r[i] * r[j] for w, r in zip(e2, d)) for j in range(2)] for i in range(2)]
    cov = [[sum(inv[i][k] * meat[k][m] * inv[m][j] for k in range(2) for m in range(2)) for j in range(2)]
           for i in range(2)]
    factor = Fraction(n, n - 2) if cov_type == "HC1" else 1
    want = [math.sqrt(cov[i][i] * factor) for i in range(2)]
    got = bravolin.ols(x[:, None], y, cov_type=cov_type).bse
    np.testing.assert_allclose(got, want, rtol=1e-10)


@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1"])
@pytest.mark.parametrize("kind", ["ones column", "constant column", "dummies", "none"])
def test_a_constant_among_the_features_is_found_as_statsmodels_finds_it(kind, cov_type):
    rng = np.random.default_rng(7)
    n = 60
    x = rng.normal(size=(n, 3))
    if kind in ("ones column", "constant column"):
        x[:, 1] = 1.0 if kind == "ones column" else -2.5
    elif kind == "dummies":
        group = rng.integers(0, 3, n)
        x = np.column_stack([x[:, :1]] + [(group == g).astype(float) for g in range(3)])
    y = x @ rng.normal(size=x.shape[1]) + rng.normal(size=n)
    got = bravolin.ols(x, y, fit_intercept=False, cov_type=cov_type)
    want = sm.OLS(y, x).fit(cov_type=cov_type)
    assert got.k_constant == want.k_constant and got.df_model == want.df_model
    for name in ("rsquared", "rsquared_adj", "fvalue", "f_pvalue", "aic"):
        assert getattr(got, name) == pytest.approx(getattr(want, name), rel=1e-9, nan_ok=True), name


def test_condition_number_of_nearly_collinear_columns_is_accurate():
    from fractions import Fraction

    rng = np.random.default_rng(3)
    x = rng.normal(size=(50, 2))
    x[:, 1] = x[:, 0] + 1e-7 * rng.normal(size=50)
    g = [[sum(Fraction(a) * Fraction(b) for a, b in zip(x[:, i], x[:, j])) for j in range(2)] for i in range(2)]
    # Exact eigenvalues of a 2 x 2 matrix: (t ± sqrt(t² - 4 det)) / 2.
    t, det = g[0][0] + g[1][1], g[0][0] * g[1][1] - g[0][1] * g[1][0]
    root = math.sqrt(t * t - 4 * det)
    small = float(2 * det / (t + Fraction(root)))  # t + root loses nothing; det is exact
    want = math.sqrt(float(t) / small)  # the larger eigenvalue is t to 1e-14 here
    assert bravolin.ols(x, rng.normal(size=50), fit_intercept=False).condition_number == pytest.approx(want, rel=1e-9)
