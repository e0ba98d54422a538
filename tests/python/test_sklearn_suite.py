"""scikit-learn's own tests, shipped in its wheel, run on bravolin's estimator.

The tests run in a pytest process of their own, where ``sklearn_suite.plugin``
puts ``bravolin.sklearn.LinearRegression`` in place of
``sklearn.linear_model.LinearRegression``: swapping a class inside
scikit-learn can't be undone cleanly (every module that imported it keeps
its reference), so it must never happen in the process that runs the rest of
our suite.
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from sklearn_suite.selection import MIN_FITTED, MIN_PASSED, SELECTION

HERE = Path(__file__).resolve().parent


def _shipped_tests() -> Path | None:
    """The folder that holds the ``sklearn`` package, when its wheel ships its
    tests; None otherwise (a stripped install, or no scikit-learn)."""
    try:
        spec = importlib.util.find_spec("sklearn.linear_model.tests.test_base")
    except ModuleNotFoundError:
        return None
    if spec is None or spec.origin is None:
        return None
    return Path(spec.origin).parents[3]


def _sklearn_version() -> tuple[int, int]:
    try:
        text = importlib.metadata.version("scikit-learn")
    except importlib.metadata.PackageNotFoundError:
        return (0, 0)
    match = re.match(r"(\d+)\.(\d+)", text)
    return (int(match[1]), int(match[2])) if match else (0, 0)


SITE = _shipped_tests()

# The selection names scikit-learn 1.9's and 1.10's tests: an older release
# lacks some of them (the plugin would refuse the names), and the estimator is
# a drop-in for both. A newer release that renames a test fails loudly
# instead.
pytestmark = [
    pytest.mark.skipif(SITE is None, reason="scikit-learn is not installed with its tests"),
    # Under the sanitizers the child would run hundreds of scikit-learn's
    # tests instrumented, far beyond the suite's time; they test scikit-learn.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="scikit-learn's suite is not run under the sanitizers"),
    pytest.mark.skipif(
        _sklearn_version() < (1, 9), reason="the selection is of scikit-learn 1.9's tests"
    ),
]

_COUNT = re.compile(r"(\d+) (passed|failed|errors?|skipped|xfailed|xpassed|deselected)\b")


def summary_counts(output: str) -> dict[str, int]:
    """The counts of pytest's last summary line ("3 failed, 40 passed, ... in
    2.1s"), by outcome; "error" and "errors" both count as "error"."""
    lines = [line for line in output.splitlines() if re.search(r"\bin [\d.]+s\b", line)]
    if not lines:
        return {}
    counts: dict[str, int] = {}
    for number, outcome in _COUNT.findall(lines[-1]):
        counts[outcome.rstrip("s") if outcome.startswith("error") else outcome] = int(number)
    return counts


def test_summary_counts_reads_pytest_summary() -> None:
    line = "==== 3 failed, 40 passed, 2 skipped, 5 deselected, 1 error in 2.51s (0:00:02) ===="
    assert summary_counts("noise\n" + line + "\n") == {
        "failed": 3, "passed": 40, "skipped": 2, "deselected": 5, "error": 1,
    }
    assert summary_counts("12 passed, 1 xfailed, 2 errors in 0.10s") == {
        "passed": 12, "xfailed": 1, "error": 2,
    }
    assert summary_counts("no summary here") == {}


def _failure_report(stdout: str, stderr: str, limit: int = 20000) -> str:
    """pytest's short summary of the failures first, then as much of the
    tracebacks before it as fits: the whole output of a broken run can run
    to megabytes."""
    marker = "short test summary info"
    cut = stdout.rfind(marker)
    cut = stdout.rfind("\n", 0, cut) + 1 if cut >= 0 else len(stdout)
    summary, details = stdout[cut:], stdout[:cut]
    return (
        f"{summary}\n--- the tracebacks (their last {limit} characters) ---\n"
        f"{details[-limit:]}\n--- stderr ---\n{stderr[-limit:]}"
    )


def test_sklearn_suite_passes_on_our_estimator(tmp_path: Path) -> None:
    assert SITE is not None
    report = tmp_path / "report.json"
    env = {
        key: value for key, value in os.environ.items()
        if not key.startswith(("PYTEST_", "SKLEARN_"))
    }
    env["PYTHONPATH"] = os.pathsep.join(
        [str(HERE)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    # scikit-learn's conftest would otherwise try to download data sets.
    env["SKLEARN_SKIP_NETWORK_TESTS"] = "1"
    command = [
        sys.executable, "-m", "pytest", "--pyargs", *SELECTION,
        "-q", "-rfE", "-p", "no:cacheprovider", "-p", "no:randomly",
        # scikit-learn's own deprecations would crowd the tracebacks out of
        # the failure message (its CI passes the same option).
        "--disable-warnings",
        # One module that fails to import must not hide the others' results.
        "--continue-on-collection-errors",
        "-p", "sklearn_suite.plugin", f"--linreg-report={report}",
        # Node ids relative to the folder of the installed package name the
        # module (sklearn/linear_model/tests/test_base.py::...); the working
        # directory is empty so that no configuration of ours applies.
        f"--rootdir={SITE}",
    ]
    # A guard against a hang only: the run normally takes a few minutes.
    completed = subprocess.run(
        command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=3600,
    )
    counts = summary_counts(completed.stdout)
    if completed.returncode != 0:
        pytest.fail(
            f"scikit-learn's tests failed on our estimator (exit code "
            f"{completed.returncode}, {counts}):\n"
            + _failure_report(completed.stdout, completed.stderr),
            pytrace=False,
        )
    assert report.exists(), f"the plugin wrote no report:\n{completed.stdout[-5000:]}"
    record = json.loads(report.read_text())
    assert counts.get("passed", 0) >= MIN_PASSED, (counts, completed.stdout[-5000:])
    assert not record["ran_original"], record["ran_original"]
    if record["monitored"]:
        fitted = record["fitted_ours"]
        assert len(fitted) >= MIN_FITTED, (
            f"only {len(fitted)} tests fitted our estimator; expected at least {MIN_FITTED}"
        )
