"""Type information: the installed stubs of bravolin_learn and the bravolin
package, checked with mypy --strict on the examples and on typed snippets."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parents[2]

# scikit-learn and pandas ship no type information of their own.
CONFIG = """
[mypy]
strict = True

[mypy-sklearn.*,pandas.*]
ignore_missing_imports = True
"""

GOOD = """
import numpy as np
from numpy.typing import NDArray
from bravolin_learn import LinearRegression
from bravolin.sklearn import LinearRegression as Estimator

model = LinearRegression(True)
model.fit(np.zeros((3, 1)), np.zeros((3, 1)))
coef: NDArray[np.float64] = model.coef_
intercept: float = model.intercept_
flag: bool = model.fit_intercept
predictions: NDArray[np.float64] = model.predict(np.zeros((2, 1)))
estimator: Estimator = Estimator(fit_intercept=False).fit([[1.0], [2.0]], [1.0, 2.0])
values: NDArray[np.float64] = estimator.predict([[3.0]])
import bravolin
r_squared: float = bravolin.ols([[1.0], [2.0], [4.0]], [1.0, 2.0, 3.0]).rsquared
"""

BAD = {
    "LinearRegression()": "Missing positional argument",
    "LinearRegression(True).fit(np.zeros((3, 1)))": "Missing positional argument",
    "text: str = LinearRegression(True).intercept_": "Incompatible types in assignment",
    "LinearRegression(True).coef_ = np.zeros(1)": "is read-only",
    "LinearRegression(True).missing": "has no attribute",
}


def mypy(tmp_path, *paths):
    config = tmp_path / "mypy.ini"
    config.write_text(CONFIG)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(config), "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), *map(str, paths)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )


def test_examples_and_typed_usage_pass_mypy_strict(tmp_path):
    snippet = tmp_path / "usage.py"
    snippet.write_text(textwrap.dedent(GOOD))
    done = mypy(tmp_path, snippet, *sorted((ROOT / "examples").glob("*.py")))
    assert done.returncode == 0, done.stdout + done.stderr


def test_misuse_is_reported(tmp_path):
    for number, line in enumerate(BAD):
        (tmp_path / f"bad{number}.py").write_text(
            f"import numpy as np\nfrom bravolin_learn import LinearRegression\n{line}\n")
    done = mypy(tmp_path, *[tmp_path / f"bad{number}.py" for number in range(len(BAD))])
    for number, message in enumerate(BAD.values()):
        assert any(out.startswith(f"bad{number}.py:3: error: ") and message in out
                   for out in done.stdout.splitlines()), (number, done.stdout)


def test_the_stub_matches_the_module_at_run_time(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "bravolin_learn"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
