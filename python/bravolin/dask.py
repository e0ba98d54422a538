"""Linear regression over Dask collections, with the bits of one machine.

``LinearRegression`` takes Dask arrays or DataFrames of any row chunking
(unknown chunk sizes included) and gives exactly the coefficients,
intercepts, rank, singular values and predictions of
``bravolin.sklearn.LinearRegression`` on the same data held in memory.

Why that is possible: the in-memory fit is a function of the exact moments of
its rows (``bravolin._moments.Moments``), and moments merged in any order are
the integers of one pass over all the rows. So every worker validates its
chunk of X, y and the weights and takes the chunk's moments; the moments are
merged pairwise up a tree on the workers, and the client solves the merged
moments with the in-memory estimator's own solve. The data is read once, in
one ``compute``.

Predictions are row-wise, each row from that row alone, so they are the
in-memory ones for any chunking.
"""

from __future__ import annotations

import numbers
import operator
import uuid
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

try:
    import dask
    import dask.array as da
except ImportError as error:  # an extra, not a dependency
    raise ImportError("bravolin.dask needs Dask: pip install 'bravolin_learn[dask]'") from error
import numpy as np
from dask.base import is_dask_collection
from numpy.typing import NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import assert_all_finite, check_array, check_consistent_length
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from ._moments import Moments
from .sklearn import DEFAULT_TOL, predict_rows, set_fitted, solve_moments, unchanged_on_failure

__all__ = ["LinearRegression", "ols"]

T = TypeVar("T")

# Rows per block when X arrives in memory: 2**24 values, 128 MiB of float64,
# Dask's own default chunk size.
_MEMORY_BLOCK_VALUES = 1 << 24

_NAME = "LinearRegression"


def _sparse(a: Any) -> bool:
    return hasattr(a, "tocsr") and not isinstance(a, np.ndarray)


def _non_finite(a: Any) -> tuple[str, str] | None:
    """("NaN" or "infinity", the dtype) when a holds such a value, else None:
    scikit-learn names a NaN anywhere in the array before any infinity."""
    data = np.asarray(a.data if _sparse(a) else a)
    if data.dtype.kind not in "fc":
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        if np.isfinite(np.sum(data)):
            return None
    if np.isnan(data).any():
        return "NaN", data.dtype.str
    if np.isinf(data).any():
        return "infinity", data.dtype.str
    return None  # the sum overflowed


def _worse(a: tuple[str, str] | None, b: tuple[str, str] | None) -> tuple[str, str] | None:
    return a if b is None or (a is not None and a[0] == "NaN") else b


class _Facts:
    """What the in-memory checks of one array would find in a run of rows."""

    __slots__ = ("rows", "non_finite", "ndim", "negative", "nonzero")

    def __init__(
        self,
        rows: int = 0,
        non_finite: tuple[str, str] | None = None,
        ndim: int = 0,
        negative: bool = False,
        nonzero: bool = False,
    ) -> None:
        self.rows = rows
        self.non_finite = non_finite
        self.ndim = ndim
        self.negative = negative
        self.nonzero = nonzero

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Facts, (self.rows, self.non_finite, self.ndim, self.negative, self.nonzero))

    @classmethod
    def of(cls, a: Any, weights: bool = False) -> _Facts:
        non_finite = _non_finite(a)
        rows = a.shape[0] if a.ndim else 1
        if not weights or non_finite is not None or a.size == 0:
            return cls(rows, non_finite, a.ndim)
        return cls(rows, None, a.ndim, bool(np.min(a) < 0), bool(np.any(a != 0)))

    def then(self, later: _Facts) -> _Facts:
        """These rows followed by ``later``'s."""
        return _Facts(
            self.rows + later.rows,
            _worse(self.non_finite, later.non_finite),
            max(self.ndim, later.ndim),
            self.negative or later.negative,
            self.nonzero or later.nonzero,
        )


class _Tally:
    """A run of rows: the facts about X, y and the weights in it, and its
    moments (None for no rows). ``valid`` is False when some row or pairing
    is not; the facts then tell which error to raise."""

    __slots__ = ("x", "y", "w", "moments", "valid")

    def __init__(
        self, x: _Facts, y: _Facts, w: _Facts, moments: Moments | None, valid: bool
    ) -> None:
        self.x, self.y, self.w = x, y, w
        self.moments = moments
        self.valid = valid

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Tally, (self.x, self.y, self.w, self.moments, self.valid))


def _then(first: _Tally, later: _Tally) -> _Tally:
    valid = first.valid and later.valid
    moments = None
    if valid:
        if first.moments is None or later.moments is None:
            moments = first.moments if later.moments is None else later.moments
        else:
            moments = first.moments.merge(later.moments)
    return _Tally(
        first.x.then(later.x), first.y.then(later.y), first.w.then(later.w), moments, valid
    )


def _valid_x(block: Any) -> Any:
    # Non-finite values are counted, not raised, so that the message can be
    # the one the whole array gives.
    return check_array(
        block,
        accept_sparse=["csr", "csc", "coo"],
        dtype=np.float64,
        ensure_all_finite=False,
        ensure_min_samples=0,
        ensure_min_features=0,
        estimator=_NAME,
        input_name="X",
    )


def _valid_y(block: Any) -> NDArray[Any]:
    y = check_array(
        block,
        accept_sparse="csr",
        ensure_all_finite=False,
        ensure_2d=False,
        dtype=None,
        ensure_min_samples=0,
        estimator=_NAME,
        input_name="y",
    )
    if y.dtype.kind == "O":
        y = y.astype(np.float64)
    return y


def _valid_w(block: Any) -> NDArray[np.float64]:
    return check_array(
        block,
        accept_sparse=False,
        ensure_2d=False,
        dtype=np.float64,
        order="C",
        ensure_all_finite=False,
        ensure_min_samples=0,
        input_name="sample_weight",
    )


def _take(whole: Any, start: int, rows: int | None) -> Any:
    """Rows [start, start + rows) of an in-memory array, Series or frame
    (to the end for None)."""
    stop = None if rows is None else start + rows
    return whole.iloc[start:stop] if hasattr(whole, "iloc") else whole[start:stop]


def _num_rows(block: Any) -> int:
    return int(block.shape[0])


def _tally_block(x_block: Any, y_block: Any, w_block: Any, y_start: Any, w_start: Any) -> _Tally:
    """One chunk's facts and moments. A y or weights given in memory comes
    whole, with the chunk's first row in it; a scalar weight as a float."""
    x = _valid_x(x_block)
    n = x.shape[0]
    if y_start is not None:
        y_block = _take(y_block, y_start, n)
    y = _valid_y(y_block)
    x_facts, y_facts = _Facts.of(x), _Facts.of(y)
    valid = x_facts.non_finite is None and y_facts.non_finite is None and y_facts.rows == n
    w: NDArray[np.float64] | None = None
    w_facts = _Facts()
    if isinstance(w_block, float):
        w = np.full(n, w_block)
        valid = valid and bool(np.isfinite(w_block)) and w_block >= 0.0
    elif w_block is not None:
        if w_start is not None:
            w_block = _take(w_block, w_start, n)
        w = _valid_w(w_block)
        w_facts = _Facts.of(w, weights=True)
        valid = valid and w_facts.non_finite is None and w_facts.ndim == 1
        valid = valid and w_facts.rows == n and not w_facts.negative
    moments = None
    if valid:
        y2 = np.asarray(y, dtype=np.float64)
        moments = Moments.of(x, y2.reshape(-1, 1) if y2.ndim == 1 else y2, w, 1)
    return _Tally(x_facts, y_facts, w_facts, moments, valid)


def _tally_tail(y: Any, y_start: Any, w: Any, w_start: Any) -> _Tally:
    """The rows of an in-memory y or weights past X's last row: none when
    the lengths agree; else checked as the in-memory estimator checks all."""
    y_facts = _Facts() if y is None else _Facts.of(_valid_y(_take(y, y_start, None)))
    w_facts = _Facts() if w is None else _Facts.of(_valid_w(_take(w, w_start, None)), True)
    return _Tally(_Facts(), y_facts, w_facts, None, y_facts.rows == 0 and w_facts.rows == 0)


def _tally_facts(block: Any, role: str) -> _Tally:
    """Facts alone, for arrays whose chunks do not pair with X's."""
    empty = _Facts()
    if role == "x":
        return _Tally(_Facts.of(_valid_x(block)), empty, empty, None, False)
    if role == "y":
        return _Tally(empty, _Facts.of(_valid_y(block)), empty, None, False)
    return _Tally(empty, empty, _Facts.of(_valid_w(block), weights=True), None, False)


def _tree(values: Sequence[T], combine: Callable[[T, T], T]) -> T:
    """Adjacent pairs combined level by level, (0, 1), (2, 3), ..., an odd
    last one going up as it is: a balanced tree whose depth, and so the
    latency after the last chunk, grows with the logarithm of the chunks."""
    level = list(values)
    while len(level) > 1:
        paired = [combine(a, b) for a, b in zip(level[::2], level[1::2])]
        level = paired + level[len(paired) * 2 :]
    return level[0]


class _Rows:
    """An input as row blocks: delayed blocks and their sizes (NaN where
    unknown) for Dask collections, or the whole object for one in memory."""

    def __init__(
        self,
        blocks: list[Any],
        sizes: tuple[float, ...],
        ndim: int,
        width: float,
        columns: Any = None,
        array: da.Array | None = None,
        whole: Any = None,
    ) -> None:
        self.blocks = blocks
        self.sizes = sizes
        self.ndim = ndim
        self.width = width
        self.columns = columns
        self.array = array
        self.whole = whole

    @property
    def known(self) -> bool:
        return not any(np.isnan(s) for s in self.sizes)

    @property
    def n(self) -> float:
        return float(sum(self.sizes))


def _dask_rows(a: Any) -> _Rows:
    if isinstance(a, da.Array):
        if a.ndim == 2 and len(a.chunks[1]) > 1:
            # A block must hold whole rows.
            a = a.rechunk({1: -1})
        width = a.shape[1] if a.ndim == 2 else 1
        # Unoptimised, so that X, y and weights cut from one source share
        # its tasks in the single compute.
        blocks = list(a.to_delayed(optimize_graph=False).ravel())
        return _Rows(blocks, a.chunks[0], a.ndim, width, array=a)
    blocks = list(a.to_delayed())
    columns = getattr(a, "columns", None)
    width = 1 if columns is None else len(columns)
    return _Rows(blocks, (np.nan,) * len(blocks), a.ndim, width, columns=columns)


def _memory_whole(a: Any) -> Any:
    if hasattr(a, "iloc"):
        return a
    if _sparse(a):
        return a if a.format in ("csr", "csc") else a.tocsr()
    return np.asarray(a)


def _x_rows(X: Any, estimator: Any = None) -> _Rows:
    if is_dask_collection(X):
        rows = _dask_rows(X)
    else:
        whole = _memory_whole(X)
        n = whole.shape[0] if whole.ndim else 0
        width = whole.shape[1] if whole.ndim == 2 else 1
        step = max(1, _MEMORY_BLOCK_VALUES // max(width, 1))
        key = dask.delayed(whole, name=f"bravolin-X-{uuid.uuid4().hex}")
        starts = range(0, n, step) if n else [0]
        blocks = [dask.delayed(_take, pure=True)(key, s, min(step, n - s)) for s in starts]
        sizes = tuple(min(step, n - s) for s in starts)
        rows = _Rows(blocks, sizes, whole.ndim, width, getattr(whole, "columns", None))
    if rows.ndim > 2:
        check_array(np.empty((0,) * rows.ndim), estimator=estimator, ensure_min_samples=0)
    if rows.ndim < 2:
        # scikit-learn's words, with the array as str() shows it (a Dask
        # array's values are not computed for a message).
        raise ValueError(
            f"Expected 2D array, got {'1D' if rows.ndim else 'scalar'} array instead:\narray={X}.\n"
            "Reshape your data either using array.reshape(-1, 1) if your data has a single "
            "feature or array.reshape(1, -1) if it contains a single sample."
        )
    if np.isnan(rows.width):
        raise ValueError("X has an unknown number of columns; call compute_chunk_sizes() on it.")
    return rows


def _companion(a: Any, x: _Rows) -> _Rows:
    """y or the weights, cut into X's row blocks where it can be."""
    if not is_dask_collection(a):
        whole = _memory_whole(a)
        rows = whole.shape[0] if whole.ndim else 1
        width = whole.shape[1] if whole.ndim == 2 else 1
        return _Rows([], (rows,), whole.ndim, width, whole=whole)
    rows = _dask_rows(a)
    if rows.array is not None and x.known and rows.known and rows.n == x.n:
        if rows.sizes != x.sizes:
            rows = _dask_rows(rows.array.rechunk({0: x.sizes}))
    return rows


def _pairs_with(c: _Rows | None, x: _Rows) -> bool:
    # In memory, it is cut to X's chunks on the workers; in Dask, its blocks
    # pair with X's by position when there are as many.
    return c is None or c.whole is not None or len(c.blocks) == len(x.blocks)


def _columns_only(rows: _Rows) -> Any:
    """No rows, X's columns: what scikit-learn's checks of feature names and
    counts read, without the data."""
    if rows.columns is None:
        return np.empty((0, int(rows.width)))
    import pandas as pd  # Dask DataFrames need pandas anyway

    return pd.DataFrame(columns=rows.columns)


def _raise_non_finite(facts: _Facts, name: str) -> None:
    if facts.non_finite is not None:
        kind, dtype = facts.non_finite
        stand_in = np.array([np.nan if kind == "NaN" else np.inf], dtype=np.dtype(dtype))
        assert_all_finite(stand_in, estimator_name=_NAME, input_name=name)


class LinearRegression(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Ordinary least squares over Dask collections, bit for bit equal to
    ``bravolin.sklearn.LinearRegression`` fitted on the same data in memory.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Whether to fit an intercept.
    tol : float, default=1e-13
        Relative cut-off on the singular values of the centred, column-scaled
        design, as for ``bravolin.sklearn.LinearRegression``.
    positive : bool, default=False
        Constrain the coefficients to be non-negative.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,) or (n_targets, n_features)
    intercept_ : float or ndarray of shape (n_targets,)
    rank_ : int
    singular_ : ndarray of shape (min(n_samples, n_features),)
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame whose column names are all strings.

    Each chunk's work runs on the workers with one thread: Dask's
    parallelism is over the chunks.
    """

    coef_: NDArray[np.float64]
    intercept_: float | NDArray[np.float64]
    rank_: int
    singular_: NDArray[np.float64]

    def __init__(
        self, *, fit_intercept: bool = True, tol: float = DEFAULT_TOL, positive: bool = False
    ) -> None:
        self.fit_intercept = fit_intercept
        self.tol = tol
        self.positive = positive

    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> LinearRegression:
        """Fit on X (n, p) and y (n,) or (n, q): Dask arrays, DataFrames or
        Series (NumPy and pandas are accepted too), chunked along rows in any
        way; y and the weights either share X's partitions or have known
        chunk sizes. ``sample_weight`` (n,), non-negative: a Dask array or
        Series, an in-memory array or a number. Reads the data once, on the
        current Dask scheduler; returns self."""
        with unchanged_on_failure(self):
            self._fit(X, y, sample_weight)
        return self

    def _fit(self, X: Any, y: Any, sample_weight: Any) -> None:
        if y is None:
            raise ValueError(
                f"This {type(self).__name__} estimator requires y to be passed, but the target y is None."
            )
        x = _x_rows(X, self)
        # Sets n_features_in_ and feature_names_in_ (or removes stale ones)
        # and refuses mixed column names, as the in-memory validation does.
        validate_data(self, _columns_only(x), reset=True, skip_check_array=True)
        yy = _companion(y, x)
        scalar = sample_weight if isinstance(sample_weight, numbers.Number) else None
        w = None if sample_weight is None or scalar is not None else _companion(sample_weight, x)

        if all(_pairs_with(c, x) for c in (yy, w)):
            tally = dask.compute(self._paired(x, yy, w, scalar))[0]
        else:
            tally = dask.compute(self._unpaired(x, yy, w))[0]
        n, p = tally.x.rows, int(x.width)
        self._raise_any_error(tally, n, p, yy, w, scalar)

        self._moments = tally.moments
        set_fitted(self, solve_moments(tally.moments, self.fit_intercept, self.tol, self.positive), yy.ndim)

    @staticmethod
    def _paired(x: _Rows, yy: _Rows, w: _Rows | None, scalar: Any) -> Any:
        """The delayed merged tally of the chunks, paired by position."""
        x_sizes: list[Any] = list(x.sizes) if x.known else [
            dask.delayed(_num_rows, pure=True)(b) for b in x.blocks
        ]
        # In-memory y and weights are cut on the workers at each chunk's
        # first row, a running sum of the sizes (delayed where unknown).
        starts: list[Any] = [0]
        for size in x_sizes[:-1]:
            if isinstance(size, (int, float)):
                starts.append(starts[-1] + int(size))
            else:
                starts.append(dask.delayed(operator.add, pure=True)(starts[-1], size))
        end: Any = dask.delayed(operator.add, pure=True)(starts[-1], x_sizes[-1])
        if x.known:
            end = int(x.n)

        def pieces(c: _Rows | None) -> tuple[list[Any], list[Any], Any]:
            if c is None:
                fill = None if scalar is None else float(scalar)
                return [fill] * len(x.blocks), [None] * len(x.blocks), None
            if c.whole is None:
                return c.blocks, [None] * len(x.blocks), None
            key = dask.delayed(c.whole, name=f"bravolin-data-{uuid.uuid4().hex}")
            return [key] * len(x.blocks), starts, key

        y_blocks, y_starts, y_whole = pieces(yy)
        w_blocks, w_starts, w_whole = pieces(w)
        tallies = [
            dask.delayed(_tally_block, pure=True)(xb, yb, wb, ys, ws)
            for xb, yb, wb, ys, ws in zip(x.blocks, y_blocks, w_blocks, y_starts, w_starts)
        ]
        if y_whole is not None or w_whole is not None:
            tallies.append(dask.delayed(_tally_tail, pure=True)(y_whole, end, w_whole, end))
        return _tree(tallies, dask.delayed(_then, pure=True))

    @staticmethod
    def _unpaired(x: _Rows, yy: _Rows, w: _Rows | None) -> Any:
        """Facts alone, each array in its own blocks: an error is certain
        (different lengths, or partitions that cannot be paired), and these
        tell which one the in-memory estimator would raise first."""
        tallies = []
        for rows, role in ((x, "x"), (yy, "y"), (w, "w")):
            if rows is None:
                continue
            blocks = rows.blocks if rows.whole is None else [rows.whole]
            tallies += [dask.delayed(_tally_facts, pure=True)(b, role) for b in blocks]
        return _tree(tallies, dask.delayed(_then, pure=True))

    def _raise_any_error(
        self, tally: _Tally, n: int, p: int, yy: _Rows, w: _Rows | None, scalar: Any
    ) -> None:
        """The in-memory estimator's first error for this data, if any: X,
        then y, their lengths, then the weights."""
        _raise_non_finite(tally.x, "X")
        if n == 0 or p == 0:
            check_array(np.empty((n, p)), estimator=self)
        _raise_non_finite(tally.y, "y")
        y_rows = tally.y.rows
        if y_rows == 0:
            check_array(np.empty((0, int(yy.width))[: yy.ndim]), ensure_2d=False, estimator=self)
        check_consistent_length(np.empty((n, 0)), np.empty((y_rows, 0)))
        if w is not None:
            _raise_non_finite(tally.w, "sample_weight")
            if tally.w.ndim != 1:
                _check_sample_weight(np.ones((1,) * tally.w.ndim), np.empty((n, 0)))
            if tally.w.rows != n:
                raise ValueError(f"sample_weight.shape == {(tally.w.rows,)}, expected {(n,)}!")
            stand_in = [-1.0] if tally.w.negative else [1.0] if tally.w.nonzero else [0.0]
            _check_sample_weight(
                np.array(stand_in), np.empty((1, 0)), dtype=np.float64, ensure_non_negative=True
            )
        if scalar is not None:
            checked = _check_sample_weight(
                scalar, np.empty((1, 0)), dtype=np.float64, ensure_non_negative=True
            )
            # A NaN passes scikit-learn's checks of a number; the engine
            # refuses it, in its own words, as it does in memory.
            Moments.of(np.zeros((1, 1)), np.zeros((1, 1)), checked, 1)
        if not tally.valid or tally.moments is None:
            names = "X and y" if w is None else "X, y and sample_weight"
            raise ValueError(
                f"{names} have {n} rows each but are partitioned differently (chunk sizes "
                "that are unknown or cannot be matched): give them the same partitions, or "
                "call compute_chunk_sizes() on the Dask arrays."
            )

    def predict(self, X: Any) -> da.Array:
        """Predictions for X as a Dask array, one value per row: (n,) after a
        fit on a 1-D y, else (n, n_targets). Each chunk is validated and
        predicted on the workers, so non-finite values raise the in-memory
        error when the result is computed."""
        check_is_fitted(self)
        x = _x_rows(X, self)
        validate_data(self, _columns_only(x), reset=False, skip_check_array=True)
        coef = np.asarray(self.coef_, dtype=np.float64)
        intercept = self.intercept_
        one_target = coef.ndim == 1
        tail: tuple[int, ...] = () if one_target else (coef.shape[0],)
        meta = np.empty((0,) + tail)
        if x.array is not None:
            return da.map_blocks(
                _predict_block,
                x.array,
                coef,
                intercept,
                chunks=(x.array.chunks[0],) + tuple((t,) for t in tail),
                drop_axis=[1] if one_target else [],
                meta=meta,
            )
        pieces = [
            da.from_delayed(
                dask.delayed(_predict_block, pure=True)(b, coef, intercept),
                shape=(size,) + tail,
                meta=meta,
            )
            for b, size in zip(x.blocks, x.sizes)
        ]
        return da.concatenate(pieces, axis=0)

    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float:
        """R² of the predictions for X, as scikit-learn's ``r2_score`` gives it
        on the computed values (any Dask collection, known chunk sizes or not)."""
        from sklearn.metrics import r2_score

        # One collection at a time: array graphs and frame expressions do not
        # compute well together.
        predicted, truth, weights = (dask.compute(v)[0] for v in (self.predict(X), y, sample_weight))
        return float(r2_score(np.asarray(truth), np.asarray(predicted),
                              sample_weight=None if weights is None else np.asarray(weights)))


def _predict_block(block: Any, coef: NDArray[np.float64], intercept: Any) -> NDArray[np.float64]:
    x = check_array(
        block,
        accept_sparse=["csr", "csc", "coo"],
        dtype=np.float64,
        ensure_min_samples=0,
        estimator=_NAME,
        input_name="X",
    )
    return predict_rows(x, coef, intercept, 1)


def _predict_frame(part: Any, coef: NDArray[np.float64], intercept: Any) -> Any:
    import pandas as pd

    return pd.Series(_predict_block(part, coef, intercept), index=part.index, name="fitted")


def _middle_block(
    x_block: Any, y_block: Any, w_block: Any, params: NDArray[np.float64],
    bread: NDArray[np.float64], fit_intercept: bool, cov_type: str,
) -> Moments:
    """One chunk's share of a robust covariance's middle term."""
    from .inference import middle_moments, robust_scales

    x = np.asarray(_valid_x(x_block), dtype=np.float64)
    y = np.asarray(_valid_y(y_block), dtype=np.float64).reshape(-1)
    w = None if w_block is None else np.asarray(_valid_w(w_block), dtype=np.float64).reshape(-1)
    return middle_moments(x, robust_scales(x, y, w, params, bread, fit_intercept, cov_type, 1), fit_intercept, 1)


def _block_weight_counts(w_block: Any) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    from .inference import weight_counts

    return weight_counts(np.asarray(_valid_w(w_block), dtype=np.float64).reshape(-1))


def _join_counts(a: tuple[Any, Any], b: tuple[Any, Any]) -> tuple[Any, Any]:
    return np.concatenate([a[0], b[0]]), np.concatenate([a[1], b[1]])


def ols(
    X: Any,
    y: Any,
    *,
    fit_intercept: bool = True,
    sample_weight: Any = None,
    cov_type: str = "nonrobust",
    tol: float = DEFAULT_TOL,
) -> Any:
    """``bravolin.ols`` over Dask collections: the same results object, bit
    for bit equal to the in-memory one for any chunking. The fit reads the
    data once; a robust covariance (HC0–HC3) a second time, its middle term
    accumulated per chunk on the workers and merged as the moments are. y and
    the weights must share X's row partitions (one target)."""
    from .inference import COV_TYPES, _labels, log_weight_sum, results_from_moments, y_label

    if cov_type not in COV_TYPES:
        raise ValueError(f"cov_type must be one of {', '.join(COV_TYPES)}; got {cov_type!r}")
    model = LinearRegression(fit_intercept=fit_intercept, tol=tol).fit(X, y, sample_weight=sample_weight)
    moments: Moments = model._moments
    if moments.n_targets != 1:
        raise ValueError("ols takes one target: y must be 1-D or have one column")
    x = _x_rows(X)
    yy = _companion(y, x)
    w = None if sample_weight is None else _companion(sample_weight, x)
    for rows, name in ((yy, "y"), (w, "sample_weight")):
        if rows is not None and (rows.whole is not None or len(rows.blocks) != len(x.blocks)):
            raise ValueError(
                f"ols over Dask needs {name} as a Dask collection with X's row partitions"
            )
    w_blocks = [None] * len(x.blocks) if w is None else w.blocks

    def middle(params: NDArray[np.float64], bread: NDArray[np.float64]) -> Any:
        parts = [
            dask.delayed(_middle_block, pure=True)(xb, yb, wb, params, bread, fit_intercept, cov_type)
            for xb, yb, wb in zip(x.blocks, yy.blocks, w_blocks)
        ]
        return dask.compute(_tree(parts, dask.delayed(Moments.merge, pure=True)))[0].state

    log_sum, positive_rows = 0.0, None
    if w is not None:
        counts = [dask.delayed(_block_weight_counts, pure=True)(wb) for wb in w.blocks]
        values, totals = dask.compute(_tree(counts, dask.delayed(_join_counts, pure=True)))[0]
        log_sum = log_weight_sum(values, totals)
        positive_rows = int(totals.sum())
    columns = getattr(model, "feature_names_in_", None)
    names = (["const"] if fit_intercept else []) + _labels(X, moments.n_features, "x")
    frame = hasattr(X, "columns")
    y_array = yy.array if yy.array is not None else y
    if y_array is not None and getattr(y_array, "ndim", 1) == 2:
        y_array = y_array[y_array.columns[0]] if hasattr(y_array, "columns") else y_array[:, 0]

    def fitted(params: NDArray[np.float64]) -> Any:
        k = 1 if fit_intercept else 0
        shadow = LinearRegression(fit_intercept=fit_intercept)
        shadow.coef_ = np.ascontiguousarray(params[k:])
        shadow.intercept_ = float(params[0]) if fit_intercept else 0.0
        shadow.n_features_in_ = model.n_features_in_
        if columns is not None:
            shadow.feature_names_in_ = columns
        if frame:
            # A Series on X's index, as in memory from a pandas frame.
            return X.map_partitions(_predict_frame, shadow.coef_, shadow.intercept_,
                                    meta=("fitted", "f8"))
        return shadow.predict(X)

    return results_from_moments(
        moments,
        fit_intercept=fit_intercept,
        cov_type=cov_type,
        middle=middle,
        log_weight_sum=log_sum,
        names=names,
        y_name=y_label(y),
        data=(fitted, y_array),
        pandas_index=None,
        labelled=frame,
        nobs=positive_rows,
        tol=tol,
    )
