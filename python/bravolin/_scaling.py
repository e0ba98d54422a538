"""Column centring and scaling that give the same bits on every machine.

The normal equations lose accuracy when columns are far from zero or differ
wildly in scale, so the estimators fit on columns moved to [-1, 1] and map the
parameters back. Every step here is exact or elementwise, so the result does
not depend on the order of any reduction, on BLAS or on how the data is split:

- a column's minimum and maximum are exact whatever order they are taken in,
  so per-chunk bounds combine to the bounds of the whole column;
- the shift is the midrange, computed elementwise from those bounds;
- the scale is a power of two, so scaling and unscaling are exact (short of
  overflow or underflow);
- the one sum left, the intercept's, is taken with math.fsum, which is exact.

Floating point signed zeros are the one place where min and max may depend on
order (min(-0.0, +0.0) may give either); both the shift and the exponent are
insensitive to that sign.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

Float = NDArray[np.float64]


class Scaling(NamedTuple):
    """Column j is mapped to ``ldexp(a[:, j] - shift[j], -exponent[j])``."""

    shift: Float
    exponent: NDArray[np.int64]


def column_bounds(a: Float) -> tuple[Float, Float]:
    """Each column's minimum and maximum, for a 2-D array with rows."""
    return np.min(a, axis=0), np.max(a, axis=0)


def combine_bounds(first: tuple[Float, Float], second: tuple[Float, Float]) -> tuple[Float, Float]:
    """The bounds of two row blocks stacked; exact, so any grouping is the same."""
    return np.minimum(first[0], second[0]), np.maximum(first[1], second[1])


def scaling_from_bounds(lo: Float, hi: Float, center: bool) -> Scaling:
    """The shift and power-of-two scale that bring every column into [-1, 1].

    Without centring (a model without an intercept must not be moved) the
    shift is zero and only the scale applies.
    """
    lo = np.asarray(lo, dtype=np.float64)
    hi = np.asarray(hi, dtype=np.float64)
    if center:
        # Halves first, so that the sum cannot overflow; + 0.0 turns a -0.0
        # shift into +0.0 whichever signed zero min and max happened to give.
        shift = (lo * 0.5 + hi * 0.5) + 0.0
        half = hi * 0.5 - lo * 0.5
    else:
        shift = np.zeros_like(lo)
        half = np.maximum(np.abs(lo), np.abs(hi))
    _, exponent = np.frexp(np.where(np.isfinite(half), half, 0.0))
    return Scaling(shift, exponent.astype(np.int64))


# Within this range of exponents 2**-exponent is a normal float64, and a
# product by it is correctly rounded like ldexp: the same bits, much faster.
_MULTIPLY_LIMIT = 1000


def factors(scaling: Scaling) -> Float | None:
    """The powers of two ``apply`` multiplies the shifted columns by, or None
    when an exponent is too large for that and ``apply`` takes ldexp."""
    if np.all(np.abs(scaling.exponent) < _MULTIPLY_LIMIT):
        return np.ldexp(1.0, -scaling.exponent)
    return None


def apply(a: Float, scaling: Scaling, out: Float | None = None) -> Float:
    """The scaled columns, as a new C-ordered array, or written into ``out``
    (any layout, the shape of ``a``), which is returned."""
    if out is None:
        out = np.empty(a.shape, dtype=np.float64)
    np.subtract(a, scaling.shift, out=out)
    factor = factors(scaling)
    if factor is not None:
        out *= factor
    else:
        np.ldexp(out, -scaling.exponent, out=out)
    return out


def unscale(
    params: Float, x_scaling: Scaling, y_scaling: Scaling, fit_intercept: bool
) -> tuple[Float, Float]:
    """Coefficients (q, p) and intercepts (q,) on the original scale.

    ``params`` is B, (k, q), fitted on scaled x and y: with an intercept its
    row 0 holds the intercepts and rows 1..p the coefficients.
    """
    first = 1 if fit_intercept else 0
    weights = params[first:, :].T  # (q, p)
    coef = np.ldexp(weights, y_scaling.exponent[:, None] - x_scaling.exponent[None, :])
    q = params.shape[1]
    intercept = np.zeros(q)
    if fit_intercept:
        for t in range(q):
            terms = [float(y_scaling.shift[t]), math.ldexp(float(params[0, t]), int(y_scaling.exponent[t]))]
            terms.extend(-(float(c) * float(s)) for c, s in zip(coef[t], x_scaling.shift))
            intercept[t] = math.fsum(terms)
    return coef, intercept
