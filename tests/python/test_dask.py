"""bravolin.dask against the in-memory estimator: the same bits for any
chunking (unknown chunk sizes and DataFrame partitions included), after a
worker dies mid-fit, and the same errors.

The oracle is bravolin.sklearn.LinearRegression on the concatenated data in
one process, where the Dask estimator validates and accumulates each chunk in
another process and merges the results up a tree.
"""

import faulthandler
import sys
import os
import signal
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
pytest.importorskip("sklearn")

import bravolin.dask as bravolin_dask  # noqa: E402
from bravolin.sklearn import LinearRegression as InMemory  # noqa: E402

# Every test must end on its own: a fit here takes well under a second.
DEADLINE = 120


@pytest.fixture(autouse=True)
def deadline():
    # A hung cluster call ends the run with every thread's traceback instead
    # of blocking it.
    faulthandler.dump_traceback_later(DEADLINE * 2, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


def local_cluster():
    return distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    )


@pytest.fixture(scope="module")
def client():
    with local_cluster() as cluster, distributed.Client(cluster, timeout=DEADLINE) as c:
        yield c


def assert_same_bits(got, want):
    got = np.ascontiguousarray(np.asarray(got, dtype=np.float64))
    want = np.ascontiguousarray(np.asarray(want, dtype=np.float64))
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


def assert_same_fit(got, want):
    assert_same_bits(got.coef_, want.coef_)
    assert_same_bits(got.intercept_, want.intercept_)
    assert type(got.intercept_) is type(want.intercept_)
    assert got.rank_ == want.rank_
    assert_same_bits(got.singular_, want.singular_)
    assert got.n_features_in_ == want.n_features_in_


def generator(p, q, seed):
    """Block j (of any number of rows) of fixed random data, the same in every
    process: X off-centre with columns of unequal scales, y a noisy linear
    function of it (summed column by column, so that no BLAS can make the
    workers' data differ from the client's), and weights with zeros."""
    rng = np.random.default_rng(seed)
    scales = rng.uniform(0.1, 100.0, p)
    w = rng.normal(size=(p, q))

    def block(j, rows):
        r = np.random.default_rng([seed, j])
        x = r.normal(3.0, 1.0, (rows, p)) * scales
        y = 7.0 + r.normal(0.0, 0.5, (rows, q))
        for c in range(p):
            y += x[:, c : c + 1] * w[c]
        weights = r.uniform(0.0, 3.0, rows)
        weights[::7] = 0.0
        return x, (y[:, 0] if q == 1 else y), weights

    return block


def generated(n, p, q, chunks, seed, block=None):
    """(X, y, weights) as Dask arrays made on the workers block by block, and
    the same data concatenated in memory."""
    block = block or generator(p, q, seed)
    sizes = da.core.normalize_chunks(chunks, (n,))[0]

    def make(which, block_info=None):
        j = block_info[None]["chunk-location"][0]
        return block(j, block_info[None]["chunk-shape"][0])[which]

    lazy = [
        da.map_blocks(make, 0, chunks=(sizes, (p,)), dtype=np.float64),
        da.map_blocks(make, 1, chunks=(sizes,) if q == 1 else (sizes, (q,)), dtype=np.float64),
        da.map_blocks(make, 2, chunks=(sizes,), dtype=np.float64),
    ]
    pieces = [generator(p, q, seed)(j, rows) for j, rows in enumerate(sizes)]
    return lazy, [np.concatenate(column) for column in zip(*pieces)]


def uneven(n, count, seed):
    """`count` row chunks of random sizes summing to n."""
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.choice(np.arange(1, n), size=count - 1, replace=False))
    return tuple(int(s) for s in np.diff(np.concatenate([[0], cuts, [n]])))


def fit_both(lazy, memory, fit_intercept=True, weights=None):
    """Both fits, weights None, "dask" or "numpy" (an in-memory array beside
    Dask X and y)."""
    (X, Y, W), (x, y, w) = lazy, memory
    lazy_w = {None: None, "dask": W, "numpy": w}[weights]
    got = bravolin_dask.LinearRegression(fit_intercept=fit_intercept).fit(X, Y, lazy_w)
    want = InMemory(fit_intercept=fit_intercept).fit(x, y, None if weights is None else w)
    return got, want


def filtered(lazy, memory):
    """About half the rows, by the first feature: Dask chunks of unknown
    sizes."""
    (X, Y, W), (x, y, w) = lazy, memory
    middle = np.median(x[:, 0]) if len(x) else 0.0
    keep, mask = X[:, 0] > middle, x[:, 0] > middle
    return [X[keep], Y[keep], W[keep]], [x[mask], y[mask], w[mask]]


CASES = [
    # p, q, n, chunks, fit_intercept, weights, filter
    (1, 1, 257, uneven(257, 5, 1), True, None, False),
    (1, 1, 257, 257, False, "dask", True),
    (7, 3, 4_095, uneven(4_095, 3, 2), False, "dask", False),
    (7, 3, 4_095, (1, 4_093, 1), True, None, True),
    (16, 1, 4_097, 4_097, True, "numpy", False),
    (33, 2, 8_191, uneven(8_191, 6, 3), True, "numpy", True),
    (100, 1, 20_001, uneven(20_001, 7, 4), False, None, False),
    (100, 3, 9_999, (3_333, 0, 6_666), True, "dask", True),
    (5, 1, 300_001, uneven(300_001, 6, 5), True, "dask", False),
]


@pytest.mark.parametrize(("p", "q", "n", "chunks", "fit_intercept", "weights", "filter"), CASES)
def test_fit_and_predict_have_the_in_memory_bits(
    client, p, q, n, chunks, fit_intercept, weights, filter
):
    lazy, memory = generated(n, p, q, chunks, seed=n * 1000 + p)
    if filter:
        lazy, memory = filtered(lazy, memory)
        assert np.isnan(lazy[0].chunks[0]).all()
    got, want = fit_both(lazy, memory, fit_intercept, weights)
    assert_same_fit(got, want)
    predicted = got.predict(lazy[0])
    assert isinstance(predicted, da.Array)
    assert_same_bits(predicted.compute(), want.predict(memory[0]))


@settings(
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(data=st.data())
def test_random_chunkings_have_the_in_memory_bits(data):
    # The synchronous scheduler keeps many chunkings quick; the cluster tests
    # show that processes change nothing.
    n = data.draw(st.integers(1, 120), label="n")
    q = data.draw(st.sampled_from([1, 2]), label="q")
    cuts = data.draw(st.lists(st.integers(0, n), max_size=6), label="cuts")
    filter = data.draw(st.booleans(), label="filter")
    # Empty chunks too, but not under a boolean filter: Dask's own indexing
    # loses a task when an empty chunk precedes a chunk of one row.
    chunks = tuple(np.diff(sorted({0, n, *cuts} if filter else [0, n, *cuts])).tolist())
    (X, Y, W), (x, y, w) = generated(n, 4, q, chunks, seed=n)
    X = X.rechunk({1: data.draw(st.sampled_from([1, 3, 4]), label="column chunk")})
    lazy, memory = [X, Y, W], [x, y, w]
    if filter:
        lazy, memory = filtered(lazy, memory)
    fit_intercept = data.draw(st.booleans(), label="fit_intercept")
    weights = data.draw(st.sampled_from([None, "dask", "numpy"]), label="weights")
    with dask.config.set(scheduler="synchronous"):
        try:
            want = InMemory(fit_intercept=fit_intercept)
            want.fit(memory[0], memory[1], None if weights is None else memory[2])
        except ValueError as error:  # no rows left, or only zero weights
            with pytest.raises(ValueError) as raised:
                fit_both(lazy, memory, fit_intercept, weights)
            assert str(raised.value) == str(error)
            return
        got, want = fit_both(lazy, memory, fit_intercept, weights)
        assert_same_fit(got, want)
        assert_same_bits(got.predict(lazy[0]).compute(), want.predict(memory[0]))


@pytest.mark.parametrize("weighted", [False, True])
def test_dataframe_partitions_are_fitted_like_the_frame(client, weighted):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    _, (x, y, w) = generated(5_001, 4, 1, 5_001, seed=3)
    frame = pd.DataFrame(x, columns=["a", "b", "c", "d"]).assign(y=y, w=w)
    # Unsorted partitions of unknown lengths, some of them cut by a filter.
    lazy = dd.from_pandas(frame, npartitions=5, sort=False)
    lazy = lazy[lazy.a > lazy.a.mean()]
    frame = frame[frame.a > frame.a.mean()]
    X, features = lazy[["a", "b", "c", "d"]], frame[["a", "b", "c", "d"]]
    got = bravolin_dask.LinearRegression().fit(X, lazy.y, lazy.w if weighted else None)
    want = InMemory().fit(features, frame.y, frame.w if weighted else None)
    assert_same_fit(got, want)
    assert list(got.feature_names_in_) == ["a", "b", "c", "d"]
    assert_same_bits(got.predict(X).compute(), want.predict(features))
    # Predictions of unknown chunk sizes still score.
    assert got.score(X, lazy.y) == want.score(features, frame.y)


@pytest.mark.parametrize(
    ("rows", "duplicate"),
    [(500, True), (3, False), (3, True)],  # collinear; fewer rows than parameters
)
def test_rank_deficient_data_gets_the_in_memory_minimum_norm_bits(client, rows, duplicate):
    (X, Y, _), (x, y, _) = generated(rows, 3, 1, max(1, rows // 3), seed=6)
    if duplicate:
        X = da.concatenate([X, X[:, :1]], axis=1)
        x = np.concatenate([x, x[:, :1]], axis=1)
    got = bravolin_dask.LinearRegression().fit(X, Y)
    want = InMemory().fit(x, y)
    assert want.rank_ < x.shape[1]
    assert_same_fit(got, want)


@pytest.mark.filterwarnings("ignore:Port 8787 is already in use:UserWarning")
def test_a_worker_killed_mid_fit_changes_no_bit(tmp_path):
    """The worker that makes block 1 for the second time (once for X, once
    for y: one of them is finished and held somewhere) kills its own
    process, once. What it held is lost and made again elsewhere."""
    plain = generator(6, 1, seed=77)
    marks = str(tmp_path)

    def block(j, rows):
        if j == 1 and _call_number(marks) == 2:
            _first_time(marks, "killed")
            os.kill(os.getpid(), signal.SIGKILL)
        return plain(j, rows)

    (X, Y, _), (x, y, _) = generated(40_000, 6, 1, 5_000, seed=77, block=block)
    result = {}

    def fit():
        try:
            result["model"] = bravolin_dask.LinearRegression().fit(X, Y)
        except BaseException as e:  # reported below, on the test's thread
            result["error"] = e

    # A cluster of its own: the killed worker is not replaced in every Dask
    # release, and the other tests want two.
    with local_cluster() as cluster, distributed.Client(cluster, timeout=DEADLINE):
        thread = threading.Thread(target=fit, daemon=True)
        thread.start()
        thread.join(DEADLINE)
    assert not thread.is_alive(), "the fit did not end after the worker was killed"
    assert "error" not in result, result.get("error")
    assert (tmp_path / "killed").exists(), "no worker was killed"
    assert_same_fit(result["model"], InMemory().fit(x, y))


def _call_number(directory):
    """1 for the first call in any process, 2 for the second, ..."""
    number = 1
    while not _first_time(directory, f"call-{number}"):
        number += 1
    return number


def _first_time(directory, name):
    """True for the first caller in any process, by an exclusive create."""
    try:
        os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        return False
    return True


def _nan(a, i):
    a[i] = np.nan


def _inf(a, i):
    a[i] = np.inf


BAD_DATA = [
    # what is spoilt, and how: the in-memory message for the whole arrays
    # names a NaN anywhere before an infinity in an earlier chunk.
    ("X NaN", lambda x, y, w: _nan(x, (10, 1)), "skip"),
    ("X infinity, then NaN", lambda x, y, w: (_inf(x, (5, 0)), _nan(x, (2_500, 2))), "skip"),
    ("X infinity in the last chunk", lambda x, y, w: _inf(x, (2_999, 1)), "skip"),
    ("X and y", lambda x, y, w: (_inf(y, 0), _inf(x, (2_999, 1))), "skip"),
    ("y -infinity", lambda x, y, w: y.__setitem__(0, -np.inf), "skip"),
    ("y NaN", lambda x, y, w: _nan(y, 1_000), "skip"),
    ("y short", None, "y short"),
    ("X NaN, y short", lambda x, y, w: _nan(x, (2_999, 2)), "y short"),
    ("negative weight", lambda x, y, w: w.__setitem__(2_999, -1.0), None),
    ("zero weights", lambda x, y, w: w.__setitem__(slice(None), 0.0), None),
    ("NaN weight", lambda x, y, w: _nan(w, 1_500), None),
    ("X NaN before bad weights", lambda x, y, w: (_nan(x, (7, 0)), _nan(w, 0)), None),
    ("weights short", None, "w short"),
]


@pytest.mark.parametrize(("spoil", "lengths"), [case[1:] for case in BAD_DATA],
                         ids=[case[0] for case in BAD_DATA])
def test_bad_data_raises_the_in_memory_error(client, spoil, lengths):
    _, (x, y, w) = generated(3_000, 3, 1, 3_000, seed=5)
    if spoil is not None:
        spoil(x, y, w)
    if lengths == "y short":
        y = y[:-1]
    weights = None if lengths in ("skip", "y short") else w[:-1] if lengths == "w short" else w
    with pytest.raises(ValueError) as want:
        InMemory().fit(x, y, weights)
    with pytest.raises(ValueError) as got:
        # y and the weights chunked unlike X: cut again to X's chunks, or
        # (when lengths differ) checked in chunks of their own.
        bravolin_dask.LinearRegression().fit(
            da.from_array(x, chunks=(700, 2)),
            da.from_array(y, chunks=1_000),
            None if weights is None else da.from_array(weights, chunks=600),
        )
    assert str(got.value) == str(want.value)


@pytest.mark.parametrize("spoil", [
    lambda x, y: (x, None),
    lambda x, y: (x[:, 0], y),
    lambda x, y: (x[:, :, None], y),
    lambda x, y: (np.where(x > 2, np.nan, x)[:, :2], y),
], ids=["y None", "X 1-D", "X 3-D", "X NaN, 2 features"])
def test_a_failed_refit_raises_the_in_memory_error_and_changes_nothing(client, spoil):
    lazy, (x, y, _) = generated(3_000, 3, 1, 1_000, seed=6)
    got, want = fit_both(lazy, (x, y, None))
    before = {k: v for k, v in vars(got).items() if k.endswith("_")}
    bad_x, bad_y = spoil(x, y)
    with pytest.raises(ValueError) as expected:
        InMemory().fit(bad_x, bad_y)
    with pytest.raises(ValueError) as raised:
        got.fit(bad_x if bad_x.ndim != 2 else da.from_array(bad_x, chunks=700), bad_y)
    assert str(raised.value) == str(expected.value)
    assert vars(got).keys() >= before.keys() and all(getattr(got, k) is v for k, v in before.items())
    assert_same_bits(got.predict(lazy[0]).compute(), want.predict(x))


def test_non_finite_input_to_predict_raises_the_in_memory_error(client):
    lazy, memory = generated(3_000, 3, 1, 1_000, seed=8)
    got, want = fit_both(lazy, memory)
    x = memory[0]
    x[2_000, 0] = np.inf
    with pytest.raises(ValueError) as expected:
        want.predict(x)
    with pytest.raises(ValueError) as raised:
        got.predict(da.from_array(x, chunks=1_000)).compute()
    assert str(raised.value) == str(expected.value)


def test_partitions_that_cannot_be_paired_are_refused(client):
    (X, Y, _), (x, y, _) = generated(3_000, 3, 1, 1_000, seed=9)
    # The same rows kept, but cut differently: unknown sizes on both sides.
    keep = X[:, 0] > np.median(x[:, 0])
    with pytest.raises(ValueError, match="partitioned differently"):
        bravolin_dask.LinearRegression().fit(X[keep], Y.rechunk(700)[keep.rechunk(700)])
