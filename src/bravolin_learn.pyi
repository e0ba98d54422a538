"""Ordinary least-squares linear regression on float64 NumPy arrays.

Every matrix product is the project's own Strassen product, whose order of
floating-point operations is fixed, so a fit and a prediction give the same
bits on every run and every thread count.

For scikit-learn's conventions (array-likes, DataFrames, any real dtype, a
1-D ``y``, ``sample_weight``, pickling) use ``bravolin.sklearn.LinearRegression``.
"""

from typing import final

import numpy as np
from numpy.typing import NDArray

__all__ = ["LinearRegression"]

@final
class LinearRegression:
    """A least-squares linear model fitted by the normal equations.

    ``fit(x, y)`` solves B = (DᵀD)⁻¹(DᵀY), where D is ``x`` with a leading
    column of ones when ``fit_intercept`` is true; ``predict(x)`` gives
    ``x @ coef_ + intercept_``.

    Args:
        fit_intercept: whether to fit an intercept. Must be exactly ``True``
            or ``False`` (not ``0``/``1``, not ``numpy.bool_``).

    Raises:
        TypeError: ``fit_intercept`` is not a ``bool``.

    Example:
        >>> import numpy as np
        >>> from bravolin_learn import LinearRegression
        >>> model = LinearRegression(True)
        >>> model.fit(np.array([[1.0], [2.0], [3.0]]), np.array([[3.0], [5.0], [7.0]]))
        >>> model.coef_.round(12), round(model.intercept_, 12)
        (array([2.]), 1.0)
        >>> model.predict(np.array([[4.0]]))
        array([9.])

    The class cannot be subclassed, its instances take no other attributes,
    and it cannot be pickled.
    """

    def __new__(cls, fit_intercept: bool) -> LinearRegression: ...
    def fit(self, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
        """Fit the model to ``x`` and ``y``; a failed fit leaves the model as it was.

        Args:
            x: two-dimensional float64 array (n, p), one row per observation,
                in any memory layout. Nothing is converted.
            y: two-dimensional float64 array (n, q), ordinarily q = 1. With
                q > 1 columns the model stores all of B's elements in
                row-major order (the first as the intercept when one is fitted).

        Raises:
            TypeError: ``x`` or ``y`` is not a two-dimensional float64 ndarray.
            RuntimeError: "Matrix inversion failed." when DᵀD's LU meets an
                exactly zero pivot (typically a zero or duplicated column;
                there is no conditioning test);
                "Already borrowed" when the call re-enters an instance in use.
            MemoryError: an input or a product needs more memory than the
                machine has.
            PanicException: an internal fault, such as ``y`` with a different
                row count from ``x``. It derives from BaseException and is not
                a module attribute.
        """

    def predict(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        """Predict one value per row of ``x``: ``x @ coef_ + intercept_``.

        Args:
            x: two-dimensional float64 array with as many columns as
                ``coef_`` has values.

        Returns:
            A new one-dimensional float64 array of length ``x.shape[0]``.

        Raises:
            TypeError: ``x`` is not a two-dimensional float64 ndarray.
            RuntimeError: "Model has not been fitted yet." before a
                successful ``fit``.
        """

    @property
    def coef_(self) -> NDArray[np.float64]:
        """The fitted coefficients as a new one-dimensional float64 array,
        exactly as stored: one per feature when ``y`` had one column.

        Raises:
            AttributeError: "Model has not been fitted yet." (so ``hasattr``
                is false before a successful fit).
        """

    @property
    def intercept_(self) -> float:
        """The fitted intercept; 0.0 for a model without one.

        Raises:
            AttributeError: "Model has not been fitted yet."
        """

    @property
    def fit_intercept(self) -> bool:
        """The ``fit_intercept`` given to the constructor."""
