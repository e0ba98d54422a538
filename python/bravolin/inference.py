"""Ordinary least squares with inference, the same bits on every machine.

``ols(X, y)`` fits as ``bravolin.sklearn.LinearRegression`` does (exact
moments in any row order, a double-double solve) and returns an
``OLSResults`` with the statistics statsmodels users know: standard errors,
t and F tests, intervals, R², information criteria and a ``summary()``.

Every number is a fixed sequence of IEEE operations on the exact moments:
sums of squares are exact for the rounded coefficients, the covariance comes
from the double-double solve, the distributions (Student's t, F) are the
project's own, built from +, −, ×, ÷ and √ only, and matrix products here
are exactly rounded sums (``math.fsum``), never BLAS. Robust covariances
read the data a second time, accumulating their middle term with the same
order-independent engine.
"""

from __future__ import annotations

import html
import math
from functools import cached_property
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _distributions, _exact
from ._moments import Moments, default_threads

__all__ = ["ols", "OLSResults", "COV_TYPES", "results_from_moments", "middle_moments",
           "weight_counts", "log_weight_sum"]

COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3")
# The rank cut-off of the estimators (see bravolin.sklearn.DEFAULT_TOL).
_TOL = 1e-13
_LOG_2PI = None  # computed once from the project's own log


def _ratio(a: float, b: float) -> float:
    """a / b with IEEE semantics, as statsmodels' NumPy scalars give it: a
    statistic undefined on the data (no residual degrees of freedom, a
    constant y) is inf or NaN, not an exception."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(a) / np.float64(b))


def _log(value: float) -> float:
    return _distributions._log(float(value))


def _log_two_pi() -> float:
    global _LOG_2PI
    if _LOG_2PI is None:
        _LOG_2PI = _log(2.0 * math.pi)
    return _LOG_2PI


def y_label(y: Any) -> str:
    """The dependent variable's name: a Series' name or a one-column frame's
    column, as statsmodels reads them; else "y" (an array's .name, as a Dask
    array's graph key, is no name)."""
    ndim = getattr(y, "ndim", 0)
    if ndim == 2 and hasattr(y, "columns") and len(y.columns) == 1:
        return str(y.columns[0])
    if ndim == 1 and hasattr(y, "to_frame") and getattr(y, "name", None) is not None:
        return str(y.name)
    return "y"


def _labels(obj: Any, count: int, prefix: str) -> list[str]:
    columns = getattr(obj, "columns", None)
    if columns is not None and len(columns) == count:
        return [str(c) for c in columns]
    return [f"{prefix}{j + 1}" for j in range(count)]


class OLSResults:
    """The results of ``ols``: statsmodels' names, one target.

    Arrays are NumPy arrays, or pandas objects labelled by the columns when
    X was a DataFrame. ``resid`` and ``fittedvalues`` are computed on first
    use from the data the fit was given.
    """

    def __init__(
        self,
        *,
        params: NDArray[np.float64],
        cov: NDArray[np.float64] | None,
        ssr: float,
        centered_tss: float,
        uncentered_tss: float,
        centered_ess: float,
        uncentered_ess: float,
        nobs: int,
        rank: int,
        k_constant: int,
        const_idx: int | None,
        cov_type: str,
        names: list[str],
        y_name: str,
        condition_number: float,
        log_weight_sum: float,
        data: tuple[Any, Any],
        pandas_index: Any,
        singular: bool,
        labelled: bool = False,
        dependent: list[str] | None = None,
        relations: list[list[str]] | None = None,
    ) -> None:
        self._params = params
        self._cov = cov
        self.ssr = ssr
        self.centered_tss = centered_tss
        self.uncentered_tss = uncentered_tss
        self._ess = centered_ess if k_constant else uncentered_ess
        self.nobs = float(nobs)
        self.rank = rank
        self.k_constant = k_constant
        # The constant's place in params; None when the features span it
        # without one being constant (statsmodels' implicit constant).
        self.const_idx = const_idx
        self.cov_type = cov_type
        self.exog_names = names
        self.endog_name = y_name
        self.condition_number = condition_number
        self._log_weight_sum = log_weight_sum
        self._data = data
        self._index = pandas_index
        # Parameters as Series by name: from a frame, in memory or not.
        self._labelled = labelled or pandas_index is not None
        self.singular = singular
        # The columns left out of the rank (ascending): constant ones, and
        # those the pivoted factorisation found dependent on the others.
        self.dependent = list(dependent or [])
        # Per left-out column, the columns of the relation that makes it
        # dependent (itself included), in the design's order.
        self.relations = [list(r) for r in relations or []]
        # statsmodels' convention: t and F tests with the classical
        # covariance, normal (z) tests with a robust one.
        self.use_t = cov_type == "nonrobust"
        self.df_model = float(rank - k_constant)
        self.df_resid = float(nobs - rank)

    # Labelled views -------------------------------------------------------
    def _series(self, values: NDArray[np.float64]) -> Any:
        if not self._labelled:
            return values
        import pandas as pd

        return pd.Series(values, index=self.exog_names)

    @property
    def params(self) -> Any:
        return self._series(self._params)

    def cov_params(self) -> Any:
        """The covariance of the parameters (by ``cov_type``), from the
        pseudo-inverse of the design when it is singular, as statsmodels'
        ``pinv`` gives it; NaN when there are no residual degrees of freedom."""
        cov = self._cov if self._cov is not None else np.full((len(self._params),) * 2, np.nan)
        if not self._labelled:
            return cov
        import pandas as pd

        return pd.DataFrame(cov, index=self.exog_names, columns=self.exog_names)

    @cached_property
    def _bse(self) -> NDArray[np.float64]:
        if self._cov is None:
            return np.full(len(self._params), np.nan)
        return np.array([math.sqrt(v) if v >= 0.0 else math.nan for v in np.diag(self._cov)])

    @property
    def bse(self) -> Any:
        return self._series(self._bse)

    @cached_property
    def _t(self) -> NDArray[np.float64]:
        with np.errstate(divide="ignore", invalid="ignore"):  # NaN or inf where bse is
            return self._params / self._bse

    @property
    def tvalues(self) -> Any:
        return self._series(self._t)

    @cached_property
    def _p(self) -> NDArray[np.float64]:
        df = self.df_resid
        if self.use_t and df <= 0:
            return np.full(len(self._params), np.nan)
        if self.use_t:
            return np.array([_distributions.t_two_sided(abs(t), df) if math.isfinite(t) else math.nan
                             for t in self._t])
        return np.array([2.0 * _distributions.norm_sf(abs(t)) if math.isfinite(t) else math.nan
                         for t in self._t])

    @property
    def pvalues(self) -> Any:
        return self._series(self._p)

    def conf_int(self, alpha: float = 0.05) -> Any:
        """(lower, upper) bounds of the 1 - alpha intervals, one row per parameter."""
        if not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        if self.use_t:
            q = _distributions.t_ppf(1.0 - alpha / 2.0, self.df_resid) if self.df_resid > 0 else math.nan
        else:
            q = _distributions.norm_ppf(1.0 - alpha / 2.0)
        lower = np.array([b - q * s for b, s in zip(self._params, self._bse)])
        upper = np.array([b + q * s for b, s in zip(self._params, self._bse)])
        bounds = np.column_stack([lower, upper])
        if not self._labelled:
            return bounds
        import pandas as pd

        return pd.DataFrame(bounds, index=self.exog_names, columns=[0, 1])

    # Sums of squares and tests ---------------------------------------------
    @property
    def ess(self) -> float:
        """The explained sum of squares, exact before its one rounding."""
        return self._ess

    @property
    def rsquared(self) -> float:
        # From the exactly rounded explained sum: 1 - ssr/tss would cancel
        # when R² is small.
        tss = self.centered_tss if self.k_constant else self.uncentered_tss
        return _ratio(self._ess, tss)

    @property
    def rsquared_adj(self) -> float:
        tss = self.centered_tss if self.k_constant else self.uncentered_tss
        return 1.0 - _ratio(self.nobs - self.k_constant, self.df_resid) * _ratio(self.ssr, tss)

    @property
    def scale(self) -> float:
        return _ratio(self.ssr, self.df_resid)

    @property
    def mse_resid(self) -> float:
        return self.scale

    @property
    def mse_model(self) -> float:
        return _ratio(self.ess, self.df_model)

    @property
    def mse_total(self) -> float:
        tss = self.centered_tss if self.k_constant else self.uncentered_tss
        return _ratio(tss, self.df_resid + self.df_model)

    @property
    def fvalue(self) -> float:
        """The F statistic that every slope is zero (statsmodels' default
        for the non-robust covariance: ESS / df_model over the scale)."""
        if self.df_model <= 0 or self.df_resid <= 0:
            return math.nan  # no slope to test, or no residual to test it against
        if self.cov_type != "nonrobust":
            return self._robust_fvalue
        return _ratio(self.mse_model, self.mse_resid)

    @cached_property
    def _robust_fvalue(self) -> float:
        # Wald test of the slopes with the robust covariance: b' V^-1 b / q.
        slopes = [i for i in range(len(self._params)) if i != self.const_idx]
        # A singular design's robust covariance is singular too: its Wald
        # statistic would need a pseudo-inverse, not computed here. With an
        # implicit constant there is no slope set to test (statsmodels: NaN).
        if not slopes or self._cov is None or self.singular or (self.k_constant and self.const_idx is None):
            return math.nan
        sub = np.ascontiguousarray(self._cov[np.ix_(slopes, slopes)])
        b = np.ascontiguousarray(self._params[slopes])
        solved = _exact.definite_solve(sub, b)
        return math.fsum(float(x) * float(y) for x, y in zip(b, solved)) / len(slopes)

    @property
    def f_pvalue(self) -> float:
        f = self.fvalue
        if not math.isfinite(f) or self.df_model <= 0 or self.df_resid <= 0:
            return math.nan
        return float(_distributions.f_sf(f, self.df_model, self.df_resid))

    @property
    def llf(self) -> float:
        n = self.nobs
        return -n / 2.0 * (_log_two_pi() + _log(_ratio(self.ssr, n)) + 1.0) + self._log_weight_sum / 2.0

    @property
    def aic(self) -> float:
        return -2.0 * self.llf + 2.0 * (self.df_model + self.k_constant)

    @property
    def bic(self) -> float:
        return -2.0 * self.llf + _log(self.nobs) * (self.df_model + self.k_constant)

    # Lazily, from the data ---------------------------------------------------
    @cached_property
    def fittedvalues(self) -> Any:
        """ŷ, each row from that row alone (a Dask array for a Dask fit)."""
        fitted, _ = self._data
        values = fitted(self._params)
        if self._index is None:
            return values
        import pandas as pd

        return pd.Series(values, index=self._index)

    @cached_property
    def resid(self) -> Any:
        """y − ŷ (unweighted, as statsmodels' WLS gives them)."""
        _, y = self._data
        return y - self.fittedvalues

    # Presentation ------------------------------------------------------------
    def _header(self) -> list[tuple[str, str, str, str]]:
        def fmt(v: float, digits: int = 3) -> str:
            return f"{v:.{digits}f}" if math.isfinite(v) else "nan"

        return [
            ("Dep. Variable:", self.endog_name, "R-squared:", fmt(self.rsquared)),
            ("Model:", "OLS", "Adj. R-squared:", fmt(self.rsquared_adj)),
            ("Method:", "Least Squares", "F-statistic:", f"{self.fvalue:.4g}"),
            ("No. Observations:", f"{int(self.nobs)}", "Prob (F-statistic):", f"{self.f_pvalue:.3g}"),
            ("Df Residuals:", f"{int(self.df_resid)}", "Log-Likelihood:", f"{self.llf:.5g}"),
            ("Df Model:", f"{int(self.df_model)}", "AIC:", f"{self.aic:.4g}"),
            ("Covariance Type:", self.cov_type, "BIC:", f"{self.bic:.4g}"),
        ]

    def _rows(self) -> list[list[str]]:
        def fmt(v: float, digits: int = 3) -> str:
            # statsmodels' rule: fixed decimals, or significant digits for
            # magnitudes from 1e4 up and below 1e-4 (a column stays narrow).
            return f"{v:.{digits}g}" if abs(v) >= 1e4 or abs(v) < 1e-4 else f"{v:.{digits}f}"

        bounds = np.asarray(self.conf_int())
        rows = []
        for j, name in enumerate(self.exog_names):
            rows.append([name, fmt(self._params[j], 4), fmt(self._bse[j]), fmt(self._t[j]),
                         f"{self._p[j]:.3f}", fmt(bounds[j, 0]), fmt(bounds[j, 1])])
        return rows

    def _notes(self) -> list[str]:
        notes = [
            f"[1] Standard errors: {'assume the errors are homoscedastic' if self.cov_type == 'nonrobust' else 'heteroscedasticity-robust (' + self.cov_type + ')'}.",
            f"[2] The condition number is {self.condition_number:.3g}; every figure is the same "
            "bits on every machine, thread count and row order.",
        ]
        if self.singular:
            involved = "; ".join(", ".join(r) for r in self.relations) or ", ".join(self.dependent)
            notes.append(
                f"[3] The design is singular (rank {self.rank} of {len(self._params)} parameters). "
                f"Linearly dependent columns: {involved} "
                f"({', '.join(self.dependent)} left out of the rank). The coefficients are the "
                "minimum-norm solution and the standard errors those of the pseudo-inverse, as "
                "statsmodels' pinv gives them: the aliased coefficients are not identified "
                "one by one."
            )
        return notes

    def summary(self) -> str:
        """A fixed-width text table, as statsmodels prints it."""
        width = 78
        lines = ["OLS Regression Results".center(width), "=" * width]
        for a, b, c, d in self._header():
            lines.append(f"{a:<20}{b:>18}  {c:<20}{d:>18}")
        lines.append("=" * width)
        head = ["", "coef", "std err", "t" if self.use_t else "z", "P>|t|" if self.use_t else "P>|z|",
                "[0.025", "0.975]"]
        name_width = max(10, *(len(n) for n in self.exog_names))
        fmt_row = lambda cells: f"{cells[0]:<{name_width}}" + "".join(f"{c:>11}" for c in cells[1:])  # noqa: E731
        lines.append(fmt_row(head))
        lines.append("-" * max(width, name_width + 66))
        lines.extend(fmt_row(r) for r in self._rows())
        lines.append("=" * width)
        lines.append("Notes:")
        lines.extend(self._notes())
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        esc = html.escape
        head = "".join(
            f"<tr><th>{esc(a)}</th><td>{esc(b)}</td><th>{esc(c)}</th><td>{esc(d)}</td></tr>"
            for a, b, c, d in self._header()
        )
        columns = ["", "coef", "std err", "t" if self.use_t else "z", "P>|t|" if self.use_t else "P>|z|",
                   "[0.025", "0.975]"]
        body = "".join(
            "<tr><th>" + esc(r[0]) + "</th>" + "".join(f"<td>{esc(c)}</td>" for c in r[1:]) + "</tr>"
            for r in self._rows()
        )
        notes = "<br>".join(esc(n) for n in self._notes())
        return (
            '<table class="simpletable"><caption>OLS Regression Results</caption>'
            f"{head}</table>"
            '<table class="simpletable"><tr>' + "".join(f"<th>{esc(c)}</th>" for c in columns)
            + f"</tr>{body}</table><p>Notes:<br>{notes}</p>"
        )


def _real(a: ArrayLike, name: str) -> NDArray[np.float64]:
    # Converted once (a frame has no dtype to ask first); casting would drop
    # an imaginary part with only NumPy's warning.
    values = np.asarray(a)
    if values.dtype.kind == "c":
        raise ValueError(f"{name}: complex data not supported")
    return values.astype(np.float64, copy=False)


def _row_labels(a: Any) -> Any:
    """A pandas object's index, else None (a list's ``index`` is a method)."""
    index = getattr(a, "index", None)
    return index if hasattr(index, "equals") else None


def _validate(X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None) -> tuple[Any, ...]:
    # Rows are paired by position; labelled rows must agree, as statsmodels
    # requires, or the pairing would be silently wrong.
    index = _row_labels(X)
    for name, other in (("y", y), ("sample_weight", sample_weight)):
        other_index = _row_labels(other)
        if index is not None and other_index is not None and not index.equals(other_index):
            raise ValueError(f"the index of {name} is not aligned with X's: rows pair by position")
    x = _real(X, "X")
    if x.ndim == 1:
        x = x[:, None]
    if x.ndim != 2:
        raise ValueError(f"X must be 2-D, got {x.ndim} dimensions")
    target = _real(y, "y")
    if target.ndim == 2 and target.shape[1] == 1:
        target = target[:, 0]
    if target.ndim != 1:
        raise ValueError("y must be one target: 1-D, or 2-D with one column")
    if target.shape[0] != x.shape[0]:
        raise ValueError(f"X has {x.shape[0]} rows but y has {target.shape[0]}")
    if x.shape[0] == 0:
        raise ValueError("X has no rows")
    for name, a in (("X", x), ("y", target)):
        if not np.isfinite(a).all():
            raise ValueError(f"{name} contains NaN or infinity")
    weights = None
    if sample_weight is not None:
        weights = _real(sample_weight, "sample_weight")
        if weights.ndim == 0:
            weights = np.full(x.shape[0], float(weights))
        if weights.shape != (x.shape[0],):
            raise ValueError(f"sample_weight must have shape ({x.shape[0]},), got {weights.shape}")
        if not np.isfinite(weights).all() or (weights < 0).any():
            raise ValueError("sample_weight must be finite and non-negative")
    return x, target, weights


def weight_counts(weights: NDArray[np.float64] | None) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The distinct positive weights and how many rows carry each."""
    if weights is None:
        return np.empty(0), np.empty(0)
    values, counts = np.unique(weights[weights > 0], return_counts=True)
    return values, counts.astype(np.float64)


def log_weight_sum(values: NDArray[np.float64], counts: NDArray[np.float64]) -> float:
    """Σ log wᵣ over the rows of positive weight, from the distinct weights
    and their counts: the project's log of each, then Σ count·log summed
    exactly by the moments engine, so neither the row order nor the grouping
    of the counts changes a bit."""
    if values.size == 0:
        return 0.0
    merged, inverse = np.unique(values, return_inverse=True)
    totals = np.bincount(inverse, weights=counts)
    logs = np.array([_log(float(v)) for v in merged])
    moments = Moments.of(logs[:, None], np.empty((logs.size, 0)), totals, 1)
    return float(_exact.raw_gram(moments.state, 2)[0, 1])


def ols(
    X: ArrayLike,
    y: ArrayLike,
    *,
    fit_intercept: bool = True,
    sample_weight: ArrayLike | None = None,
    cov_type: str = "nonrobust",
    n_jobs: int | None = None,
    tol: float = _TOL,
) -> OLSResults:
    """Weighted least squares of y on X, with an intercept first unless
    ``fit_intercept=False``, and its inference. ``cov_type`` is one of
    "nonrobust", "HC0", "HC1", "HC2", "HC3" (statsmodels' definitions; a
    robust covariance reads the data a second time). R² is centred with an
    intercept and uncentred without, as statsmodels and the NIST
    certificates define it. A pandas DataFrame labels the results by its
    columns."""
    if cov_type not in COV_TYPES:
        raise ValueError(f"cov_type must be one of {', '.join(COV_TYPES)}; got {cov_type!r}")
    x, target, weights = _validate(X, y, sample_weight)
    threads = default_threads(n_jobs)
    moments = Moments.of(x, target[:, None], weights, threads)
    counts = weight_counts(weights)

    def middle(params: NDArray[np.float64], bread: NDArray[np.float64]) -> Any:
        scale = robust_scales(x, target, weights, params, bread, fit_intercept, cov_type, threads)
        return middle_moments(x, scale, fit_intercept, threads).state

    return results_from_moments(
        moments,
        fit_intercept=fit_intercept,
        cov_type=cov_type,
        tol=tol,
        middle=middle,
        log_weight_sum=log_weight_sum(*counts),
        nobs=None if weights is None else int(counts[1].sum()),
        names=(["const"] if fit_intercept else []) + _labels(X, x.shape[1], "x"),
        y_name=y_label(y),
        data=(lambda params: _fitted(x, params, fit_intercept, threads), target),
        pandas_index=getattr(X, "index", None) if hasattr(X, "columns") else None,
    )


def results_from_moments(
    moments: Moments,
    *,
    fit_intercept: bool,
    cov_type: str,
    middle: Any,
    log_weight_sum: float,
    tol: float = _TOL,
    nobs: int | None = None,
    names: list[str],
    y_name: str,
    data: tuple[Any, Any],
    pandas_index: Any,
    labelled: bool = False,
) -> OLSResults:
    """The results from the exact moments of the rows; ``middle(params,
    bread)`` returns the state of ``middle_moments`` over every row for a
    robust covariance (a second pass over the data, wherever it lies)."""
    if cov_type not in COV_TYPES:
        raise ValueError(f"cov_type must be one of {', '.join(COV_TYPES)}; got {cov_type!r}")
    p = moments.n_features
    n = moments.n_rows if nobs is None else nobs
    solution = moments.solve(bool(fit_intercept), float(tol), False)
    coef, intercept, rank = solution.coef, solution.intercept, solution.rank
    (ssr, centred, uncentred, centred_ess, uncentred_ess, cov_unscaled, _, all_params,
     relations) = _exact.fit_statistics(moments.state, p, bool(fit_intercept), coef, intercept,
                                        list(solution.dependent), solution.coef_low,
                                        solution.intercept_low)
    offset = 1 if fit_intercept else 0  # the intercept's place in params
    params = all_params[0].copy()
    total_rank = rank + offset
    singular = total_rank < len(params)
    df_resid = n - total_rank
    cov = None
    if cov_unscaled is not None and df_resid > 0:
        if cov_type == "nonrobust":
            scale = float(ssr[0]) / df_resid
            cov = np.array([[v * scale for v in row] for row in cov_unscaled])
        else:
            # The meat: the scaled rows' Gram, without the ones their moments
            # lead with.
            cov = _exact.sandwich(np.ascontiguousarray(cov_unscaled), middle(params, cov_unscaled))
            if cov_type == "HC1":
                cov = cov * (n / df_resid)
    k_constant, const_idx = _constant(moments, fit_intercept, rank, tol)
    condition = _condition_number(moments, fit_intercept, None if singular else cov_unscaled)
    return OLSResults(
        params=params, cov=cov, ssr=float(ssr[0]), centered_tss=float(centred[0]),
        uncentered_tss=float(uncentred[0]), centered_ess=float(centred_ess[0]),
        uncentered_ess=float(uncentred_ess[0]), nobs=n if nobs is None else nobs, rank=total_rank, k_constant=k_constant,
        const_idx=const_idx, cov_type=cov_type, names=names, y_name=y_name, condition_number=condition,
        log_weight_sum=log_weight_sum, data=data, pandas_index=pandas_index, singular=singular,
        labelled=labelled,
        dependent=[names[j + offset] for j in solution.dependent],
        relations=[[names[i] for i in members] for members in relations],
    )


def _constant(moments: Moments, fit_intercept: bool, rank: int, tol: float) -> tuple[int, int | None]:
    """(k_constant, const_idx) as statsmodels finds them: the intercept; or,
    without one, a feature that is a nonzero constant, or features that span
    the constant (an implicit one, no index). R², the F test and df_model
    are then the centred ones."""
    if fit_intercept:
        return 1, 0
    column = int(_exact.constant_column(moments.state, moments.n_features))
    if column >= 0:
        return 1, column
    spanned = moments.n_features and rank == moments.solve(True, float(tol), False).rank + 1
    return (1 if spanned else 0), None


def _condition_number(moments: Moments, fit_intercept: bool, inverse: NDArray[np.float64] | None) -> float:
    """√(λmax/λmin) of D'WD; with its inverse at hand, λmin as 1/λmax of the
    inverse: a largest eigenvalue is as accurate as its matrix, a smallest
    one only to the rounding of the largest."""
    gram = _exact.raw_gram(moments.state, 1 + moments.n_features)
    if not fit_intercept:
        gram = gram[1:, 1:]
    eig = _exact.eigenvalues(np.ascontiguousarray(gram))
    if not eig[0] > 0:
        return math.inf
    if inverse is None:
        return math.sqrt(eig[-1] / eig[0])
    return math.sqrt(eig[-1] * _exact.eigenvalues(np.ascontiguousarray(inverse))[-1])


def _fitted(x: NDArray[np.float64], params: NDArray[np.float64], fit_intercept: bool,
            threads: int) -> NDArray[np.float64]:
    k_constant = 1 if fit_intercept else 0
    coef = np.ascontiguousarray(params[None, k_constant:])
    intercept = np.array([params[0] if fit_intercept else 0.0])
    fitted: NDArray[np.float64] = _exact.predict(x, coef, intercept, threads)[:, 0]
    return fitted


# Rows scaled at a time for a robust covariance's middle term: a block's copy
# stays small beside the data.
_MIDDLE_BLOCK_ROWS = 1 << 17


def robust_scales(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    weights: NDArray[np.float64] | None,
    params: NDArray[np.float64],
    bread: NDArray[np.float64],
    fit_intercept: bool,
    cov_type: str,
    threads: int,
) -> NDArray[np.float64]:
    """sᵣ with sᵣ² the ωᵣ of statsmodels' HC0–HC3 for weighted least
    squares: |wᵣeᵣ|, over √(1 − hᵣ) (HC2) or 1 − hᵣ (HC3), hᵣ = wᵣdᵣᵀBdᵣ with
    B the unscaled covariance. Elementwise and correctly rounded, so a row's
    scale depends on that row alone; HC1 is HC0 scaled afterwards."""
    resid = y - _fitted(x, params, fit_intercept, threads)
    scale = np.abs(resid if weights is None else weights * resid)
    if cov_type in ("HC2", "HC3"):
        leverage = _exact.row_leverage(x, np.ascontiguousarray(bread), fit_intercept, weights, threads)
        one_minus = 1.0 - leverage
        if not (one_minus > 0.0).all():
            row = int(np.argmin(one_minus))
            raise ValueError(
                f"{cov_type} is undefined here: row {row} has leverage 1 (it alone determines part "
                "of the fit, and its residual is zero); use HC0 or HC1"
            )
        scale = scale / (np.sqrt(one_minus) if cov_type == "HC2" else one_minus)
    return scale


def middle_moments(x: NDArray[np.float64], scale: NDArray[np.float64], fit_intercept: bool,
                   threads: int) -> Moments:
    """The moments of the rows sᵣdᵣ (dᵣ = [1 | xᵣ] or xᵣ, sᵣ from
    ``robust_scales``), whose Gram matrix is the middle term Σ ωᵣdᵣdᵣᵀ.
    Each product sᵣ·dᵣⱼ is rounded once, from its row alone, and the moments
    sum them exactly: within 2⁻⁵² of every term, and the same bits in any row
    order, chunking or thread count. Unweighted moments of the scaled rows
    take far fewer digit products than weighted moments of the rows, whose
    exact products of a weight and a value are pairs of doubles (at 10⁶ × 16,
    about a third of the time)."""
    n, p = x.shape
    k = p + (1 if fit_intercept else 0)
    total: Moments | None = None
    for start in range(0, max(n, 1), _MIDDLE_BLOCK_ROWS):
        stop = min(n, start + _MIDDLE_BLOCK_ROWS)
        rows = np.empty((stop - start, k))
        if fit_intercept:
            rows[:, 0] = scale[start:stop]
        np.multiply(scale[start:stop, None], x[start:stop], out=rows[:, k - p:])
        part = Moments.of(rows, np.empty((stop - start, 0)), None, threads)
        total = part if total is None else total.merge(part)
    assert total is not None
    return total
