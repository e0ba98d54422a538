"""Memory, references and borrows: what a call may cost and what it must give back.

- Impossible sizes: a zero-stride view that claims more elements than the
  machine has memory is refused with MemoryError before anything is copied,
  whichever argument it is; one that claims a million rows (8 MB to copy)
  works or fails with a documented error.
- Leaks: ten thousand calls along the success path and along every failure
  path leave the argument arrays' reference counts as they were, and neither
  Python's memory (tracemalloc, allocated blocks) nor the native heap
  (glibc's in-use bytes, the resident set) grows after a warm-up.
- Borrows: no call, failing or not, leaves a borrow in the registry that other
  NumPy extensions share, even when Python code reshaped an argument while it
  was borrowed.
- Short of memory: under an address-space limit a call still ends in a
  documented outcome and the interpreter lives on.

The measurements and the risky calls run in child interpreters: a crash
becomes a failed test with the child's output, a hang ends at the timeout,
and the measurements see no memory of pytest's own.
"""

import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from bravolin_learn import LinearRegression

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # also when run as a child script
from support import borrow_record, panic_type  # noqa: E402

HERE = os.path.abspath(__file__)
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
# Sanitized code is several times slower, and its job there is to catch bad
# memory accesses, which a tenth of the calls reach just as well.
CALLS = 1_000 if UNDER_ASAN else 10_000
WARM_UP = 1_000
CHILD_TIMEOUT = 300

PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
PAGE = os.sysconf("SC_PAGE_SIZE")

NULL_MATRIX = "cannot create a null matrix"
SIZES_DIFFER = "Matrix sizes do not match"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
# The pool's texts when it cannot start a thread, and when a product's job
# failed (for lack of memory, say) and left its slot empty.
THREAD_NOT_STARTED = "called `Result::unwrap()` on an `Err` value"
PRODUCT_MISSING = "called `Option::unwrap()` on a `None` value"


# --- what the children share ---------------------------------------------------


def outcome(call, panic):
    try:
        call()
        return ["ok", None]
    except panic as error:
        return ["Panic", error.args[0]]
    except BaseException as error:  # noqa: BLE001 - reported, then judged
        return [type(error).__name__, str(error)]


def run_child(*args, limit_memory=True, timeout=CHILD_TIMEOUT):
    """Runs this file as a script with `args`; returns the JSON it prints last."""
    env = dict(os.environ, BRAVOLIN_LIMIT_MEMORY="1" if limit_memory else "0")
    try:
        done = subprocess.run(
            [sys.executable, "-P", "-X", "faulthandler", HERE, *args],
            capture_output=True, text=True, errors="backslashreplace", timeout=timeout, env=env,
        )
    except subprocess.TimeoutExpired as timeout_error:
        raise AssertionError(f"child {args} hung") from timeout_error
    # Every internal fault writes a report line; they are expected here.
    stderr = "\n".join(l for l in done.stderr.splitlines() if "internal fault at" not in l)
    if done.returncode != 0:
        raise AssertionError(
            f"child {args} ended with status {done.returncode}\n--- stdout ---\n{done.stdout[-4000:]}"
            f"\n--- stderr ---\n{stderr[-4000:]}"
        )
    return json.loads(done.stdout.strip().splitlines()[-1])


def limit_address_space():
    """Bounds a child's memory so that a runaway allocation (a bug) becomes
    MemoryError in the child, not the kernel's OOM killer on a shared
    machine. Not under AddressSanitizer, which reserves terabytes of address
    space for its shadow memory."""
    if UNDER_ASAN or os.environ.get("BRAVOLIN_LIMIT_MEMORY") != "1":
        return
    import resource

    limit = min(8 << 30, PHYSICAL_MEMORY // 2)
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))


# --- impossible sizes ------------------------------------------------------------

IMPOSSIBLE_SHAPES = [(10**6, 10**6), (2**30, 2**29), (2**59, 1), (1, 2**59)]
ROLES = ["fit x", "fit y", "predict x (fitted)", "predict x (not fitted)"]


def impossible_child():
    import resource

    panic = panic_type()
    record = borrow_record()
    x = np.random.default_rng(1).standard_normal((20, 2))
    y = x @ np.array([[1.0], [2.0]])
    fitted = LinearRegression(True)
    fitted.fit(x, y)
    expected = fitted.predict(x)
    start_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    results = {}
    for shape in IMPOSSIBLE_SHAPES:
        # Writeable, so that afterwards the registry can be asked for an
        # exclusive borrow of it.
        huge = as_strided(np.ones(1), shape, (0, 0), writeable=True)
        calls = {
            "fit x": lambda: LinearRegression(True).fit(huge, y),
            "fit y": lambda: LinearRegression(True).fit(x, huge),
            "predict x (fitted)": lambda: fitted.predict(huge),
            "predict x (not fitted)": lambda: LinearRegression(False).predict(huge),
        }
        for role, call in calls.items():
            kind, message = outcome(call, panic)
            free = record.acquire_mut(record.flags, huge) == 0 and record.acquire_mut(record.flags, x) == 0
            record.release_mut(record.flags, huge)
            record.release_mut(record.flags, x)
            results[f"{shape} {role}"] = [kind, message, free]
    # One row of many columns: x is tiny, its Gram is not.
    wide = as_strided(np.ones(1), (1, 2**24), (0, 0))
    results["wide fit"] = outcome(lambda: LinearRegression(True).fit(wide, np.ones((1, 1))), panic)
    # The fitted model was not disturbed by any refusal.
    unchanged = bool(np.array_equal(fitted.predict(x), expected))
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start_peak) * 1024
    print(json.dumps({"results": results, "unchanged": unchanged, "peak_growth": grown}))


@pytest.fixture(scope="module")
def impossible_results():
    return run_child("impossible")


@pytest.mark.parametrize("role", ROLES)
@pytest.mark.parametrize("shape", IMPOSSIBLE_SHAPES, ids=str)
def test_impossible_view_is_refused_before_copying(shape, role, impossible_results):
    kind, message, free = impossible_results["results"][f"{shape} {role}"]
    assert kind == "MemoryError"
    # The module's own refusal says what it refused. A bare MemoryError would
    # come from an allocator that gave up on a request it was handed; here
    # nothing that large may ever be requested.
    assert message, "the copy was attempted and the allocator refused it"
    assert free, "a refused call left a borrow behind"


def test_a_wide_x_is_refused_naming_its_product(impossible_results):
    kind, message = impossible_results["results"]["wide fit"]
    assert kind == "MemoryError" and "the product" in message


def test_refusals_touch_no_memory_and_keep_the_model(impossible_results):
    # 16 refused calls; copying even one would have meant terabytes.
    assert impossible_results["peak_growth"] < 64 << 20
    assert impossible_results["unchanged"]


def million_rows_child():
    import resource

    panic = panic_type()
    rows = 10**6
    x = as_strided(np.array([2.0]), (rows, 1), (0, 8))  # every row the same 8 bytes
    xs = as_strided(np.array([2.0, 5.0]), (rows, 2), (0, 8))
    y = as_strided(np.array([7.0]), (rows, 1), (0, 8))
    results = {}
    model = LinearRegression(False)
    results["fit without intercept"] = outcome(lambda: model.fit(x, y), panic)
    if results["fit without intercept"][0] == "ok":
        # y = 3.5 x exactly, so the one coefficient is 3.5 up to rounding.
        results["its prediction"] = model.predict(np.array([[2.0]])).tolist()
    results["fit with intercept"] = outcome(lambda: LinearRegression(True).fit(x, y), panic)
    small = LinearRegression(True)
    small.fit(np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 1.0], [2.0, 1.0]]), np.array([[1.0], [2.0], [3.0], [4.0]]))
    prediction = []
    results["predict"] = outcome(lambda: prediction.append(small.predict(xs)), panic)
    if prediction:
        p = prediction[0]
        results["predict shape"] = list(p.shape)
        results["predict constant"] = bool(np.all(p == p[0]))
    results["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps(results))


def test_million_zero_stride_rows_work_or_fail_as_documented():
    results = run_child("million")
    allowed = {
        # All rows equal: with an intercept the design's columns are collinear.
        "fit with intercept": [["ok", None], ["RuntimeError", "Matrix inversion failed."], ["MemoryError", None]],
        "fit without intercept": [["ok", None], ["MemoryError", None]],
        "predict": [["ok", None], ["MemoryError", None]],
    }
    for name, outcomes in allowed.items():
        kind, message = results[name]
        assert [kind, message] in outcomes or [kind, None] in outcomes, (name, results[name])
    if results["fit without intercept"][0] == "ok":
        assert results["its prediction"] == pytest.approx([7.0], rel=1e-12)
    if results["predict"][0] == "ok":
        assert results["predict shape"] == [10**6] and results["predict constant"]


# --- leaks -----------------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def native_heap_in_use():
    """Bytes glibc's malloc has handed out and not had back, over all arenas."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def reentrant_probe(action):
    """An argument whose type's name lookup runs `action`: Python code that
    runs while the instance is held by the call."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    action()
                except RuntimeError:
                    pass
            return super().__getattribute__(name)

    return Meta("Probe", (), {})()


def leak_scenarios(panic, record):
    """name -> (calls to cycle through, arrays whose references are watched,
    the outcomes each call must have, cleanup)."""
    rng = np.random.default_rng(5)
    x = rng.standard_normal((60, 3))  # copies of 1.4 KB: a leaked copy shows at once
    y = x @ np.array([[1.0], [-2.0], [0.5]]) + 0.25
    fitted = LinearRegression(True)
    fitted.fit(x, y)
    fresh = LinearRegression(True)
    singular = np.column_stack([x[:, 0], x[:, 0], x[:, 1]])
    y_short = y[:-1].copy()
    wide = rng.standard_normal((60, 4))
    empty = np.zeros((0, 3))
    listed = x.tolist()
    flat = y.ravel().copy()
    ints = np.ones((60, 3), dtype=np.int64)
    swapped = x.astype(">f8")
    held = x.copy()
    huge = as_strided(np.ones(1), (10**6, 10**6), (0, 0), writeable=False)
    none = lambda: None  # noqa: E731

    def hold():
        assert record.acquire_mut(record.flags, held) == 0

    def unhold():
        record.release_mut(record.flags, held)

    return {
        "fit": ([lambda: fresh.fit(x, y)], [x, y], [("ok", None)], none),
        "predict": ([lambda: fitted.predict(x)], [x], [("ok", None)], none),
        "binding errors": (
            [lambda: fresh.fit(x), lambda: fresh.fit(x, y, z=1), lambda: fresh.fit(x, x=x),
             lambda: fitted.predict(x, x), lambda: LinearRegression(1)],
            [x, y], [("TypeError", None)], none),
        "rejected arrays": (
            [lambda: fresh.fit(listed, y), lambda: fresh.fit(x, flat), lambda: fresh.fit(ints, y),
             lambda: fitted.predict(swapped), lambda: fitted.predict(None)],
            [x, y, flat, ints, swapped, listed], [("TypeError", None)], none),
        "singular": ([lambda: fresh.fit(singular, y)], [singular, y],
                     [("RuntimeError", "Matrix inversion failed.")], none),
        "not fitted": ([lambda: LinearRegression(False).predict(x)], [x],
                       [("RuntimeError", "Model has not been fitted yet.")], none),
        "sizes differ": ([lambda: fresh.fit(x, y_short), lambda: fitted.predict(wide)],
                         [x, y_short, wide], [("Panic", SIZES_DIFFER)], none),
        "null matrix": ([lambda: fresh.fit(empty, y), lambda: fitted.predict(empty)], [empty, y],
                        [("Panic", NULL_MATRIX)], none),
        "already borrowed": ([lambda: fresh.fit(held, y), lambda: fresh.fit(y, held),
                              lambda: fitted.predict(held)],
                             [held, y], [("Panic", ALREADY_BORROWED)], unhold, hold),
        "refused size": ([lambda: fresh.fit(huge, y), lambda: fitted.predict(huge)], [huge, y],
                         [("MemoryError", None)], none),
        "access guard": (
            [lambda: fitted.predict(reentrant_probe(lambda: fitted.fit(x, y))),
             lambda: fitted.fit(x, reentrant_probe(lambda: fitted.predict(x)))],
            [x, y], [("TypeError", None)], none),
    }


def leak_child(name):
    panic = panic_type()
    record = borrow_record()
    scenario = leak_scenarios(panic, record)[name]
    calls, arrays, allowed, cleanup = scenario[:4]
    if len(scenario) > 4:
        scenario[4]()
    counts = [sys.getrefcount(a) for a in arrays]
    tracemalloc.start()
    seen = set()

    def run(n):
        for i in range(n):
            kind, message = outcome(calls[i % len(calls)], panic)
            seen.add((kind, message))

    def measure():
        gc.collect()
        return {"traced": tracemalloc.get_traced_memory()[0], "blocks": sys.getallocatedblocks(),
                "heap": native_heap_in_use(), "rss": rss()}

    run(WARM_UP)
    before = measure()
    run(CALLS)
    after = measure()
    cleanup()
    growth = {key: after[key] - before[key] for key in before}
    refcounts_kept = [sys.getrefcount(a) for a in arrays] == counts
    bad = sorted(f"{k}: {m}" for k, m in seen
                 if not any(k == ak and (am is None or m == am) for ak, am in allowed))
    free = all(record.acquire_mut(record.flags, a) in (0, -2) for a in arrays if isinstance(a, np.ndarray))
    for a in arrays:
        if isinstance(a, np.ndarray):
            record.release_mut(record.flags, a)
    print(json.dumps({"growth": growth, "refcounts_kept": refcounts_kept, "unexpected": bad,
                      "borrows_free": free, "calls": CALLS}))


LEAK_SCENARIOS = ["fit", "predict", "binding errors", "rejected arrays", "singular", "not fitted",
                  "sizes differ", "null matrix", "already borrowed", "refused size", "access guard"]

# Per 10^4 calls, after a warm-up. A leaked Python object per call (at least
# 16 bytes, one block) or a leaked copy of an argument (1.4 KB) is far above
# these; what stays below is the noise of caches that fill once.
MAX_TRACED = 64 << 10
MAX_BLOCKS = 1_000
MAX_HEAP = 256 << 10
MAX_RSS = 4 << 20


@pytest.mark.parametrize("name", LEAK_SCENARIOS)
def test_ten_thousand_calls_leak_nothing(name):
    result = run_child("leak", name)
    assert result["unexpected"] == [], "calls ended in undocumented outcomes"
    assert result["refcounts_kept"], "an argument's reference count changed"
    assert result["borrows_free"], "a borrow was left in the registry"
    if UNDER_ASAN:
        # Its quarantine holds freed memory back and its allocator replaces
        # glibc's: growth measured there says nothing about the module.
        return
    growth = result["growth"]
    assert growth["traced"] < MAX_TRACED, growth
    assert growth["blocks"] < MAX_BLOCKS, growth
    assert growth["heap"] < MAX_HEAP, growth
    assert growth["rss"] < MAX_RSS, growth


# --- borrows that Python code could disturb -------------------------------------


@pytest.fixture(scope="module")
def record():
    return borrow_record()


def mutating_probe(action):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                action()
            return super().__getattribute__(name)

    return Meta("Probe", (), {})()


@pytest.mark.parametrize(
    "change",
    [
        lambda a: a.resize((2, 2), refcheck=False),
        lambda a: setattr(a, "shape", (a.size, 1)),
        lambda a: a.__setitem__(Ellipsis, 0.0),
    ],
    ids=["resized", "reshaped", "overwritten"],
)
def test_borrow_ends_when_x_changed_while_y_was_examined(change, record):
    """A borrow left in the registry for an array that was resized while held."""
    x = np.arange(6.0).reshape(3, 2).copy()
    with warnings.catch_warnings():
        # Setting an array's shape in place is deprecated in recent NumPy.
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError, match="^argument 'y': 'Probe' object cannot be converted"):
            LinearRegression(True).fit(x, mutating_probe(lambda: change(x)))
    assert record.acquire_mut(record.flags, x) == 0, "x is still borrowed"
    record.release_mut(record.flags, x)


# --- short of memory ---------------------------------------------------------------


def tight_child():
    import resource

    panic = panic_type()
    rng = np.random.default_rng(0)
    results = []
    # 50 rows: products on the calling thread; 150 rows: the seven jobs too.
    for rows in (50, 150):
        x = rng.standard_normal((rows, 3))
        y = x @ np.ones((3, 1))
        model = LinearRegression(True)
        model.fit(x, y)
        for headroom_mb in (0, 1, 2, 4, 8, 16, 24, 32, 48, 64, 96, 128, 192, 256):
            vm = int(open("/proc/self/statm").read().split()[0]) * PAGE
            resource.setrlimit(resource.RLIMIT_AS, (vm + (headroom_mb << 20), resource.RLIM_INFINITY))
            try:
                got = [outcome(lambda: LinearRegression(True).fit(x, y), panic),
                       outcome(lambda: model.predict(x), panic)]
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            results.append([rows, headroom_mb, got])
    # With memory back, the interpreter and the module go on as before.
    x = rng.standard_normal((150, 3))
    model = LinearRegression(True)
    model.fit(x, x @ np.ones((3, 1)))
    results.append(["after", 0, [["ok", None], outcome(lambda: model.predict(x), panic)]])
    print(json.dumps(results))


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer cannot run under an address-space limit")
def test_calls_short_of_memory_end_in_documented_outcomes():
    done = subprocess.run(
        [sys.executable, "-P", HERE, "tight"], capture_output=True, text=True, timeout=CHILD_TIMEOUT,
        errors="backslashreplace",
    )
    if done.returncode == 127 and "cannot allocate memory for thread-local data" in done.stderr:
        # glibc ends the process when a thread's first use of a library's
        # thread-local storage (libstdc++'s exception state, loaded with the
        # module after start-up) finds malloc failing; pool workers reach it
        # when they first take a lock. Known and rare; any other end fails.
        pytest.xfail("a new pool worker met malloc failing at its first use of thread-local storage")
    stderr = "\n".join(l for l in done.stderr.splitlines() if "internal fault at" not in l)
    assert done.returncode == 0, f"status {done.returncode}\n{stderr[-4000:]}"
    allowed = {("ok", None), ("MemoryError", None), ("Panic", THREAD_NOT_STARTED), ("Panic", PRODUCT_MISSING)}
    for rows, headroom, got in json.loads(done.stdout.strip().splitlines()[-1]):
        for kind, message in got:
            assert (kind, message) in allowed or (kind == "MemoryError"), (rows, headroom, kind, message)
    assert got == [["ok", None], ["ok", None]]


if __name__ == "__main__":
    limit_address_space()
    what = sys.argv[1]
    if what == "impossible":
        impossible_child()
    elif what == "million":
        million_rows_child()
    elif what == "leak":
        leak_child(sys.argv[2])
    elif what == "tight":
        tight_child()
    else:
        raise SystemExit(f"unknown child {what}")
