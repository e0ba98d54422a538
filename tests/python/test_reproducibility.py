"""The fit's bits do not depend on NumPy's BLAS, and a first fit imports nothing.

The module's products and its inverse are its own code, so neither the BLAS
kernels that OpenBLAS picks for the CPU nor its thread count can reach them.
Each child below runs under another OpenBLAS setting and must predict exactly
the same bits.
"""

import os
import subprocess
import sys

import numpy as np

CHILD_TIMEOUT = 120

FIT_AND_PREDICT = """
import sys
import numpy as np
import bravolin_learn

data = np.load(sys.argv[1])
out = {}
for name in data.files:
    if not name.startswith("x"):
        continue
    x, y = data[name], data["y" + name[1:]]
    for fit_intercept in (True, False):
        model = bravolin_learn.LinearRegression(fit_intercept)
        model.fit(x, y)
        out[f"{name}-{fit_intercept}"] = model.predict(x)
np.savez(sys.argv[2], **out)
"""

# Through the schoolbook threshold of the products and the block size of the
# factorisation (64), and well past both.
K_VALUES = [17, 64, 65, 201]
SETTINGS = [
    (coretype, threads)
    for coretype in ["Prescott", "Nehalem", "Haswell", "SkylakeX"]
    for threads in ["1", "2"]
]


def run_child(args, **env):
    child_env = dict(os.environ, **env)
    result = subprocess.run(
        [sys.executable, *args],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_predictions_are_the_same_bits_under_every_openblas_setting(tmp_path):
    # The data is made here once: a child that drew it with NumPy's BLAS
    # would see other inputs, not other outputs.
    rng = np.random.default_rng(2026)
    arrays = {}
    for k in K_VALUES:
        n = 2 * k + 40
        x = rng.standard_normal((n, k)) * rng.uniform(0.1, 10.0, size=k)
        arrays[f"x{k}"] = x
        arrays[f"y{k}"] = rng.standard_normal((n, 1)) + x[:, :1] * 3.0
    data = tmp_path / "data.npz"
    np.savez(data, **arrays)

    results = {}
    for coretype, threads in SETTINGS:
        out = tmp_path / f"{coretype}-{threads}.npz"
        run_child(
            ["-c", FIT_AND_PREDICT, str(data), str(out)],
            OPENBLAS_CORETYPE=coretype,
            OPENBLAS_NUM_THREADS=threads,
        )
        with np.load(out) as predictions:
            results[(coretype, threads)] = {name: predictions[name] for name in predictions.files}

    first_setting, first = next(iter(results.items()))
    assert len(first) == 2 * len(K_VALUES)
    for setting, predictions in results.items():
        for name, values in predictions.items():
            assert values.tobytes() == first[name].tobytes(), (
                f"{name}: bits under {setting} differ from those under {first_setting}"
            )


def test_first_fit_imports_no_module():
    # Only NumPy and the module itself are loaded before the first fit; the
    # fit must need nothing more (no LAPACK provider, no SciPy).
    script = """
import sys
import numpy as np
import bravolin_learn
before = set(sys.modules)
model = bravolin_learn.LinearRegression(True)
model.fit(np.array([[1.0], [2.0], [3.0]]), np.array([[3.0], [5.0], [7.0]]))
model.predict(np.array([[4.0]]))
print(sorted(set(sys.modules) - before))
"""
    assert run_child(["-c", script]).strip() == "[]"


def test_numpy_is_the_only_runtime_dependency():
    from importlib.metadata import requires

    runtime = [r for r in requires("bravolin_learn") or [] if "extra ==" not in r]
    assert [r.split(">")[0].split("=")[0].split("<")[0].strip() for r in runtime] == ["numpy"]
