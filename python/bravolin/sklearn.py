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

    def __init__(self, fit_intercept: bool = True) -> None:
        self.fit_intercept = fit_intercept

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        tags.input_tags.sparse = False
        return tags

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> LinearRegression:
        """Fit the model; returns ``self``.

        ``X`` is (n_samples, n_features); ``y`` is (n_samples,) or
        (n_samples, n_targets). ``sample_weight`` (n_samples,), non-negative,
        weighs each sample's squared residual: its row of X and y is scaled
        by the square root of its weight.
        """
        fit_intercept = bool(self.fit_intercept)
        X, y = validate_data(self, X, y, dtype=np.float64, multi_output=True, y_numeric=True)
        y = np.asarray(y, dtype=np.float64)
        y2 = y.reshape(-1, 1) if y.ndim == 1 else y
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64)
            check_non_negative(weights, "LinearRegression (input sample_weight)")
        n, p = X.shape
        k = p + 1 if fit_intercept else p
        if n < k:
            raise np.linalg.LinAlgError(
                f"Exactly collinear columns: with n_samples={n} the {k} columns of the design "
                "matrix cannot be linearly independent"
            )

        x_scaling = _scaling.scaling_from_bounds(*_scaling.column_bounds(X), center=fit_intercept)
        y_scaling = _scaling.scaling_from_bounds(*_scaling.column_bounds(y2), center=fit_intercept)
        ys = _scaling.apply(y2, y_scaling)
        # The design matrix [1 | X'] is built here, with the scaled columns
        # written straight into it, and the core fits it without an intercept
        # of its own: the same bits as the core's own intercept column, one
        # pass over the data fewer.
        first = 1 if fit_intercept else 0
        design = np.empty((n, k))
        design[:, :first] = 1.0
        _scaling.apply(X, x_scaling, out=design[:, first:])
        if sample_weight is not None:
            # Every column, the intercept's ones included, is scaled by √w.
            root = np.sqrt(weights)[:, None]
            design *= root
            ys *= root
        core = bravolin_learn.LinearRegression(False)
        try:
            core.fit(design, ys)
        except RuntimeError as error:
            if str(error) != _INVERSION_FAILED:
                raise
            raise np.linalg.LinAlgError(
                "Exactly collinear columns: the normal equations are singular (a duplicated, "
                "zero or constant feature, or a feature that is a combination of others)"
            ) from None
        del design

        params = core.coef_.reshape(k, y2.shape[1])
        coef, intercept = _scaling.unscale(params, x_scaling, y_scaling, fit_intercept)
        if y.ndim == 1:
            self.coef_ = coef[0]
            self.intercept_ = float(intercept[0])
        else:
            self.coef_ = coef
            self.intercept_ = intercept
        return self

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
