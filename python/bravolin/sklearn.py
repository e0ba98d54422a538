"""A scikit-learn estimator on ``bravolin_learn``'s bit-reproducible fit.

``LinearRegression`` takes what scikit-learn's own estimator takes and gives
the same bits on every machine, every run and every thread count.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import (
    _check_sample_weight,
    check_is_fitted,
    check_non_negative,
    validate_data,
)

import bravolin_learn

from . import _exact, _scaling

__all__ = ["LinearRegression"]

_INVERSION_FAILED = "Matrix inversion failed."
_SINGULAR = (
    "Exactly collinear columns: the normal equations are singular (a duplicated, "
    "zero or constant feature, or a feature that is a combination of others)"
)


def check_enough_samples(n: int, k: int) -> None:
    """Refuses fewer samples than the design matrix has columns."""
    if n < k:
        raise np.linalg.LinAlgError(
            f"Exactly collinear columns: with n_samples={n} the {k} columns of the design "
            "matrix cannot be linearly independent"
        )


def weighted_design(
    x: NDArray[np.float64],
    y2: NDArray[np.float64],
    x_scaling: _scaling.Scaling,
    y_scaling: _scaling.Scaling,
    weights: NDArray[np.float64] | float | None,
    fit_intercept: bool,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The scaled design matrix [1 | X'] (or X') and Y', every row times the
    root of its weight, the intercept's ones included. All elementwise, so a
    block of rows gives exactly those rows of the whole."""
    n, p = x.shape
    first = 1 if fit_intercept else 0
    design = np.empty((n, p + first))
    design[:, :first] = 1.0
    _scaling.apply(x, x_scaling, out=design[:, first:])
    ys = _scaling.apply(y2, y_scaling)
    if weights is not None:
        root = np.sqrt(np.broadcast_to(np.asarray(weights, dtype=np.float64), (n,)))[:, None]
        design *= root
        ys *= root
    return design, ys


class LinearRegression(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Ordinary least squares with the same bits on every machine.

    A drop-in for ``sklearn.linear_model.LinearRegression``: it accepts
    array-likes and pandas DataFrames, any real dtype (converted to float64),
    a 1-D or 2-D ``y`` and ``sample_weight``, and works with ``clone``,
    ``Pipeline``, ``GridSearchCV`` and pickling.

    Each column of X and y is first centred on its midrange (with an
    intercept) and scaled by a power of two into [-1, 1]; both steps are
    exact or elementwise, so the fit stays reproducible bit for bit while
    badly scaled or offset data (a column of timestamps, one column a million
    times larger than the rest) is fitted about as accurately as
    ``numpy.linalg.lstsq`` does. The normal equations are then solved by
    ``bravolin_learn.LinearRegression`` and the parameters mapped back.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Whether to fit an intercept. Without one the data is scaled but not
        centred.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,) or (n_targets, n_features)
        The coefficients; one row per target when ``y`` was 2-D.
    intercept_ : float or ndarray of shape (n_targets,)
        The intercept (0.0 without one); an array when ``y`` was 2-D.
    n_features_in_ : int
        The number of features seen in ``fit``.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        The column names, when ``X`` was a DataFrame with string names.

    Raises
    ------
    numpy.linalg.LinAlgError
        From ``fit``, when columns of the design matrix are exactly collinear
        (a duplicated or constant feature, fewer samples than parameters):
        the normal equations then have no unique solution.
    """

    coef_: NDArray[np.float64]
    intercept_: float | NDArray[np.float64]

    def __init__(self, fit_intercept: bool = True) -> None:
        self.fit_intercept = fit_intercept

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        tags.input_tags.sparse = False
        return tags

    def fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None
    ) -> LinearRegression:
        """Fit the model; returns ``self``.

        ``X`` is (n_samples, n_features); ``y`` is (n_samples,) or
        (n_samples, n_targets). ``sample_weight`` (n_samples,), non-negative,
        weighs each sample's squared residual: its row of X and y is scaled
        by the square root of its weight.
        """
        fit_intercept = bool(self.fit_intercept)
        # X is checked for values that are not finite by the pass that takes
        # its bounds, rather than by a pass of its own; scikit-learn's check
        # runs only to say what is wrong, so the errors stay its own.
        try:
            checked_x, checked_y = validate_data(
                self, X, y, dtype=np.float64, multi_output=True, y_numeric=True,
                ensure_all_finite=False,
            )
        except ValueError:
            self._validate_fully(X, y)
            raise
        x: NDArray[np.float64] = checked_x
        targets: NDArray[np.float64] = np.asarray(checked_y, dtype=np.float64)
        y2 = targets.reshape(-1, 1) if targets.ndim == 1 else targets
        # One pass each over x and y, in place; equal to np.min and np.max,
        # NaN included.
        x_bounds = _exact.column_bounds(x)
        if not (np.all(np.isfinite(x_bounds[0])) and np.all(np.isfinite(x_bounds[1]))):
            self._validate_fully(X, y)
        y_bounds = _exact.column_bounds(y2)
        weights: NDArray[np.float64] | None = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, x, dtype=np.float64)
            check_non_negative(weights, "LinearRegression (input sample_weight)")
        n, p = x.shape
        check_enough_samples(n, p + 1 if fit_intercept else p)

        x_scaling = _scaling.scaling_from_bounds(*x_bounds, center=fit_intercept)
        y_scaling = _scaling.scaling_from_bounds(*y_bounds, center=fit_intercept)
        x_factors = _scaling.factors(x_scaling)
        y_factors = _scaling.factors(y_scaling)
        finite = all(np.all(np.isfinite(b)) for b in (*x_bounds, *y_bounds))
        if weights is None and finite and x_factors is not None and y_factors is not None:
            # The model reads x and y in place, each value mapped as it is
            # packed with the very operations of _scaling.apply: the bits of
            # a fit on the scaled copy, without the copy.
            params = _exact.fit(
                x, y2, x_scaling.shift, x_factors, y_scaling.shift, y_factors, fit_intercept
            )
            if params is None:
                raise np.linalg.LinAlgError(_SINGULAR)
        else:
            params = self._fit_scaled_copy(x, y2, x_scaling, y_scaling, weights)
        coef, intercept = _scaling.unscale(params, x_scaling, y_scaling, fit_intercept)
        if targets.ndim == 1:
            self.coef_ = coef[0]
            self.intercept_ = float(intercept[0])
        else:
            self.coef_ = coef
            self.intercept_ = intercept
        return self

    def _validate_fully(self, X: ArrayLike, y: ArrayLike) -> None:
        """scikit-learn's whole validation, its check of X's values included:
        raises what it would have raised for this X and y (nothing when its
        configuration assumes finite data)."""
        validate_data(self, X, y, dtype=np.float64, multi_output=True, y_numeric=True)

    def _fit_scaled_copy(
        self,
        x: NDArray[np.float64],
        y2: NDArray[np.float64],
        x_scaling: _scaling.Scaling,
        y_scaling: _scaling.Scaling,
        weights: NDArray[np.float64] | None,
    ) -> NDArray[np.float64]:
        """B (k, q) fitted by the core on scaled copies of x and y: with
        sample weights, when a scale is too extreme to be a product, or on
        values that are not finite (scikit-learn told to assume they are)."""
        fit_intercept = bool(self.fit_intercept)
        k = x.shape[1] + 1 if fit_intercept else x.shape[1]
        if weights is None:
            design = _scaling.apply(x, x_scaling)
            ys = _scaling.apply(y2, y_scaling)
            core = bravolin_learn.LinearRegression(fit_intercept)
        else:
            # The core fits the weighted design without an intercept of its
            # own: its ones column must be weighted too.
            design, ys = weighted_design(x, y2, x_scaling, y_scaling, weights, fit_intercept)
            core = bravolin_learn.LinearRegression(False)
        try:
            core.fit(design, ys)
        except RuntimeError as error:
            if str(error) != _INVERSION_FAILED:
                raise
            raise np.linalg.LinAlgError(_SINGULAR) from None
        del design

        # B (k x q) as the core stores it: row-major, its first element as
        # the intercept when the core fitted one.
        stored = core.coef_
        if core.fit_intercept:
            stored = np.concatenate(([core.intercept_], stored))
        params: NDArray[np.float64] = stored.reshape(k, y2.shape[1])
        return params

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """X·coef_ᵀ + intercept_ by the library's product, for every row of X.

        Returns (n_samples,) after a fit on a 1-D ``y``, otherwise
        (n_samples, n_targets). The bits are the same on every machine;
        like the core's predict, they depend on the whole of ``X``, not only
        on each row.
        """
        check_is_fitted(self)
        X = validate_data(self, X, reset=False, dtype=np.float64, order="C")
        coef = np.atleast_2d(self.coef_)
        intercept = np.atleast_1d(np.asarray(self.intercept_, dtype=np.float64))
        result: NDArray[np.float64] = _exact.predict(X, np.ascontiguousarray(coef.T), intercept)
        return result[:, 0] if np.ndim(self.coef_) == 1 else result


def _expected_failed_checks(estimator: LinearRegression) -> dict[str, str]:
    """The scikit-learn estimator checks this estimator is known to fail, with
    the reason; for ``parametrize_with_checks(..., expected_failed_checks=)``."""
    return {
        "check_sample_weight_equivalence_on_dense_data": (
            "the check fits more features than samples; the normal equations are then "
            "singular, and the estimator raises LinAlgError where scikit-learn's returns "
            "the minimum-norm solution"
        ),
    }
