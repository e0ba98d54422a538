"""Time and memory of fit and predict: bravolin_learn against NumPy and scikit-learn.

For every case (n observations, p features, one target column, with an
intercept) and every method, a fresh Python process generates the data, fits,
then predicts on the training x, and reports:

- time: wall-clock seconds of one fit and of one predict (time.perf_counter),
  the best of several runs when a run is short (--min-time, --repeat);
- peak memory: the growth of the process's peak resident set size during the
  first fit and the first predict, in MiB. Python's tracemalloc cannot see the
  C++ allocations of bravolin_learn (nor BLAS buffers), so the kernel's count
  is used instead: Linux's VmHWM is reset to the current RSS before each phase
  (writing 5 to /proc/self/clear_refs) and read after it. Where that reset is
  not allowed, fit's figure is ru_maxrss minus the RSS before the fit, and
  predict's is not available. Memory that was touched before and reused is not
  counted again, so the figures are what a phase adds on top of the data.

Methods: bravolin_learn.LinearRegression(True); numpy.linalg.lstsq on [1 | x]
(predict: intercept + x @ coefficients); sklearn.linear_model.LinearRegression
(installed only for this benchmark: without it its rows say so).

Ratios are bravolin_learn's figure divided by the other method's, from the
same run on the same data.

bravolin_learn pads every product to a square of side max(n, p) (rounded up
to even), so its fit needs memory and time that grow with n², not n·p. Cases
whose estimated need exceeds the memory available are skipped rather than
risk the machine; --max-gib lowers the limit further.

Usage:
  python bench/bench_fit.py                       # n in {100, 1000, 4000}, p in {3, 16}
  python bench/bench_fit.py --n 100 1000000 --p 3 64
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

DEFAULT_N = [100, 1000, 4000]
DEFAULT_P = [3, 16]
METHODS = ["bravolin_learn", "numpy lstsq", "sklearn"]
SEED = 12345
MIB = 1024 * 1024
# Each worker process is also capped in address space, a safety net should an
# estimate below be wrong: a capped process fails with MemoryError instead of
# pushing a shared machine into its out-of-memory killer. The slack covers
# address space that is reserved but never touched (thread stacks, malloc
# arenas, BLAS buffers).
ADDRESS_SLACK = 4 * 2**30

# Bytes per element of the padded square, for bravolin_learn's fit: two padded
# operands, the fourteen quarter-size Strassen operands (3.5 squares), the seven
# quarter-size products, the joined result, and the recursion inside the
# workers. Measured: about 110 (1671 MiB at n = 4000, 13.7 squares of 8-byte
# elements); the estimate keeps a margin above that.
BRAVOLIN_BYTES_PER_SQUARE_ELEMENT = 8 * 16


# --- worker: one method on one case, in its own process ------------------------


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak():
    """Reset VmHWM to the current RSS; False when the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return _status_kib("VmHWM") <= _status_kib("VmRSS") + 64
    except OSError:
        return False


def _measure(call, can_reset, min_time, repeat):
    """(best seconds, peak growth in bytes or None, result of the first call)."""
    if can_reset:
        _reset_peak()
        start_rss = _status_kib("VmHWM")
    else:
        start_rss = _status_kib("VmRSS")
    started = time.perf_counter()
    result = call()
    best = time.perf_counter() - started
    if can_reset:
        # The kernel batches each thread's RSS count, so a phase that adds
        # almost nothing can read a few pages below its start.
        peak = max(0, _status_kib("VmHWM") - start_rss) * 1024
    else:
        peak = None
    spent = best
    runs = 1
    while spent < min_time and runs < repeat:
        started = time.perf_counter()
        call()
        elapsed = time.perf_counter() - started
        best = min(best, elapsed)
        spent += elapsed
        runs += 1
    return best, peak, result, runs


def worker(method, n, p, min_time, repeat):
    import numpy as np

    rng = np.random.default_rng([SEED, n, p])
    x = rng.standard_normal((n, p))
    coefficients = rng.uniform(-3.0, 3.0, size=p)
    y = (2.0 + x @ coefficients + 0.1 * rng.standard_normal(n)).reshape(-1, 1)

    if method == "bravolin_learn":
        import bravolin_learn
        # The first fit imports SciPy's LAPACK; done here, that one-time cost
        # stays out of the figures, as the other methods' imports do.
        import scipy.linalg.cython_lapack  # noqa: F401

        model = bravolin_learn.LinearRegression(True)

        def fit():
            return model.fit(x, y)

        def predict():
            return model.predict(x)

    elif method == "numpy lstsq":
        ones = np.ones((n, 1))
        params = {}

        def fit():
            solution, *_ = np.linalg.lstsq(np.hstack([ones, x]), y[:, 0], rcond=None)
            params["b"], params["w"] = solution[0], solution[1:]

        def predict():
            return params["b"] + x @ params["w"]

    elif method == "sklearn":
        try:
            from sklearn.linear_model import LinearRegression
        except ImportError:
            return {"error": "scikit-learn not installed"}
        model = LinearRegression(fit_intercept=True)
        y_flat = y[:, 0].copy()

        def fit():
            return model.fit(x, y_flat)

        def predict():
            return model.predict(x)

    else:
        raise ValueError(method)

    can_reset = _reset_peak()
    baseline_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    fit_s, fit_peak, _, fit_runs = _measure(fit, can_reset, min_time, repeat)
    if fit_peak is None:
        # Without a resettable peak, only the process's lifetime peak is known.
        fit_peak = max(
            0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - baseline_peak
        )
    predict_s, predict_peak, predictions, predict_runs = _measure(
        predict, can_reset, min_time, repeat
    )
    residual_sd = float(np.std(y[:, 0] - predictions))
    return {
        "fit_s": fit_s,
        "predict_s": predict_s,
        "fit_peak": fit_peak,
        "predict_peak": predict_peak,
        "runs": [fit_runs, predict_runs],
        "residual_sd": residual_sd,
    }


# --- driver ------------------------------------------------------------------------


def available_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def bravolin_estimate(n, p):
    side = max(n, p + 1)
    side += side % 2
    return BRAVOLIN_BYTES_PER_SQUARE_ELEMENT * side * side


def run_case(method, n, p, args, limit):
    if method == "bravolin_learn" and bravolin_estimate(n, p) > limit:
        return {"error": f"skipped: needs about {bravolin_estimate(n, p) / 2**30:.0f} GiB"}
    command = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        method,
        str(n),
        str(p),
        "--min-time",
        str(args.min_time),
        "--repeat",
        str(args.repeat),
        "--address-limit",
        str(int(limit + ADDRESS_SLACK)),
    ]
    try:
        done = subprocess.run(
            command, capture_output=True, text=True, timeout=args.timeout, check=False
        )
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {args.timeout:g} s"}
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["exit status " + str(done.returncode)])[-1]
        return {"error": last[:60]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_mib(value):
    return "-" if value is None else f"{value / MIB:.1f}"


def fmt_ratio(ours, theirs):
    if ours is None or theirs is None or theirs <= 0:
        return "-"
    return f"{ours / theirs:.1f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, nargs="+", default=DEFAULT_N, help="observations")
    parser.add_argument("--p", type=int, nargs="+", default=DEFAULT_P, help="features")
    parser.add_argument(
        "--min-time", type=float, default=1.0, help="repeat a phase until this many seconds"
    )
    parser.add_argument("--repeat", type=int, default=5, help="at most this many runs a phase")
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds per case")
    parser.add_argument(
        "--max-gib", type=float, default=None, help="skip bravolin_learn cases estimated above"
    )
    parser.add_argument("--worker", nargs=3, metavar=("METHOD", "N", "P"), help=argparse.SUPPRESS)
    parser.add_argument("--address-limit", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        if args.address_limit is not None:
            resource.setrlimit(resource.RLIMIT_AS, (args.address_limit, args.address_limit))
        method, n, p = args.worker[0], int(args.worker[1]), int(args.worker[2])
        print(json.dumps(worker(method, n, p, args.min_time, args.repeat)))
        return

    limit = 0.7 * available_bytes()
    if args.max_gib is not None:
        limit = min(limit, args.max_gib * 2**30)

    header = (
        f"{'n':>8} {'p':>4}  {'method':<15} {'fit':>10} {'predict':>10} "
        f"{'fit MiB':>9} {'pred MiB':>9}  {'fit ratio':>9} {'pred ratio':>10} "
        f"{'mem ratio':>9}  {'resid sd':>8}"
    )
    print("bravolin_learn against numpy.linalg.lstsq and scikit-learn, with intercept")
    print("time: best run; MiB: growth of peak RSS in the phase; ratio: bravolin_learn / method")
    print(header)
    print("-" * len(header))
    for n in args.n:
        for p in args.p:
            results = {method: run_case(method, n, p, args, limit) for method in METHODS}
            ours = results["bravolin_learn"]
            for method in METHODS:
                r = results[method]
                lead = f"{n:>8} {p:>4}  {method:<15} "
                if "error" in r:
                    print(lead + r["error"], flush=True)
                    continue
                ratios = ("", "", "")
                if method != "bravolin_learn" and "error" not in ours:
                    ratios = (
                        fmt_ratio(ours["fit_s"], r["fit_s"]),
                        fmt_ratio(ours["predict_s"], r["predict_s"]),
                        fmt_ratio(ours["fit_peak"], r["fit_peak"]),
                    )
                print(
                    lead
                    + f"{fmt_time(r['fit_s']):>10} {fmt_time(r['predict_s']):>10} "
                    + f"{fmt_mib(r['fit_peak']):>9} {fmt_mib(r['predict_peak']):>9}  "
                    + f"{ratios[0]:>9} {ratios[1]:>10} {ratios[2]:>9}  "
                    + f"{r['residual_sd']:>8.4f}",
                    flush=True,
                )


if __name__ == "__main__":
    main()
