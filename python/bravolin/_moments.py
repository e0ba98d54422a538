"""Exact moments of the weighted, augmented design, and the solve on them.

A ``Moments`` holds Σ wᵣ·aᵣᵢ·aᵣⱼ for the columns a = [1 | X | Y] as exact
integers on a grid fixed by each column's magnitude. The integers depend only
on the multiset of rows: any order, any batching, any number of threads and
any merge order give the same ones, and so the same fit, bit for bit. They are
plain NumPy arrays, so they pickle and travel between processes.
"""

from __future__ import annotations

import os
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _exact

__all__ = ["Moments", "Solution", "default_threads"]

# Rows of a sparse matrix made dense at a time: bounded memory, and the
# digits of a zero are zero, so the integers are those of the dense matrix.
_SPARSE_BLOCK_ROWS = 4096


def default_threads(n_jobs: int | None = None) -> int:
    """Threads for ``n_jobs`` as scikit-learn reads it (None: all cores,
    negative: counted back from all). Threads change the speed, never a bit."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if n_jobs is None or n_jobs == 0:
        return cores
    if n_jobs < 0:
        return max(1, cores + 1 + n_jobs)
    return int(n_jobs)


class Solution(NamedTuple):
    coef: NDArray[np.float64]  # (q, p)
    intercept: NDArray[np.float64]  # (q,)
    rank: int
    singular: NDArray[np.float64]
    ill_conditioned: bool
    dependent: tuple[int, ...] = ()  # features left out of the rank, ascending
    # What rounding the double-double solution to coef and intercept left out.
    coef_low: NDArray[np.float64] | None = None
    intercept_low: NDArray[np.float64] | None = None


class Moments:
    """The exact moments of the rows seen so far, for p features and q targets."""

    __slots__ = ("n_features", "n_targets", "state")

    def __init__(self, n_features: int, n_targets: int, state: tuple[Any, ...]) -> None:
        self.n_features = n_features
        self.n_targets = n_targets
        self.state = state

    def __reduce__(self) -> tuple[Any, ...]:
        return (Moments, (self.n_features, self.n_targets, self.state))

    @property
    def n_rows(self) -> int:
        return int(self.state[3])

    @classmethod
    def of(
        cls,
        x: Any,
        y2: NDArray[np.float64],
        sample_weight: NDArray[np.float64] | None = None,
        threads: int = 1,
    ) -> Moments:
        """The moments of validated float64 rows: x (n, p), dense or SciPy
        sparse, y2 (n, q), weights (n,) or None."""
        n, p = x.shape
        q = y2.shape[1]
        if hasattr(x, "tocsr") and not isinstance(x, np.ndarray):
            csr = x.tocsr()
            total: Moments | None = None
            for start in range(0, max(n, 1), _SPARSE_BLOCK_ROWS):
                stop = min(n, start + _SPARSE_BLOCK_ROWS)
                block = np.asarray(csr[start:stop].toarray(), dtype=np.float64)
                w = None if sample_weight is None else sample_weight[start:stop]
                part = cls(p, q, _exact.accumulate(block, y2[start:stop], w, threads))
                total = part if total is None else total.merge(part)
            assert total is not None
            return total
        return cls(p, q, _exact.accumulate(x, y2, sample_weight, threads))

    def merge(self, other: Moments) -> Moments:
        """The moments of both sets of rows, exactly those of one pass."""
        if (self.n_features, self.n_targets) != (other.n_features, other.n_targets):
            raise ValueError(
                f"cannot merge moments of {other.n_features} features and {other.n_targets} "
                f"targets into moments of {self.n_features} and {self.n_targets}"
            )
        return Moments(self.n_features, self.n_targets, _exact.merge(self.state, other.state))

    def solve(self, fit_intercept: bool, tol: float, positive: bool) -> Solution:
        """Least squares on the moments in double-double arithmetic: the
        minimum-norm solution when the column-scaled problem has singular
        values at or below ``tol`` times its largest."""
        coef, intercept, rank, singular, ill, dependent, coef_low, intercept_low = _exact.solve(
            self.state, self.n_features, bool(fit_intercept), float(tol), bool(positive)
        )
        return Solution(coef, intercept, int(rank), singular, bool(ill), tuple(dependent),
                        coef_low, intercept_low)
