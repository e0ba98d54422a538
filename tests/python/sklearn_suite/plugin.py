"""A pytest plugin that runs scikit-learn's shipped tests with
``bravolin.sklearn.LinearRegression`` in place of scikit-learn's own.

Load it with ``-p sklearn_suite.plugin`` in a pytest process of its own. The
swap happens when the plugin is imported, which pytest does before it loads
scikit-learn's conftest or imports a single test module: a test module's
``from sklearn.linear_model import LinearRegression`` then binds ours, and so
do scikit-learn's internals (RANSAC's default estimator, LassoLarsIC's noise
estimate, TransformedTargetRegressor's default, the common-test instance
generator).

Besides the swap the plugin

- keeps, of each module named in ``sklearn_suite.selection``, only the tests
  its patterns match;
- deselects the tests listed in ``sklearn_suite.deselected``;
- refuses a pattern or an entry of either list that names no collected test;
- fails any test during which scikit-learn's own ``LinearRegression`` still
  ran (the swap missed a reference);
- with ``--linreg-report=PATH`` writes a JSON record of the outcome of every
  test and of which tests fitted our estimator.
"""

from __future__ import annotations

import fnmatch
import inspect
import json
import sys
from typing import Any

import pytest

import sklearn.linear_model
import sklearn.linear_model._base
from bravolin.sklearn import LinearRegression as _OURS

from .deselected import DESELECTED
from .selection import SELECTION

_ORIGINAL = sklearn.linear_model._base.LinearRegression


def _swap_in(namespace: dict[str, Any]) -> int:
    """Replaces scikit-learn's class by ours among the values of a module's
    namespace and among the keys and values of its module-level dicts (the
    common tests key their per-estimator parameters by class)."""
    swapped = 0
    for name, value in list(namespace.items()):
        if value is _ORIGINAL:
            namespace[name] = _OURS
            swapped += 1
        elif isinstance(value, dict) and value is not namespace:
            try:
                present = any(k is _ORIGINAL or v is _ORIGINAL for k, v in value.items())
            except Exception:
                continue
            if present:
                items = list(value.items())
                value.clear()
                value.update(
                    (_OURS if k is _ORIGINAL else k, _OURS if v is _ORIGINAL else v)
                    for k, v in items
                )
                swapped += 1
    return swapped


def _swap_everywhere() -> int:
    # Every scikit-learn module already imported may hold its own reference:
    # linear_model's __init__ imports _ransac and _least_angle, which bind
    # the class from _base before we get here.
    swapped = 0
    for name, module in list(sys.modules.items()):
        if module is None or not (name == "sklearn" or name.startswith("sklearn.")):
            continue
        swapped += _swap_in(vars(module))
    return swapped


if _ORIGINAL is not _OURS:
    _swap_everywhere()
assert sklearn.linear_model.LinearRegression is _OURS
assert sklearn.linear_model._base.LinearRegression is _OURS


class _Watch:
    """Which test is running, and which of the two classes' code it ran.

    ``sys.monitoring`` watches only the code objects of the two classes'
    ``__init__``/``fit``/``predict``: the estimator itself is left untouched,
    so what the tests see (signatures, metadata routing, pickling) is exactly
    our class.
    """

    def __init__(self) -> None:
        self.current: str | None = None
        self.ours: set[str] = set()
        self.touched: set[str] = set()
        self.original: dict[str, list[str]] = {}
        self.enabled = False
        self.codes: dict[Any, tuple[str, str]] = {}

    def start(self) -> None:
        monitoring = getattr(sys, "monitoring", None)
        if monitoring is None:
            return
        tool = next((t for t in range(6) if monitoring.get_tool(t) is None), None)
        if tool is None:
            return
        monitoring.use_tool_id(tool, "sklearn-suite-watch")
        self.tool = tool
        for label, cls in (("ours", _OURS), ("original", _ORIGINAL)):
            for method in ("__init__", "fit", "predict"):
                function = cls.__dict__.get(method)
                if function is None:
                    continue
                code = getattr(inspect.unwrap(function), "__code__", None)
                if code is None:
                    continue
                self.codes[code] = (label, method)
                monitoring.set_local_events(tool, code, monitoring.events.PY_START)
        monitoring.register_callback(tool, monitoring.events.PY_START, self._on_start)
        self.enabled = True

    def _on_start(self, code: Any, offset: int) -> None:
        label, method = self.codes.get(code, (None, None))
        if self.current is None or label is None:
            return
        if label == "ours":
            self.touched.add(self.current)
            if method == "fit":
                self.ours.add(self.current)
        else:
            self.original.setdefault(self.current, []).append(method)


_watch = _Watch()
# Keyed "module::test[params]": pytest's node ids of files outside the
# rootdir do not name the module.
_names: dict[str, str] = {}
_outcomes: dict[str, str] = {}
_deselected: list[str] = []


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption(
        "--linreg-report",
        default=None,
        help="write a JSON record of the run (outcomes, tests that fitted our estimator)",
    )


def pytest_configure(config: pytest.Config) -> None:
    _watch.start()


def _key(item: pytest.Item) -> tuple[str, str]:
    module = getattr(getattr(item, "module", None), "__name__", "?")
    return module, f"{module}::{item.name}"


_DESELECTED_BY_MODULE: dict[str, list[str]] = {}
for _entry in DESELECTED:
    _DESELECTED_BY_MODULE.setdefault(_entry.split("::", 1)[0], []).append(_entry)


def _matches(item: pytest.Item, pattern: str) -> bool:
    # "[" opens a character class in fnmatch; parameters are taken literally.
    literal = pattern.replace("[", "[[]")
    names = (item.name, getattr(item, "originalname", item.name))
    return any(fnmatch.fnmatchcase(name, literal) for name in names)


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    # A module imported during collection (scikit-learn's conftest and the
    # test modules import more of scikit-learn) may have bound the class
    # from a module we had not swapped yet.
    _swap_everywhere()

    keep, out_of_scope, drop = [], [], []
    used: set[str] = set()
    modules: set[str] = set()
    for item in items:
        module, exact = _key(item)
        _names[item.nodeid] = exact
        modules.add(module)
        patterns = SELECTION.get(module)
        if patterns is not None:
            hits = [p for p in patterns if _matches(item, p)]
            used.update(f"{module}::{p}" for p in hits)
            if not hits:
                out_of_scope.append(item)
                continue
        entries = _DESELECTED_BY_MODULE.get(module, ())
        entry = next((e for e in entries if _matches(item, e.split("::", 1)[1])), None)
        if entry is None:
            keep.append(item)
        else:
            used.add(entry)
            drop.append(item)
    # A pattern or entry for a collected module that names no test is a
    # renamed or removed test: it no longer selects or excuses anything.
    wanted = set(DESELECTED) | {
        f"{module}::{p}" for module, patterns in SELECTION.items() for p in patterns or ()
    }
    stale = sorted(
        entry for entry in wanted
        if entry.split("::", 1)[0] in modules and entry not in used
    )
    if stale:
        raise pytest.UsageError(
            "selected or deselected names that match no collected test:\n  "
            + "\n  ".join(stale)
        )
    if out_of_scope or drop:
        config.hook.pytest_deselected(items=out_of_scope + drop)
        items[:] = keep
        _deselected.extend(_names[item.nodeid] for item in drop)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None) -> Any:
    _watch.current = _names.get(item.nodeid, item.nodeid)
    try:
        return (yield)
    finally:
        _watch.current = None


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Any:
    result = yield
    ran = _watch.original.get(_names.get(item.nodeid, item.nodeid))
    if ran:
        raise AssertionError(
            "scikit-learn's own LinearRegression ran in this test "
            f"({', '.join(sorted(set(ran)))}): a reference to it was not swapped"
        )
    return result


def pytest_runtest_logreport(report: pytest.TestReport) -> None:
    name = _names.get(report.nodeid, report.nodeid)
    xfail = hasattr(report, "wasxfail")
    if report.when == "call":
        if xfail:
            _outcomes[name] = "xfailed" if report.skipped else "xpassed"
        else:
            _outcomes[name] = report.outcome
    elif report.when == "setup" and not report.passed:
        _outcomes[name] = "error" if report.failed else "xfailed" if xfail else "skipped"
    elif report.when == "teardown" and report.failed:
        _outcomes[name] = "error"


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    path = session.config.getoption("--linreg-report")
    if not path:
        return
    record = {
        "monitored": _watch.enabled,
        "outcomes": _outcomes,
        "fitted_ours": sorted(_watch.ours),
        "touched_ours": sorted(_watch.touched),
        "ran_original": {k: sorted(set(v)) for k, v in _watch.original.items()},
        "deselected": _deselected,
    }
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(record, handle, indent=1, sort_keys=True)
