"""Calls read their arrays where they lie, and stop when the user presses Ctrl-C.

- Out of core: a fit over a memory-mapped file several times larger than the
  process's data limit works, and gives the bits of the same fit made without
  the limit (a copy of x would not fit under it).
- Ctrl-C: a long fit or predict (the dense fallback that a NaN forces) stops
  on SIGINT with KeyboardInterrupt and leaves the model as it was.

Both run in child interpreters, bounded in time: a crash or a hang becomes a
failed test, and the data limit binds only the child.
"""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

HERE = os.path.abspath(__file__)
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
CHILD_TIMEOUT = 300

# 3 * 10^6 rows of 16 features: 384 MB of x, 24 MB of y.
ROWS = 3_000_000
FEATURES = 16
DATA_LIMIT_HEADROOM = 64 << 20


def run_child(*args, timeout=CHILD_TIMEOUT):
    # One BLAS thread: NumPy's BLAS reserves buffers per thread, which would
    # take much of the data limit before the fit starts.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    done = subprocess.run(
        [sys.executable, "-P", HERE, *args],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert done.returncode == 0, f"child {args} failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


def probe(model):
    """Predictions at 0 and at each unit vector: the intercept and every
    coefficient plus it, as hex strings so that JSON keeps every bit."""
    rows = np.vstack([np.zeros((1, FEATURES)), np.eye(FEATURES)])
    return [v.hex() for v in model.predict(rows)]


def write_memmap(path):
    x = np.memmap(path + ".x", dtype=np.float64, mode="w+", shape=(ROWS, FEATURES))
    y = np.memmap(path + ".y", dtype=np.float64, mode="w+", shape=(ROWS, 1))
    rng = np.random.default_rng(7)
    beta = rng.uniform(-2.0, 2.0, size=(FEATURES, 1))
    step = 250_000
    for lo in range(0, ROWS, step):
        block = rng.standard_normal((step, FEATURES))
        x[lo : lo + step] = block
        y[lo : lo + step] = 0.5 + block @ beta + 0.01 * rng.standard_normal((step, 1))
    x.flush()
    y.flush()
    del x, y


def data_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmData:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmData in /proc/self/status")


def memmap_child(path, limited):
    import resource

    from bravolin_learn import LinearRegression

    x = np.memmap(path + ".x", dtype=np.float64, mode="r", shape=(ROWS, FEATURES))
    y = np.memmap(path + ".y", dtype=np.float64, mode="r", shape=(ROWS, 1))
    model = LinearRegression(True)
    copy_refused = None
    if limited == "1":
        limit = data_bytes() + DATA_LIMIT_HEADROOM
        assert limit < x.nbytes // 3, (limit, x.nbytes)
        resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.getrlimit(resource.RLIMIT_DATA)[1]))
        # The limit binds: a private copy of x cannot even be reserved.
        try:
            np.empty_like(x)
            copy_refused = False
        except MemoryError:
            copy_refused = True
    model.fit(x, y)
    print(json.dumps({"probe": probe(model), "copy_refused": copy_refused}))


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's shadow memory counts against RLIMIT_DATA")
def test_memmap_fit_under_a_data_limit_far_below_its_size(tmp_path):
    path = str(tmp_path / "data")
    write_memmap(path)
    free = run_child("memmap", path, "0")
    limited = run_child("memmap", path, "1")
    assert limited["copy_refused"] is True
    assert limited["probe"] == free["probe"]


# --- Ctrl-C ----------------------------------------------------------------------

# A NaN sends the products to the dense recursion over the padded square of
# side 3000: about 50 million elements of operands and seconds of work.
LONG_ROWS = 3000


def interrupt_child(call):
    from bravolin_learn import LinearRegression

    rng = np.random.default_rng(3)
    small = rng.standard_normal((50, FEATURES))
    model = LinearRegression(True)
    model.fit(small, small[:, :1] + 1.0)
    before = probe(model)

    x = rng.standard_normal((LONG_ROWS, FEATURES))
    x[LONG_ROWS // 2, 3] = np.nan
    y = x[:, :1] + 1.0
    work = (lambda: model.fit(x, y)) if call == "fit" else (lambda: model.predict(x))
    try:
        print("ready", flush=True)
        work()
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    stopped = time.monotonic()
    print(json.dumps({"outcome": outcome, "stopped": stopped, "unchanged": probe(model) == before}))


def threads_of(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except FileNotFoundError:
        return 0


@pytest.mark.parametrize("call", ["fit", "predict"])
def test_ctrl_c_stops_a_long_call_and_keeps_the_model(call):
    # One BLAS thread: then the child's only other threads are the workers
    # of the call, which show that the call is under way.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    child = subprocess.Popen(
        [sys.executable, "-P", HERE, "interrupt", call],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + CHILD_TIMEOUT
        while threads_of(child.pid) < 2 and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        assert child.poll() is None, "the call ended before it could be interrupted"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=CHILD_TIMEOUT)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err[-3000:]
    result = json.loads(out.strip().splitlines()[-1])
    assert result["outcome"] == "KeyboardInterrupt"
    assert result["unchanged"]
    # For the record (pytest -s); speed is not asserted in tests.
    print(f"{call}: stopped {1e3 * (result['stopped'] - sent):.0f} ms after SIGINT was sent")


if __name__ == "__main__":
    if sys.argv[1] == "memmap":
        memmap_child(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "interrupt":
        interrupt_child(sys.argv[2])
