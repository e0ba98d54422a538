"""bravolin.dask on a real two-process cluster: the same bits as the in-memory
estimator for any chunking, after a worker dies mid-fit, and the same errors.

The oracle is bravolin.sklearn.LinearRegression on the concatenated arrays:
it multiplies the whole data in one product, where the Dask estimator sums a
tree of row blocks computed on other processes.
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

# Every cluster call must end on its own: a fit here takes a second or two.
DEADLINE = 120


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, distributed.Client(cluster, timeout=DEADLINE) as c:
        yield c


@pytest.fixture
def nodes_follow_chunks(monkeypatch):
    # Nodes as small as the input's chunks, so that modest test sizes still
    # make deep trees and many blocks.
    monkeypatch.setattr(bravolin_dask, "MIN_NODE_ROWS", 1)


def bits(a):
    a = np.ascontiguousarray(np.asarray(a, dtype=np.float64))
    return a.view(np.int64)


def assert_same_bits(got, want):
    assert np.shape(got) == np.shape(want)
    assert np.array_equal(bits(got), bits(want))


def data(n, p, q, seed):
    rng = np.random.default_rng(seed)
    # Off-centre and of unequal scales, so that the shift and scaling matter.
    x = rng.normal(3.0, 1.0, (n, p)) * rng.uniform(0.1, 100.0, p)
    w = rng.normal(size=(p, q))
    y = x @ w + rng.normal(0.0, 0.5, (n, q)) + 7.0
    return x, (y[:, 0] if q == 1 else y)


def uneven(n, parts, seed):
    """`parts` row chunks of random sizes summing to n, one of them tiny."""
    rng = np.random.default_rng(seed)
    cuts = np.sort(rng.choice(np.arange(1, n), size=parts - 1, replace=False))
    sizes = np.diff(np.concatenate([[0], cuts, [n]]))
    return tuple(int(s) for s in sizes)


def fit_both(x, y, chunks, fit_intercept):
    want = InMemory(fit_intercept=fit_intercept).fit(x, y)
    xd = da.from_array(x, chunks=(chunks, x.shape[1]))
    yd = da.from_array(y, chunks=(chunks,) + y.shape[1:])
    got = bravolin_dask.LinearRegression(fit_intercept=fit_intercept).fit(xd, yd)
    return got, want, xd


CASES = [
    # n odd, just below and above powers of two, and a few hundred thousand.
    (1, 1, 257, 5),
    (7, 3, 4095, 3),
    (16, 1, 4097, 4),
    (33, 2, 8191, 6),
    (65, 1, 20_001, 5),
    (100, 1, 16_385, 7),
    (100, 3, 9_999, 3),
    (16, 1, 262_143, 4),
    (16, 1, 262_145, 9),
    (5, 1, 300_001, 6),
]


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize(("p", "q", "n", "parts"), CASES)
def test_fit_and_predict_have_the_in_memory_bits(
    client, nodes_follow_chunks, p, q, n, parts, fit_intercept
):
    x, y = data(n, p, q, seed=n * 1000 + p)
    got, want, xd = fit_both(x, y, uneven(n, parts, seed=p), fit_intercept)
    assert_same_bits(got.coef_, want.coef_)
    assert_same_bits(got.intercept_, want.intercept_)
    assert type(got.intercept_) is type(want.intercept_)
    predicted = got.predict(xd)
    assert isinstance(predicted, da.Array)
    assert_same_bits(predicted.compute(), want.predict(x))


@pytest.mark.parametrize(
    "chunks",
    [
        20_001,  # one block
        1_000,  # even
        (1, 9_999, 3, 9_998),  # single rows at the edges
        (5_000, 7, 14_994),  # a node boundary nowhere near a chunk's
    ],
)
def test_any_chunking_gives_the_same_bits(client, nodes_follow_chunks, chunks):
    x, y = data(20_001, 12, 1, seed=11)
    got, want, xd = fit_both(x, y, chunks, True)
    assert_same_bits(got.coef_, want.coef_)
    assert_same_bits(got.intercept_, want.intercept_)
    assert_same_bits(got.predict(xd.rechunk((3_333, 12))).compute(), want.predict(x))


def test_dataframes_are_fitted_like_their_values(client, nodes_follow_chunks):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    x, y = data(5_001, 4, 1, seed=3)
    frame = pd.DataFrame(x, columns=["a", "b", "c", "d"])
    X = dd.from_pandas(frame, npartitions=3)
    Y = dd.from_pandas(pd.Series(y, name="y"), npartitions=3)
    got = bravolin_dask.LinearRegression().fit(X, Y)
    want = InMemory().fit(frame, y)
    assert_same_bits(got.coef_, want.coef_)
    assert_same_bits(got.intercept_, want.intercept_)
    assert list(got.feature_names_in_) == ["a", "b", "c", "d"]
    assert_same_bits(got.predict(X).compute(), want.predict(frame))


def killing_generator(marker_dir, chunk):
    """Block j of a fixed random X; the second time block 1 is made (in the
    fit's product pass, after every block's bounds were taken), the worker
    making it kills its own process, once."""

    def make(block_info=None):
        (start, stop), _ = block_info[None]["array-location"]
        j = start // chunk
        rng = np.random.default_rng(1000 + j)
        block = rng.normal(2.0, 3.0, (stop - start, 6))
        if j == 1:
            try:
                fd = os.open(os.path.join(marker_dir, "made-once"), os.O_CREAT | os.O_EXCL)
                os.close(fd)
            except FileExistsError:
                try:
                    fd = os.open(os.path.join(marker_dir, "killed"), os.O_CREAT | os.O_EXCL)
                except FileExistsError:
                    return block
                os.close(fd)
                os.kill(os.getpid(), signal.SIGKILL)
        return block

    return make


def test_a_worker_killed_mid_fit_changes_no_bit(client, nodes_follow_chunks, tmp_path):
    n, chunk = 40_000, 5_000
    make = killing_generator(str(tmp_path), chunk)
    X = da.map_blocks(make, chunks=((chunk,) * (n // chunk), (6,)), dtype=np.float64)
    x = np.concatenate(
        [np.random.default_rng(1000 + j).normal(2.0, 3.0, (chunk, 6)) for j in range(n // chunk)]
    )
    y = x @ np.arange(1.0, 7.0) + 0.25
    Y = da.from_array(y, chunks=chunk)

    result = {}

    def fit():
        try:
            result["model"] = bravolin_dask.LinearRegression().fit(X, Y)
        except BaseException as e:  # reported below, on the test's thread
            result["error"] = e

    with dask.config.set(scheduler=client):
        thread = threading.Thread(target=fit, daemon=True)
        thread.start()
        thread.join(DEADLINE)
    assert not thread.is_alive(), "the fit did not end after the worker was killed"
    assert "error" not in result, result.get("error")
    assert (tmp_path / "killed").exists(), "no worker was killed"
    want = InMemory().fit(x, y)
    assert_same_bits(result["model"].coef_, want.coef_)
    assert_same_bits(result["model"].intercept_, want.intercept_)
    client.wait_for_workers(2, timeout=DEADLINE)


def non_finite(where, what, n=3_000):
    x, y = data(n, 3, 1, seed=5)
    target = {"X": x, "y": y}
    for row, value in what:
        if where == "X":
            target["X"][row, 1] = value
        else:
            target["y"][row] = value
    return x, y


@pytest.mark.parametrize(
    ("where", "what"),
    [
        ("X", [(10, np.nan)]),
        ("X", [(2_999, np.inf)]),
        ("X", [(5, -np.inf), (2_500, np.nan)]),  # infinity first, NaN later
        ("y", [(1_000, np.nan)]),
        ("y", [(0, -np.inf)]),
    ],
)
def test_non_finite_input_raises_the_in_memory_error(client, where, what):
    x, y = non_finite(where, what)
    with pytest.raises(ValueError) as want:
        InMemory().fit(x, y)
    with pytest.raises(ValueError) as got:
        bravolin_dask.LinearRegression().fit(
            da.from_array(x, chunks=(700, 3)), da.from_array(y, chunks=700)
        )
    assert str(got.value) == str(want.value)


def test_non_finite_input_to_predict_raises_the_in_memory_error(client):
    x, y = data(3_000, 3, 1, seed=8)
    got = bravolin_dask.LinearRegression().fit(da.from_array(x, chunks=1_000), da.from_array(y, chunks=1_000))
    want = InMemory().fit(x, y)
    x[2_000, 0] = np.inf
    with pytest.raises(ValueError) as expected:
        want.predict(x)
    with pytest.raises(ValueError) as raised:
        got.predict(da.from_array(x, chunks=1_000))
    assert str(raised.value) == str(expected.value)
