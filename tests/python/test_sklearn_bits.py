"""The estimator's fitted parameters and predictions have the same bits under
every BLAS kernel, thread count and engine kernel: each child process runs
under its own OPENBLAS_CORETYPE, OPENBLAS_NUM_THREADS, n_jobs and
BRAVOLIN_ENGINE_ISA and reports a digest of them."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("sklearn")

CHILD = r"""
import hashlib
import os
import numpy as np
import bravolin
import bravolin_learn
from bravolin.sklearn import LinearRegression

# The core alone, on a Gram matrix large enough for LAPACK's kernels to show.
core = bravolin_learn.LinearRegression(True)
probe_rng = np.random.default_rng(7)
core.fit(probe_rng.standard_normal((300, 40)), probe_rng.standard_normal((300, 1)))
print(hashlib.sha256(core.coef_.tobytes()).hexdigest())

digest = hashlib.sha256()
rng = np.random.default_rng(2024)
cases = [
    (700, 5, None, True, False),
    (300, 17, 3, False, False),
    (400, 70, None, True, True),
    (1500, 40, 2, True, True),
]
for n, p, q, fit_intercept, weighted in cases:
    x = rng.standard_normal((n, p)) * rng.uniform(0.01, 1e4, size=p) + rng.uniform(-1e6, 1e6, size=p)
    # Built column by column: x @ beta would itself follow the BLAS kernel.
    beta = rng.standard_normal((p, 1 if q is None else q))
    y = rng.standard_normal((n, beta.shape[1]))
    for j in range(p):
        y = y + x[:, j:j + 1] * beta[j]
    if q is None:
        y = y[:, 0]
    weights = rng.uniform(0.0, 3.0, size=n) if weighted else None
    model = LinearRegression(fit_intercept=fit_intercept, n_jobs=int(os.environ['OPENBLAS_NUM_THREADS']))
    model.fit(x, y, sample_weight=weights)
    probe = rng.standard_normal((n // 2, p)) * 1e3
    for values in [model.coef_, np.asarray(model.intercept_), model.predict(x), model.predict(probe)]:
        digest.update(np.ascontiguousarray(values, dtype=np.float64).tobytes())
    if q is None:
        # Inference too: its distributions and products are the project's own.
        results = bravolin.ols(x, y, fit_intercept=fit_intercept, sample_weight=weights,
                               cov_type="HC3", n_jobs=int(os.environ['OPENBLAS_NUM_THREADS']))
        for values in [results.params, results.bse, results.pvalues, results.conf_int(),
                       [results.llf, results.fvalue, results.f_pvalue, results.rsquared]]:
            digest.update(np.ascontiguousarray(values, dtype=np.float64).tobytes())
print(digest.hexdigest())
"""


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def kernels():
    """OpenBLAS kernels this CPU can run: a kernel beyond it would crash."""
    flags = cpu_flags()
    chosen = ["Prescott"]
    if "avx2" in flags:
        chosen.append("Haswell")
    if "avx512f" in flags:
        chosen.append("SkylakeX")
    return chosen


def run_child(coretype, threads, isa):
    env = {**os.environ, "OPENBLAS_CORETYPE": coretype, "OPENBLAS_NUM_THREADS": str(threads),
           "BRAVOLIN_ENGINE_ISA": isa}
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    core, estimator = done.stdout.split()
    return core, estimator


def test_same_bits_under_every_blas_kernel_and_thread_count():
    runs = {(coretype, threads, isa): run_child(coretype, threads, isa)
            for coretype in kernels() for threads in [1, 2] for isa in ["baseline", "avx2", "native"]}
    assert len({core for core, _ in runs.values()}) == 1, runs
    assert len({estimator for _, estimator in runs.values()}) == 1, runs
