"""bravolin.dask with workers in the test's own process: distributed's test
cluster (gen_cluster, with its time limit and leak checks) instead of worker
processes. A module of its own, so that no other cluster is open beside it.
"""

import asyncio

import pytest

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pytest.importorskip("sklearn")

from distributed.utils_test import gen_cluster  # noqa: E402

import bravolin.dask as bravolin_dask  # noqa: E402
from bravolin.sklearn import LinearRegression as InMemory  # noqa: E402
from test_dask import DEADLINE, assert_same_bits, assert_same_fit, filtered, generated  # noqa: E402


@gen_cluster(
    nthreads=[("127.0.0.1", 1), ("127.0.0.1", 1)],
    timeout=DEADLINE,
)
async def test_in_process_workers_give_the_same_bits(s, a, b):
    # The fit runs on a thread of its own, with a synchronous client, while
    # this coroutine's loop serves the cluster.
    lazy, memory = filtered(*generated(30_001, 5, 2, (10_000, 1, 20_000), seed=21))
    X, Y, W = lazy

    def fit():
        with distributed.Client(s.address, set_as_default=False, timeout=DEADLINE) as c:
            with dask.config.set(scheduler=c):
                model = bravolin_dask.LinearRegression(fit_intercept=False)
                model.fit(X, Y, W)
                return model, model.predict(X).compute()

    got, predicted = await asyncio.to_thread(fit)
    want = InMemory(fit_intercept=False).fit(*memory)
    assert_same_fit(got, want)
    assert_same_bits(predicted, want.predict(memory[0]))
