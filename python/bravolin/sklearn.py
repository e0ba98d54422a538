"""A scikit-learn estimator that is right first, and the same bits everywhere.

``LinearRegression`` is a drop-in for ``sklearn.linear_model.LinearRegression``.
It accumulates the exact moments of the weighted data in one pass (an order
that cannot matter: shuffled rows, batches, threads and merged processes all
give the same integers), centres them exactly and solves in double-double
arithmetic with a rank-revealing eigendecomposition of the column-scaled
problem. Rank-deficient and underdetermined problems get scikit-learn's
answer, the minimum-norm solution.
"""

from __future__ import annotations

import contextlib
import warnings
from collections.abc import Iterator
from numbers import Integral, Real
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    import sklearn  # noqa: F401
except ImportError as error:  # an extra, not a dependency
    raise ImportError(
        "bravolin.sklearn needs scikit-learn: pip install 'bravolin_learn[sklearn]'"
    ) from error
from sklearn.base import BaseEstimator, RegressorMixin, _fit_context
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from . import _exact
from ._moments import Moments, Solution, default_threads

__all__ = ["LinearRegression", "IllConditionedWarning", "DEFAULT_TOL"]

# The relative cut-off on the singular values of the column-scaled, centred
# design. Exact collinearity in the stored doubles leaves singular values near
# 1e-16 of the largest after the double-double solve; the worst-conditioned
# NIST reference dataset (Filip) has about 1e-10 (and the solve, refined
# against the exact moments, resolves condition numbers up to 1e15). 1e-13
# sits between the two with margin.
DEFAULT_TOL = 1e-13


class IllConditionedWarning(UserWarning):
    """The rank or the accuracy of a fit is decided by the data's last bits:
    a singular value near the cut-off, or a condition number of the scaled
    problem beyond 1e15."""


def _weights(sample_weight: ArrayLike, x: Any, allow_all_zero: bool) -> NDArray[np.float64]:
    """Validated weights. A later batch of partial_fit may weigh all its rows
    zero: they are rows removed, and the batches together still have some."""
    try:
        return _check_sample_weight(sample_weight, x, dtype=np.float64, ensure_non_negative=True,
                                    allow_all_zero_weights=allow_all_zero)
    except TypeError:  # scikit-learn before the option, and before the check
        return _check_sample_weight(sample_weight, x, dtype=np.float64, ensure_non_negative=True)


def _sparse(x: Any) -> bool:
    return hasattr(x, "tocsr") and not isinstance(x, np.ndarray)


class LinearRegression(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Ordinary least squares, accurate to the stored data and reproducible.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Whether to fit an intercept (eliminated exactly in the moments).
    copy_X : bool, default=True
        Accepted for compatibility: X is never modified or copied.
    tol : float, default=1e-13
        Rank cut-off on the centred design with its columns scaled to unit
        norm: the pivoted Cholesky factorisation of that problem stops when
        the largest remaining pivot (a squared singular value, in effect) is
        at most ``tol**2``, and the minimum-norm solution over the kept
        directions is returned. For collinear or nearly collinear columns
        this drops the singular values below ``tol`` times the largest, to
        within a factor of the number of features.
        (scikit-learn's own default, 1e-6 on the unscaled design, truncates
        ill-conditioned but solvable problems such as NIST's Filip.)
    n_jobs : int or None, default=None
        Threads for the accumulation and prediction (None: every core). The
        results do not depend on it.
    positive : bool, default=False
        Constrain the coefficients to be non-negative (Lawson and Hanson's
        active set on the exact moments).

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,) or (n_targets, n_features)
    intercept_ : float or ndarray of shape (n_targets,)
    rank_ : int
        Rank of the centred (weighted) design, decided on the scaled problem.
    singular_ : ndarray of shape (min(n_samples, n_features),)
        Singular values of the centred (weighted) design, descending.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    The fit is a function of the multiset of weighted rows: the same bits for
    any row order, any batches given to ``partial_fit``, any thread count and
    machine; an integer weight w is the row repeated w times and a zero weight
    the row removed. Predictions are computed row by row, so a row's
    prediction does not depend on the rows that come with it.
    """

    coef_: NDArray[np.float64]
    intercept_: float | NDArray[np.float64]
    rank_: int
    singular_: NDArray[np.float64]

    # scikit-learn validates these on every fit, in its own words.
    _parameter_constraints: dict[str, list[Any]] = {
        "fit_intercept": ["boolean"],
        "copy_X": ["boolean"],
        "tol": [Interval(Real, 0, None, closed="left")],
        "n_jobs": [None, Integral],
        "positive": ["boolean"],
    }

    def __init__(
        self,
        *,
        fit_intercept: bool = True,
        copy_X: bool = True,
        tol: float = DEFAULT_TOL,
        n_jobs: int | None = None,
        positive: bool = False,
    ) -> None:
        self.fit_intercept = fit_intercept
        self.copy_X = copy_X
        self.tol = tol
        self.n_jobs = n_jobs
        self.positive = positive

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        tags.input_tags.sparse = True
        return tags

    def _moments_of(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None, reset: bool
    ) -> tuple[Moments, int]:
        x, target = validate_data(
            self,
            X,
            y,
            reset=reset,
            accept_sparse=["csr", "csc", "coo"],
            dtype=np.float64,
            multi_output=True,
            y_numeric=True,
        )
        target = np.asarray(target, dtype=np.float64)
        y2 = target.reshape(-1, 1) if target.ndim == 1 else target
        weights = None
        if sample_weight is not None:
            weights = _weights(sample_weight, x, allow_all_zero=not reset)
        moments = Moments.of(x, y2, weights, default_threads(self.n_jobs))
        return moments, target.ndim

    @_fit_context(prefer_skip_nested_validation=True)  # type: ignore[misc]
    def fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None
    ) -> LinearRegression:
        """Fit the model on X (n_samples, n_features), dense or sparse, and y
        (n_samples,) or (n_samples, n_targets); ``sample_weight`` (n_samples,)
        non-negative. Returns ``self``."""
        with unchanged_on_failure(self):
            moments, y_ndim = self._moments_of(X, y, sample_weight, reset=True)
            self._set_solution(moments, y_ndim)
            if hasattr(self, "_moments"):
                del self._moments
        return self

    @_fit_context(prefer_skip_nested_validation=True)  # type: ignore[misc]
    def partial_fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None
    ) -> LinearRegression:
        """Add a batch of rows and refit: after any sequence of batches the
        model has exactly the bits of ``fit`` on all their rows at once. The
        first call (or the first after ``fit``) starts afresh."""
        first = not hasattr(self, "_moments")
        with unchanged_on_failure(self):
            moments, y_ndim = self._moments_of(X, y, sample_weight, reset=first)
            if not first:
                if y_ndim != self._y_ndim or moments.n_targets != self._moments.n_targets:
                    raise ValueError(
                        f"y has {moments.n_targets} target(s) ({y_ndim}-D) but earlier batches "
                        f"had {self._moments.n_targets} ({self._y_ndim}-D)"
                    )
                moments = self._moments.merge(moments)
            self._set_solution(moments, y_ndim)
            self._moments = moments
            self._y_ndim = y_ndim
        return self

    def _set_solution(self, moments: Moments, y_ndim: int) -> None:
        set_fitted(self, solve_moments(moments, self.fit_intercept, self.tol, self.positive), y_ndim)

    def inference(
        self,
        X: ArrayLike,
        y: ArrayLike,
        sample_weight: ArrayLike | None = None,
        *,
        cov_type: str = "nonrobust",
    ) -> Any:
        """Standard errors, tests, intervals and a summary for this model on
        the data it was fitted on: ``bravolin.ols`` with the model's
        ``fit_intercept``, ``tol`` and ``n_jobs``. Its parameters have
        exactly the bits of ``coef_`` and ``intercept_``, except for a
        singular design with an intercept: the results then follow
        statsmodels' pseudo-inverse, whose least-norm solution includes the
        intercept (scikit-learn's leaves it out). One target."""
        check_is_fitted(self)
        if self.positive:
            raise ValueError("inference is defined for unconstrained least squares, not positive=True")
        # The data must be the fitted model's: its features, named as they were.
        validate_data(self, X, reset=False, skip_check_array=True)
        from .inference import ols

        return ols(X, y, fit_intercept=self.fit_intercept, sample_weight=sample_weight,
                   cov_type=cov_type, n_jobs=self.n_jobs, tol=self.tol)

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """X·coef_ᵀ + intercept_, each row from that row alone, in a fixed
        order (four lanes of every fourth product, added pairwise); dense X
        only: a sparse X's rows are summed over their nonzeros in column
        order. (n_samples,) after a fit on a 1-D y, else (n_samples, n_targets)."""
        check_is_fitted(self)
        x = validate_data(self, X, reset=False, accept_sparse=["csr", "csc", "coo"], dtype=np.float64)
        return predict_rows(x, self.coef_, self.intercept_, default_threads(self.n_jobs))


@contextlib.contextmanager
def unchanged_on_failure(estimator: BaseEstimator) -> Iterator[None]:
    """A fit that fails leaves the estimator as it was: validation sets
    n_features_in_ before the data is found wanting, and the attributes must
    not disagree."""
    saved = dict(estimator.__dict__)
    try:
        yield
    except BaseException:
        estimator.__dict__.clear()
        estimator.__dict__.update(saved)
        raise


def set_fitted(estimator: Any, solution: Solution, y_ndim: int) -> None:
    """The fitted attributes, typed and shaped as scikit-learn's: coef_ (p,)
    and a float64 intercept_ for a 1-D y, else (q, p) and (q,); 0.0 without
    an intercept."""
    if y_ndim == 1:
        estimator.coef_ = solution.coef[0]
        estimator.intercept_ = np.float64(solution.intercept[0])
    else:
        estimator.coef_ = solution.coef
        estimator.intercept_ = solution.intercept
    if not estimator.fit_intercept:
        estimator.intercept_ = 0.0
    estimator.rank_ = solution.rank
    estimator.singular_ = solution.singular


def solve_moments(moments: Moments, fit_intercept: bool, tol: float, positive: bool) -> Solution:
    """The solution, with a warning when its rank or accuracy is not
    resolved by the data; shared by the in-memory and Dask estimators."""
    tol = float(tol)
    if not tol >= 0.0:
        raise ValueError(f"tol must be a non-negative number, got {tol!r}")
    solution = moments.solve(bool(fit_intercept), tol, bool(positive))
    if solution.ill_conditioned:
        warnings.warn(
            f"Ill-conditioned least squares (rank {solution.rank} of "
            f"{moments.n_features} features at tol={tol:g}): a singular value of the scaled "
            "problem lies near the cut-off, or the condition number exceeds 1e15, so the "
            "rank or the last digits of the coefficients depend on rounding in the data.",
            IllConditionedWarning,
            stacklevel=3,
        )
    return solution


def predict_rows(
    x: Any, coef: NDArray[np.float64], intercept: float | NDArray[np.float64], threads: int
) -> NDArray[np.float64]:
    """Predictions of validated rows for coef_ (p,) or (q, p) and an
    intercept_ per target or one for all."""
    coef2 = np.ascontiguousarray(np.atleast_2d(coef), dtype=np.float64)
    b = np.atleast_1d(np.asarray(intercept, dtype=np.float64))
    if coef2.ndim != 2 or b.ndim != 1 or b.size not in (1, coef2.shape[0]) or x.shape[1] != coef2.shape[1]:
        raise ValueError(
            f"coef_ of shape {np.shape(coef)} and intercept_ of shape {np.shape(intercept)} "
            f"do not fit X with {x.shape[1]} features"
        )
    b = np.ascontiguousarray(np.broadcast_to(b, coef2.shape[:1]))
    if _sparse(x):
        # Each row's sum runs over its own nonzeros in column order; the
        # caller's matrix is not reordered in place.
        csr = x.tocsr()
        if not csr.has_sorted_indices:
            csr = csr.sorted_indices()
        out = np.empty((csr.shape[0], coef2.shape[0]))
        for t in range(coef2.shape[0]):
            out[:, t] = csr @ coef2[t] + b[t]
    else:
        out = _exact.predict(x, coef2, b, threads)
    result: NDArray[np.float64] = out[:, 0] if np.ndim(coef) == 1 else out
    return result
