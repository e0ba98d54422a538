"""bravolin.dask on a real two-process cluster: the same bits as the in-memory
estimator for any chunking, after a worker dies mid-fit, and the same errors.

The oracle is bravolin.sklearn.LinearRegression on the concatenated arrays:
it multiplies the whole data in one product, where the Dask estimator sums a
tree of row blocks computed in other processes.
"""

import os
import signal
import threading

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
pytest.importorskip("sklearn")

import bravolin.dask as bravolin_dask  # noqa: E402
from bravolin.sklearn import LinearRegression as InMemory  # noqa: E402

# Every cluster call must end on its own: a fit here takes about a second.
DEADLINE = 120


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


@pytest.fixture
def nodes_follow_chunks(monkeypatch):
    # Nodes as small as the input's chunks, so that modest test sizes still
    # make deep trees and many blocks.
    monkeypatch.setattr(bravolin_dask, "MIN_NODE_ROWS", 1)


def assert_same_bits(got, want):
    got = np.ascontiguousarray(np.asarray(got, dtype=np.float64))
    want = np.ascontiguousarray(np.asarray(want, dtype=np.float64))
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


def generator(p, q, seed):
    """Block j (of any number of rows) of fixed random data, the same in every
    process: X off-centre with columns of unequal scales, so that the shift and
    scaling matter, and y a noisy linear function of it. y is summed column by
    column, so that no BLAS can make the workers' data differ from the
    client's."""
    rng = np.random.default_rng(seed)
    scales = rng.uniform(0.1, 100.0, p)
    w = rng.normal(size=(p, q))

    def block(j, rows):
        r = np.random.default_rng([seed, j])
        x = r.normal(3.0, 1.0, (rows, p)) * scales
        y = 7.0 + r.normal(0.0, 0.5, (rows, q))
        for c in range(p):
            y += x[:, c : c + 1] * w[c]
        return x, (y[:, 0] if q == 1 else y)

    return block


def generated(n, p, q, chunks, seed, block=None):
    """(X, y) as Dask arrays made on the workers block by block, and the same
    data concatenated in memory."""
    block = block or generator(p, q, seed)
    sizes = da.core.normalize_chunks(chunks, (n,))[0]
    starts = np.cumsum((0,) + sizes)

    def part(which, block_info=None):
        start = block_info[None]["array-location"][0][0]
        j = int(np.searchsorted(starts, start))
        return block(j, block_info[None]["chunk-shape"][0])[which]

    X = da.map_blocks(part, 0, chunks=(sizes, (p,)), dtype=np.float64)
    Y = da.map_blocks(part, 1, chunks=(sizes,) if q == 1 else (sizes, (q,)), dtype=np.float64)
    pieces = [generator(p, q, seed)(j, rows) for j, rows in enumerate(sizes)]
    x = np.concatenate([x for x, _ in pieces])
    y = np.concatenate([y for _, y in pieces])
    return X, Y, x, y


def uneven(n, parts, seed):
    """`parts` row chunks of random sizes summing to n."""
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.choice(np.arange(1, n), size=parts - 1, replace=False))
    return tuple(int(s) for s in np.diff(np.concatenate([[0], cuts, [n]])))


def fit_both(X, Y, x, y, fit_intercept=True):
    got = bravolin_dask.LinearRegression(fit_intercept=fit_intercept).fit(X, Y)
    want = InMemory(fit_intercept=fit_intercept).fit(x, y)
    return got, want


def assert_same_fit(got, want):
    assert_same_bits(got.coef_, want.coef_)
    assert_same_bits(got.intercept_, want.intercept_)
    assert type(got.intercept_) is type(want.intercept_)


CASES = [
    # n odd, just below and above powers of two, and a few hundred thousand;
    # p up to 100 (above 64 the leaves' products mix rows); one and several
    # targets.
    (1, 1, 257, 5, True),
    (1, 1, 257, 5, False),
    (7, 3, 4_095, 3, False),
    (16, 1, 4_097, 4, True),
    (33, 2, 8_191, 6, False),
    (65, 1, 20_001, 5, True),
    (100, 1, 16_385, 7, False),
    (100, 3, 9_999, 3, True),
    (16, 1, 262_143, 4, False),
    (16, 1, 262_145, 9, True),
    (5, 1, 300_001, 6, False),
]


@pytest.mark.parametrize(("p", "q", "n", "parts", "fit_intercept"), CASES)
def test_fit_and_predict_have_the_in_memory_bits(
    client, nodes_follow_chunks, p, q, n, parts, fit_intercept
):
    X, Y, x, y = generated(n, p, q, uneven(n, parts, seed=p), seed=n * 1000 + p)
    got, want = fit_both(X, Y, x, y, fit_intercept)
    assert_same_fit(got, want)
    predicted = got.predict(X)
    assert isinstance(predicted, da.Array)
    assert_same_bits(predicted.compute(), want.predict(x))


@pytest.mark.parametrize(
    "chunks",
    [
        20_001,  # one block
        (1, 9_999, 3, 9_998),  # single rows at the edges
        (5_000, 7, 14_994),  # node boundaries nowhere near the chunks'
    ],
)
def test_any_chunking_gives_the_same_bits(client, nodes_follow_chunks, chunks):
    X, Y, x, y = generated(20_001, 12, 1, chunks, seed=11)
    got, want = fit_both(X, Y, x, y)
    assert_same_fit(got, want)
    assert_same_bits(got.predict(X.rechunk((3_333, 12))).compute(), want.predict(x))


def test_default_node_size_and_sample_weights(client):
    # The estimator's own choice of nodes (no smaller than 2**16 rows), and
    # weights that change every row of the design matrix.
    X, Y, x, y = generated(200_001, 9, 1, 30_000, seed=4)
    weights = np.random.default_rng(9).uniform(0.0, 3.0, len(y))
    got = bravolin_dask.LinearRegression().fit(X, Y, da.from_array(weights, chunks=50_000))
    want = InMemory().fit(x, y, weights)
    assert_same_fit(got, want)


def test_dataframes_are_fitted_like_their_values(client, nodes_follow_chunks):
    # Dask's DataFrames need pyarrow, whose newest releases refuse NumPy 1
    # with an ImportError.
    pytest.importorskip("pyarrow", exc_type=ImportError)
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    _, _, x, y = generated(5_001, 4, 1, 5_001, seed=3)
    frame = pd.DataFrame(x, columns=["a", "b", "c", "d"])
    X = dd.from_pandas(frame, npartitions=3)
    Y = dd.from_pandas(pd.Series(y, name="y"), npartitions=3)
    got = bravolin_dask.LinearRegression().fit(X, Y)
    want = InMemory().fit(frame, y)
    assert_same_fit(got, want)
    assert list(got.feature_names_in_) == ["a", "b", "c", "d"]
    assert_same_bits(got.predict(X).compute(), want.predict(frame))


# Its scheduler's HTTP server (on 127.0.0.1) finds the module cluster's port
# taken and picks another, with a warning.
@pytest.mark.filterwarnings("ignore:Port 8787 is already in use:UserWarning")
def test_a_worker_killed_mid_fit_changes_no_bit(nodes_follow_chunks, tmp_path):
    """The worker that first makes block 1 in the fit's product pass (after
    every block's bounds were taken) kills its own process, once. What it
    held, finished node products among it, is lost and made again elsewhere."""
    plain = generator(6, 1, seed=77)
    marks = str(tmp_path)

    def block(j, rows):
        # Made for X and for y in the bounds pass; the third time is in the
        # product pass.
        if j == 1 and _call_number(marks) == 3:
            _first_time(marks, "killed")
            os.kill(os.getpid(), signal.SIGKILL)
        return plain(j, rows)

    X, Y, x, y = generated(40_000, 6, 1, 5_000, seed=77, block=block)
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


NON_FINITE = [
    ("X", [(10, np.nan)]),
    ("X", [(2_999, np.inf)]),
    ("X", [(5, -np.inf), (2_500, np.nan)]),  # an infinity first, a NaN later
    ("y", [(1_000, np.nan)]),
    ("y", [(0, -np.inf)]),
]


@pytest.mark.parametrize(("where", "what"), NON_FINITE)
def test_non_finite_input_raises_the_in_memory_error(client, where, what):
    _, _, x, y = generated(3_000, 3, 1, 3_000, seed=5)
    for row, value in what:
        if where == "X":
            x[row, 1] = value
        else:
            y[row] = value
    with pytest.raises(ValueError) as want:
        InMemory().fit(x, y)
    with pytest.raises(ValueError) as got:
        bravolin_dask.LinearRegression().fit(
            da.from_array(x, chunks=(700, 3)), da.from_array(y, chunks=700)
        )
    assert str(got.value) == str(want.value)


def test_non_finite_input_to_predict_raises_the_in_memory_error(client):
    X, Y, x, y = generated(3_000, 3, 1, 1_000, seed=8)
    got, want = fit_both(X, Y, x, y)
    x[2_000, 0] = np.inf
    with pytest.raises(ValueError) as expected:
        want.predict(x)
    with pytest.raises(ValueError) as raised:
        got.predict(da.from_array(x, chunks=1_000))
    assert str(raised.value) == str(expected.value)


def test_singular_and_short_data_raise_the_in_memory_errors(client):
    _, _, x, y = generated(500, 3, 1, 500, seed=6)
    x[:, 2] = x[:, 0]  # a duplicated feature
    for rows in (slice(None), slice(0, 3)):  # collinear; fewer rows than parameters
        with pytest.raises(np.linalg.LinAlgError) as want:
            InMemory().fit(x[rows], y[rows])
        with pytest.raises(np.linalg.LinAlgError) as got:
            bravolin_dask.LinearRegression().fit(
                da.from_array(x[rows], chunks=(200, 3)), da.from_array(y[rows], chunks=200)
            )
        assert str(got.value) == str(want.value)


@pytest.mark.parametrize("n", [63, 65, 127, 129, 130, 131, 255, 257, 1_025, 3_001])
def test_row_tree_edges_on_one_process(nodes_follow_chunks, n):
    # Sizes around the schoolbook threshold and the clean-split limit, where
    # the tree changes shape; the synchronous scheduler keeps them quick.
    with dask.config.set(scheduler="synchronous"):
        for p in (1, 31, 32, 33, 63, 64, 65, 99):
            if p + 1 >= n:
                continue
            X, Y, x, y = generated(n, p, 1, uneven(n, 4, seed=n + p), seed=n + p)
            got, want = fit_both(X, Y, x, y)
            assert_same_fit(got, want)
            assert_same_bits(got.predict(X).compute(), want.predict(x))



@pytest.mark.parametrize(
    "weights",
    [
        np.r_[np.ones(2_999), -1.0],  # a negative weight
        np.zeros(3_000),  # all zero
        np.r_[np.ones(1_500), np.nan, np.ones(1_499)],
        np.ones(2_999),  # one short
    ],
)
def test_bad_sample_weights_raise_the_in_memory_error(client, weights):
    X, Y, x, y = generated(3_000, 3, 1, 1_000, seed=12)
    with pytest.raises(ValueError) as want:
        InMemory().fit(x, y, weights)
    with pytest.raises(ValueError) as got:
        bravolin_dask.LinearRegression().fit(X, Y, da.from_array(weights, chunks=1_000))
    assert str(got.value) == str(want.value)
