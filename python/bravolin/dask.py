"""Linear regression over Dask collections, with the bits of one machine.

``LinearRegression`` takes Dask arrays or DataFrames of any chunking and gives
exactly the coefficients, intercepts and predictions of
``bravolin.sklearn.LinearRegression`` on the same data held in memory.

Why that is possible: the library's products of a tall matrix are a fixed
binary tree over row blocks (see ``_row_tree``). A fit reads the data twice:

1. Every block's column minimum and maximum, combined on the way up; both
   are exact, so the centring and power-of-two scaling are those of the whole
   columns, whatever the chunking.
2. The rows, rechunked so that every block is one node of the row tree at a
   depth fine enough for the input's chunks. A worker scales its node and
   computes the node's products DᵀD and DᵀY exactly as the recursion over the
   whole would (``bravolin._exact.node_products``); the nodes are combined
   pairwise up the tree in the recursion's order (``bravolin._exact.combine``).

The client then inverts and solves with the code of the in-memory fit, and
maps the parameters back as it does. Prediction follows the row tree of X·W
the same way: every node of X's rows is one product on a worker, the nodes'
rows concatenate.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import dask
import dask.array as da
import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import assert_all_finite, check_array
from sklearn.utils.validation import (
    _check_sample_weight,
    check_is_fitted,
    check_non_negative,
    validate_data,
)

from . import _exact, _row_tree, _scaling
from .sklearn import _SINGULAR, check_enough_samples, weighted_design

__all__ = ["LinearRegression"]

T = TypeVar("T")

# A node's task holds its rows about four times over (the block, the scaled
# design, and the product's copy of D and of Dᵀ), so nodes are a quarter of
# the largest input chunk: a worker's memory stays within a few chunks.
NODES_PER_CHUNK = 4
# But at least this many rows (short of the leaves' size), so that finely
# chunked input does not become millions of tiny products; 2**16 rows of a
# hundred columns are 50 MB.
MIN_NODE_ROWS = 1 << 16


def _pairwise(values: Sequence[T | None], combine: Callable[[T, T], T]) -> T:
    """Combines adjacent pairs level by level: (0, 1), (2, 3), ... The row
    tree's nodes at one depth, in row order, pair exactly so with their
    parents'. A missing right member (a node of padding rows only, whose
    products are +0.0) leaves the left one as it is."""
    level = list(values)
    while len(level) > 1:
        if len(level) % 2:
            level.append(None)
        level = [
            left if right is None else combine(left, right)  # type: ignore[arg-type]
            for left, right in zip(level[::2], level[1::2])
        ]
    assert level[0] is not None
    return level[0]


def _as_array(a: Any, name: str) -> da.Array:
    """A Dask array of known chunk sizes from a Dask array, DataFrame or
    Series (or anything NumPy takes)."""
    if hasattr(a, "to_dask_array"):
        a = a.to_dask_array(lengths=True)
    elif not isinstance(a, da.Array):
        a = da.from_array(np.asarray(a))
    if any(np.isnan(c) for cs in a.chunks for c in cs):
        a = a.compute_chunk_sizes()
    if a.ndim not in (1, 2) or (name == "X" and a.ndim != 2):
        raise ValueError(
            f"Expected a 2-dimensional {name}, got {a.ndim} dimension(s) with shape {a.shape}."
        )
    return a


def _columns_only(X: Any, p: int) -> Any:
    """No rows, X's columns: what scikit-learn's checks of feature names and
    counts read, without the data."""
    columns = getattr(X, "columns", None)
    if columns is None:
        return np.empty((0, p))
    import pandas as pd  # Dask DataFrames need pandas anyway

    return pd.DataFrame(columns=columns)


def _block_bounds(block: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # A 1-D y or weights as one column: made 2-D here rather than in the
    # graph, so that both passes of a fit share the same tasks for it.
    return _scaling.column_bounds(np.asarray(block, dtype=np.float64).reshape(len(block), -1))


def _bounds(a: da.Array) -> Any:
    """A delayed (lo, hi) over a's blocks of rows, or None for no rows."""
    blocks = [b for b, rows in zip(a.to_delayed().ravel(), a.chunks[0]) if rows]
    if not blocks:
        return None
    return _pairwise(
        [dask.delayed(_block_bounds, pure=True)(b) for b in blocks],
        dask.delayed(_scaling.combine_bounds, pure=True),
    )


def _check_finite(bounds: tuple[np.ndarray, np.ndarray], name: str) -> None:
    # A column's minimum is NaN exactly when it holds a NaN, and is -inf or its
    # maximum +inf exactly when it holds an infinity (short of a NaN beside
    # it, which the check reports first anyway): the bounds tell what the
    # in-memory check finds in the whole array, in its words.
    assert_all_finite(np.stack(bounds), input_name=name, estimator_name="LinearRegression")


def _node_products(
    x: np.ndarray,
    y: np.ndarray,
    weights: np.ndarray | float | None,
    x_scaling: _scaling.Scaling,
    y_scaling: _scaling.Scaling,
    side: int,
    fit_intercept: bool,
) -> tuple[np.ndarray, np.ndarray]:
    # Each row as the in-memory estimator makes it: all elementwise, so a
    # block's rows are the whole's.
    x = np.asarray(x, dtype=np.float64)
    y2 = np.asarray(y, dtype=np.float64).reshape(len(x), -1)
    design, ys = weighted_design(x, y2, x_scaling, y_scaling, weights, fit_intercept)
    return _exact.node_products(design, ys, side, False)


def _combine(top: tuple[np.ndarray, np.ndarray], bottom: tuple[np.ndarray, np.ndarray]):
    return _exact.combine(top[0], bottom[0]), _exact.combine(top[1], bottom[1])


def _node_predict(x: np.ndarray, w: np.ndarray, b: np.ndarray, side: int) -> np.ndarray:
    return _exact.node_predict(np.asarray(x, dtype=np.float64), w, b, side)


def _node_chunks(n: int, width: int, widest_chunk: int) -> tuple[tuple[int, ...], list[int]]:
    """Row chunks that are the nodes at the chosen depth (the empty ones
    dropped), and each chunk's padded side."""
    depth = _row_tree.depth_for(n, width, max(widest_chunk // NODES_PER_CHUNK, MIN_NODE_ROWS))
    nodes = [node for node in _row_tree.level(n, width, depth) if node.rows]
    return tuple(node.rows for node in nodes), [node.side for node in nodes]


class LinearRegression(RegressorMixin, BaseEstimator):
    """Ordinary least squares over Dask collections, bit for bit equal to
    ``bravolin.sklearn.LinearRegression`` fitted on the same data in memory.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Whether to fit an intercept. With one, the columns of X and y are
        centred on their midrange before the fit (and the intercept taken
        back exactly); without one, they are only scaled by powers of two.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,) or (n_targets, n_features)
    intercept_ : float or ndarray of shape (n_targets,)
        0.0 (or zeros) when ``fit_intercept`` is False.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame whose column names are all strings.
    """

    coef_: np.ndarray
    intercept_: float | np.ndarray

    def __init__(self, fit_intercept: bool = True):
        self.fit_intercept = fit_intercept

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> LinearRegression:
        """Fits on a Dask array or DataFrame X (n, p) and y (n,) or (n, q);
        ``sample_weight`` (n,), non-negative, a Dask array or a number,
        weighs each sample's squared residual. Computes on the current Dask
        scheduler; returns self.
        """
        fit_intercept = bool(self.fit_intercept)
        x = _as_array(X, "X")
        yy = _as_array(y, "y")
        one_target = yy.ndim == 1
        n, p = x.shape
        q = 1 if one_target else yy.shape[1]
        if n == 0 or p == 0:
            # The in-memory estimator's own wording for an empty X.
            check_array(np.empty(x.shape), estimator=self)
        # Sets n_features_in_ and feature_names_in_ (or removes a stale one),
        # first, as the in-memory estimator's validation does.
        validate_data(self, _columns_only(X, p), reset=True, skip_check_array=True)
        x = x.rechunk({1: -1})
        if not one_target:
            yy = yy.rechunk({1: -1})
        weights: Any = None
        if sample_weight is not None and not np.isscalar(sample_weight):
            weights = _as_array(sample_weight, "sample_weight")
            if weights.ndim != 1 or weights.shape[0] != n:
                # Its shape is refused in the in-memory estimator's words.
                _check_sample_weight(np.ones(weights.shape), np.empty((n, 0)))

        found = dask.compute(
            _bounds(x), _bounds(yy), None if weights is None else _bounds(weights)
        )
        x_bounds, y_bounds, w_bounds = found
        # In the in-memory estimator's order: X, y and their lengths, the
        # weights, then the number of samples against the parameters.
        _check_finite(x_bounds, "X")
        if y_bounds is not None:
            _check_finite(y_bounds, "y")
        if yy.shape[0] != n:
            raise ValueError(
                "Found input variables with inconsistent numbers of samples: "
                f"[{n}, {yy.shape[0]}]"
            )
        if sample_weight is not None:
            # The whole check on a stand-in with the same bounds: finiteness,
            # all zeros and signs depend on nothing else.
            stand_in = sample_weight if weights is None else np.concatenate(w_bounds)
            checked = _check_sample_weight(stand_in, np.empty((2, 0)), dtype=np.float64)
            check_non_negative(checked, "LinearRegression (input sample_weight)")
            if weights is None:
                weights = float(checked[0])
        k = p + 1 if fit_intercept else p
        check_enough_samples(n, k)
        x_scaling = _scaling.scaling_from_bounds(x_bounds[0], x_bounds[1], center=fit_intercept)
        y_scaling = _scaling.scaling_from_bounds(y_bounds[0], y_bounds[1], center=fit_intercept)

        chunks, node_sides = _node_chunks(n, max(k, q), max(x.chunks[0]))
        x_nodes = x.rechunk({0: chunks}).to_delayed().ravel()
        y_nodes = yy.rechunk({0: chunks}).to_delayed().ravel()
        if isinstance(weights, da.Array):
            w_nodes = list(weights.rechunk({0: chunks}).to_delayed().ravel())
        else:
            w_nodes = [weights] * len(chunks)
        products = [
            dask.delayed(_node_products, pure=True)(
                xb, yb, wb, x_scaling, y_scaling, side, fit_intercept
            )
            for xb, yb, wb, side in zip(x_nodes, y_nodes, w_nodes, node_sides)
        ]
        ((g, r),) = dask.compute(_pairwise(products, dask.delayed(_combine, pure=True)))

        params = _exact.solve(g, r)
        if params is None:
            raise np.linalg.LinAlgError(_SINGULAR)
        coef, intercept = _scaling.unscale(params, x_scaling, y_scaling, fit_intercept)
        self.coef_ = coef[0] if one_target else coef
        self.intercept_ = float(intercept[0]) if one_target else intercept
        return self

    def predict(self, X: Any) -> da.Array:
        """Predictions for a Dask array or DataFrame X, as a Dask array of one
        value per row (shape (n,) or (n, q)), chunked by the row tree.

        X is read once here, to refuse non-finite values at the call as the
        in-memory estimator does; the predictions themselves stay lazy.
        """
        check_is_fitted(self)
        x = _as_array(X, "X")
        n, p = x.shape
        if n == 0 or p == 0:
            check_array(np.empty(x.shape), estimator=self)
        # Feature names and count in scikit-learn's words (and warnings).
        validate_data(self, _columns_only(X, p), reset=False, skip_check_array=True)
        x = x.rechunk({1: -1})
        bounds, = dask.compute(_bounds(x))
        _check_finite(bounds, "X")

        coef = np.asarray(self.coef_, dtype=np.float64)
        one_target = coef.ndim == 1
        w = np.ascontiguousarray(coef.reshape(-1, p).T)  # (p, q)
        b = np.atleast_1d(np.asarray(self.intercept_, dtype=np.float64))
        q = w.shape[1]
        chunks, node_sides = _node_chunks(n, max(p, q), max(x.chunks[0]))
        nodes = x.rechunk({0: chunks})
        blocks = [
            da.from_delayed(
                dask.delayed(_node_predict, pure=True)(xb, w, b, side),
                shape=(rows, q),
                dtype=np.float64,
            )
            for xb, rows, side in zip(nodes.to_delayed().ravel(), chunks, node_sides)
        ]
        out = da.concatenate(blocks, axis=0)
        return out[:, 0] if one_target else out
