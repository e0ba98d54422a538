"""Python threads, interpreter exit and subinterpreters.

The module never releases the GIL: a call runs from entry to return while
every other Python thread waits, its pool workers included in that wait. So
calls from many threads cannot interleave, and on a shared instance a
conflict ("Already borrowed", "Already mutably borrowed") can arise only when
Python code runs inside a call while the instance is held: a rejected
argument's type name looked up through a metaclass, or NumPy printing a dtype
in Python. The tests assert exactly that: none with valid arguments, and the
documented ones, deterministically, from a thread started inside a call.

Each call leaves detached pool workers that end on their own, possibly after
the call has returned; an interpreter that exits at once must still exit
cleanly, and that is tried 200 times. The module refuses to load into a
second interpreter of a process, with ImportError and nothing worse.
"""

import ctypes
import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from bravolin_learn import LinearRegression

HERE = os.path.abspath(__file__)
JOIN_TIMEOUT = 120  # seconds; every wait in this file is bounded
THREADS = 8
ROUNDS = 15


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64).copy()


def datasets(count):
    out = []
    for i in range(count):
        rng = np.random.default_rng(100 + i)
        # 70 rows: past the schoolbook threshold, so the seven jobs run.
        x = rng.standard_normal((70, 1 + i % 3))
        y = x @ rng.standard_normal((x.shape[1], 1)) + rng.standard_normal((70, 1)) * 0.1
        out.append((x, y))
    return out


def run_threads(targets):
    """Starts one thread per target at the same moment; returns what each
    raised (None for none). Fails if any is still running at the timeout."""
    start = threading.Barrier(len(targets))
    errors = [None] * len(targets)

    def wrap(i, target):
        try:
            start.wait(timeout=JOIN_TIMEOUT)
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors[i] = error

    threads = [threading.Thread(target=wrap, args=(i, t), daemon=True) for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "a thread is still running"
    return errors


@pytest.fixture
def fast_switching():
    # Ask CPython to switch threads as often as it can, so that any point
    # where a call could let another thread in is likely to be hit.
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def reference(data, probe):
    """Single-threaded predictions of a fresh model per dataset and intercept choice."""
    out = {}
    for i, (x, y) in enumerate(data):
        for fit_intercept in (True, False):
            model = LinearRegression(fit_intercept)
            model.fit(x, y)
            out[i, fit_intercept] = (bits(model.predict(x)), bits(model.predict(probe[:, : x.shape[1]])))
    return out


def test_threads_on_separate_instances_give_single_threaded_bits(fast_switching):
    data = datasets(THREADS)
    probe = np.linspace(-3.0, 3.0, 12).reshape(4, 3)
    expected = reference(data, probe)
    results = [[] for _ in range(THREADS)]

    def work(i):
        x, y = data[i]
        for r in range(ROUNDS):
            fit_intercept = (i + r) % 2 == 0
            model = LinearRegression(fit_intercept)
            model.fit(x, y)
            results[i].append(((i, fit_intercept), bits(model.predict(x)), bits(model.predict(probe[:, : x.shape[1]]))))

    errors = run_threads([lambda i=i: work(i) for i in range(THREADS)])
    assert errors == [None] * THREADS
    for per_thread in results:
        assert len(per_thread) == ROUNDS
        for key, on_x, on_probe in per_thread:
            assert np.array_equal(on_x, expected[key][0]) and np.array_equal(on_probe, expected[key][1])


def test_threads_on_one_instance_never_conflict_with_valid_arrays(fast_switching):
    """With valid arrays no Python code runs inside a call, so calls from
    different threads cannot meet on the instance's guard; every prediction
    is that of one complete fit."""
    data = [(x[:, :1].copy(), y) for x, y in datasets(4)]
    probe = np.linspace(-3.0, 3.0, 5).reshape(5, 1)
    allowed = set()
    for x, y in data:
        model = LinearRegression(True)
        model.fit(x, y)
        allowed.add(bits(model.predict(probe)).tobytes())
    shared = LinearRegression(True)
    shared.fit(*data[0])
    seen = []

    def fitter(i):
        for r in range(ROUNDS):
            shared.fit(*data[(i + r) % len(data)])

    def predictor():
        for _ in range(3 * ROUNDS):
            seen.append(bits(shared.predict(probe)).tobytes())

    errors = run_threads([lambda i=i: fitter(i) for i in range(THREADS // 2)] + [predictor] * (THREADS // 2))
    assert errors == [None] * THREADS, [repr(e) for e in errors if e is not None]
    assert len(seen) == 3 * ROUNDS * (THREADS // 2)
    assert set(seen) <= allowed


def test_threads_on_one_instance_with_dtypes_printed_in_python(fast_switching):
    """Rejected dtypes are printed by NumPy's Python code while the instance
    is held, which lets other threads run then: the only extra outcomes are
    the documented conflicts, and every success is still exact."""
    x, y = datasets(1)[0]
    wrong = x.astype(np.float32)
    probe = np.linspace(-3.0, 3.0, 5).reshape(5, 1)[:, [0] * x.shape[1]]
    model = LinearRegression(True)
    model.fit(x, y)
    expected = bits(model.predict(probe))
    shared = LinearRegression(True)
    shared.fit(x, y)
    outcomes = []

    def record(call):
        try:
            result = call()
            outcomes.append(("ok", None) if result is None else ("ok", bits(result).tobytes() == expected.tobytes()))
        except (TypeError, RuntimeError) as error:
            outcomes.append((type(error).__name__, str(error)))

    def fitter():
        for _ in range(ROUNDS):
            record(lambda: shared.fit(x, y))
            record(lambda: shared.fit(wrong, y))

    def predictor():
        for _ in range(ROUNDS):
            record(lambda: shared.predict(probe))
            record(lambda: shared.predict(wrong))

    errors = run_threads([fitter, predictor] * (THREADS // 2))
    assert errors == [None] * THREADS
    allowed = {
        ("ok", None),
        ("ok", True),
        ("TypeError", "argument 'x': type mismatch:\n from=float32, to=float64"),
        ("RuntimeError", "Already borrowed"),
        ("RuntimeError", "Already mutably borrowed"),
    }
    assert set(outcomes) <= allowed, set(outcomes) - allowed
    assert bits(shared.predict(probe)).tobytes() == expected.tobytes()


def call_from_another_thread(action):
    """An argument whose type-name lookup, which runs while the call holds
    the instance, runs `action` on another thread and waits for it."""
    seen = []

    def run():
        try:
            action()
            seen.append(None)
        except RuntimeError as error:
            seen.append(str(error))

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__" and not seen:
                thread = threading.Thread(target=run)
                thread.start()
                thread.join(timeout=JOIN_TIMEOUT)
                assert not thread.is_alive()
            return super().__getattribute__(name)

    return Meta("Probe", (), {})(), seen


@pytest.mark.parametrize(
    "held_by, other, message",
    [
        ("fit", "fit", "Already borrowed"),
        ("fit", "predict", "Already mutably borrowed"),
        ("predict", "fit", "Already borrowed"),
        ("predict", "predict", None),  # two readers may overlap
    ],
)
def test_conflict_seen_by_another_thread_while_a_call_holds_the_instance(held_by, other, message):
    x = np.array([[1.0], [2.0], [3.0]])
    y = np.array([[3.0], [5.0], [7.0]])
    model = LinearRegression(True)
    model.fit(x, y)
    expected = bits(model.predict(x))
    act = (lambda: model.fit(x, y)) if other == "fit" else (lambda: model.predict(x))
    probe, seen = call_from_another_thread(act)
    with pytest.raises(TypeError, match="cannot be converted to 'PyArray<T, D>'"):
        if held_by == "fit":
            model.fit(x, probe)
        else:
            model.predict(probe)
    assert seen == [message]
    assert np.array_equal(bits(model.predict(x)), expected)  # the guard was given back


# --- exit while workers are ending ----------------------------------------------

EXIT_RUNS = 200
PARALLEL = 2


def fork_exits_child(runs, variant_names):
    """Forked from a process that has imported everything, each child fits,
    predicts and exits at once, while that call's detached workers may still
    be ending: through the interpreter's normal exit, through the C library's
    exit, with another Python thread still fitting, or forked itself while
    the workers of a fit in this process were ending."""
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)  # fork with OpenBLAS threads

    x = np.random.default_rng(3).standard_normal((70, 2))
    y = x @ np.ones((2, 1))
    variants = variant_names.split(",")
    statuses = []
    running = {}

    def reap(timeout):
        ready, _, _ = select.select(list(running), [], [], timeout)
        if not ready:  # a child hangs: kill it and say so
            for fd, (pid, variant) in list(running.items()):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                os.close(fd)
                statuses.append([variant, "hang"])
            running.clear()
            return
        for fd in ready:
            pid, variant = running.pop(fd)
            _, status = os.waitpid(pid, 0)
            os.close(fd)
            if os.WIFSIGNALED(status):
                statuses.append([variant, f"signal {os.WTERMSIG(status)}"])
            else:
                statuses.append([variant, os.WEXITSTATUS(status)])

    for i in range(runs):
        while len(running) >= PARALLEL:
            reap(JOIN_TIMEOUT)
        variant = variants[i % len(variants)]
        if variant == "forked while workers end":
            # As a program forking right after a fit does (multiprocessing's
            # fork start method): the workers of that fit live on only in
            # this process, and any lock they hold stays held in the child.
            LinearRegression(True).fit(x, y)
        pid = os.fork()
        if pid == 0:
            if variant == "daemon thread fitting":
                # Another Python thread is inside fit when the main one exits.
                def loop():
                    while True:
                        LinearRegression(True).fit(x, y)

                threading.Thread(target=loop, daemon=True).start()
            model = LinearRegression(True)
            model.fit(x, y)
            model.predict(x)
            if variant == "C exit at once":
                # The interpreter's own shutdown takes long enough for the
                # workers to be gone; the C library's exit (static
                # destructors, atexit) starts within microseconds of the
                # last product instead.
                ctypes.CDLL(None).exit(0)
            sys.exit(0)
        running[os.pidfd_open(pid)] = (pid, variant)
    while running:
        reap(JOIN_TIMEOUT)
    print(json.dumps(statuses))


@pytest.mark.skipif(not hasattr(os, "pidfd_open"), reason="needs os.pidfd_open to bound each wait")
def test_interpreters_exit_cleanly_while_workers_end():
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    variants = "interpreter exit,C exit at once,daemon thread fitting"
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        # AddressSanitizer's allocator (GCC 12's) is not made safe across
        # fork: a child forked while another thread allocates inherits its
        # lock held and blocks on its first allocation. glibc's malloc is.
        variants += ",forked while workers end"
    done = subprocess.run(
        [sys.executable, "-P", HERE, "fork-exits", str(EXIT_RUNS), variants],
        capture_output=True, text=True, timeout=600, env=env, errors="backslashreplace",
    )
    assert done.returncode == 0, done.stderr[-4000:]
    statuses = json.loads(done.stdout.strip().splitlines()[-1])
    assert len(statuses) == EXIT_RUNS
    bad = [s for s in statuses if s[1] != 0]
    assert bad == [], f"{len(bad)} of {EXIT_RUNS} exits were not clean: {bad[:10]}\n{done.stderr[-4000:]}"
    assert done.stderr == "", done.stderr[-4000:]


EXEC_RUNS = 10
EXIT_CODE = textwrap.dedent(
    """
    import numpy as np
    from bravolin_learn import LinearRegression
    x = np.arange(140.0).reshape(70, 2) ** 0.5
    m = LinearRegression(True)
    m.fit(x, x @ np.ones((2, 1)))
    m.predict(x)
    """
)


def test_whole_interpreters_exit_cleanly_while_workers_end(tmp_path):
    """The same through a fresh interpreter each time, start-up and all."""
    failures = []
    for first in range(0, EXEC_RUNS, PARALLEL):
        children = [
            subprocess.Popen([sys.executable, "-P", "-c", EXIT_CODE], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(min(PARALLEL, EXEC_RUNS - first))
        ]
        for child in children:
            try:
                out, err = child.communicate(timeout=JOIN_TIMEOUT)
            except subprocess.TimeoutExpired:
                child.kill()
                out, err = child.communicate()
                failures.append(("hang", err[-2000:]))
                continue
            if child.returncode != 0 or out or err:
                failures.append((child.returncode, err[-2000:]))
    assert failures == []


# --- subinterpreters -------------------------------------------------------------


# Run with `python -c`: the process must not have imported the module before
# the subinterpreter that is to import it first.
SUBINTERPRETER_CODE = textwrap.dedent(
    r"""
    import json, os, sys, tempfile

    order = sys.argv[1]
    low = None
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            low = __import__(name)
            break
        except ImportError:
            pass
    try:
        from test.support import interpreters as high
    except ImportError:
        high = None

    out = tempfile.mkdtemp()
    code = "\n".join([
        "try:",
        "    import bravolin_learn",
        "    result = 'imported'",
        "except ImportError as error:",
        "    result = 'ImportError: ' + str(error)",
        "except BaseException as error:",
        "    result = type(error).__name__ + ': ' + str(error)",
        "with open({path!r}, 'w') as f:",
        "    f.write(result)",
    ])
    results = {}

    def run_low(config, label):
        if low is None:
            return
        if low.__name__ == "_interpreters":
            interp = low.create(config)
            run = lambda c: low.exec(interp, c)
        else:
            interp = low.create(isolated=(config == "isolated"))
            run = lambda c: low.run_string(interp, c)
        path = os.path.join(out, label)
        try:
            run(code.format(path=path))
        finally:
            low.destroy(interp)
        with open(path) as f:
            results[label] = f.read()

    def run_high(label):
        if high is None:
            return
        interp = high.create()
        path = os.path.join(out, label)
        (interp.exec if hasattr(interp, "exec") else interp.run)(code.format(path=path))
        interp.close()
        with open(path) as f:
            results[label] = f.read()

    if order == "main first":
        import numpy as np
        import bravolin_learn

        run_low("legacy", "legacy")
        run_low("isolated", "isolated")
        run_high("test.support.interpreters")
        model = bravolin_learn.LinearRegression(True)
        model.fit(np.array([[1.0], [2.0], [3.0]]), np.array([[3.0], [5.0], [7.0]]))
        results["main afterwards"] = model.predict(np.array([[4.0]])).tolist()
    else:
        run_low("legacy", "legacy")
        try:
            import bravolin_learn

            results["main afterwards"] = "imported"
        except ImportError as error:
            results["main afterwards"] = "ImportError: " + str(error)
    print(json.dumps(results))
    """
)


def run_subinterpreter_child(order, tmp_path):
    done = subprocess.run(
        [sys.executable, "-P", "-X", "faulthandler", "-c", SUBINTERPRETER_CODE, order],
        cwd=tmp_path, capture_output=True, text=True, timeout=JOIN_TIMEOUT, errors="backslashreplace",
    )
    assert done.returncode == 0, f"status {done.returncode}\n{done.stderr[-4000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_import_in_a_subinterpreter_raises_import_error(tmp_path):
    results = run_subinterpreter_child("main first", tmp_path)
    if "legacy" not in results:
        pytest.skip("this Python offers no subinterpreters")
    # The module's own refusal: an interpreter sharing the main one's GIL
    # lets the module's initialisation run and decide.
    assert results["legacy"].startswith("ImportError: ")
    assert "subinterpreters" in results["legacy"]
    # CPython's refusal: an isolated interpreter takes no single-phase module.
    assert results["isolated"].startswith("ImportError: ")
    if "test.support.interpreters" in results:
        assert results["test.support.interpreters"].startswith("ImportError: ")
    assert results["main afterwards"] == pytest.approx([9.0], rel=1e-12)


def test_subinterpreter_importing_first_leaves_one_owner(tmp_path):
    results = run_subinterpreter_child("subinterpreter first", tmp_path)
    if "legacy" not in results:
        pytest.skip("this Python offers no subinterpreters")
    refused = "ImportError: bravolin_learn does not support subinterpreters"
    if results["legacy"] == "imported":
        # 3.12: the subinterpreter ran the init first and owns the module,
        # even after it is gone.
        assert results["main afterwards"].startswith(refused)
    else:
        # 3.13 runs a single-phase module's init in the main interpreter
        # first, whoever imports it: the main interpreter owns it.
        assert results["legacy"].startswith(refused)
        assert results["main afterwards"] == "imported"


if __name__ == "__main__":
    if sys.argv[1] == "fork-exits":
        fork_exits_child(int(sys.argv[2]), sys.argv[3])
    else:
        raise SystemExit(f"unknown child {sys.argv[1]}")
