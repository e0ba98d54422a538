"""Least-squares estimators that are accurate to the stored data and give the
same bits for any row order, batching, chunking, thread count or machine.

- ``bravolin.sklearn.LinearRegression``: a drop-in scikit-learn estimator.
- ``bravolin.dask.LinearRegression``: the same fit over Dask collections,
  with exactly the bits of the in-memory estimator.
- ``bravolin.ols``: the same fit with inference (standard errors, tests,
  intervals, a summary), every figure the same bits on every machine.

Both rest on the package's own engine (``bravolin._exact``): exact moments
accumulated in an order that cannot matter, and a rank-revealing solve in
double-double arithmetic. The submodules are imported on demand, so that ``import bravolin`` needs
neither scikit-learn nor Dask.
"""

from typing import TYPE_CHECKING, Any

__all__ = ["ols", "OLSResults"]

if TYPE_CHECKING:  # type checkers see the real signatures; run time imports on demand
    from .inference import OLSResults, ols


def __getattr__(name: str) -> Any:
    # Inference loads the compiled engine: only when asked for.
    if name in ("ols", "OLSResults"):
        from . import inference

        return getattr(inference, name)
    raise AttributeError(f"module 'bravolin' has no attribute {name!r}")
