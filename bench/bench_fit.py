"""Time and memory of fit and predict: bravolin_learn against NumPy and scikit-learn.

For every case (n observations, p features, one target column, with an
intercept) and every method, a fresh Python process generates the data, fits,
then predicts on the training x, and reports:

- time: wall-clock seconds of one fit and of one predict (time.perf_counter).
  Each phase runs at least --min-runs times, and more until --min-time seconds
  are spent, at most --repeat times; the table shows the best run, and for
  fit also the first run (which pays for fresh memory: page faults, and for
  bravolin_learn huge pages), the JSON lines of --json hold every run.
- peak memory: the growth of the process's peak resident set size during the
  first fit and the first predict, in MiB. Python's tracemalloc cannot see the
  C++ allocations of bravolin_learn (nor BLAS buffers), so the kernel's count
  is used instead: Linux's VmHWM is reset to the current RSS before each phase
  (writing 5 to /proc/self/clear_refs) and read after it. Where that reset is
  not allowed, fit's figure is ru_maxrss minus the RSS before the fit, and
  predict's is not available. Memory that was touched before and reused is not
  counted again, so the figures are what a phase adds on top of the data.

Methods, all on the same data in the same run:
- bravolin_learn: LinearRegression(True).
- sklearn: sklearn.linear_model.LinearRegression(fit_intercept=True) (needed
  only for this benchmark: without it its rows say so).
- numpy lstsq: numpy.linalg.lstsq on [1 | x]; predict is intercept + x @ w.
- normal eq: the normal equations through NumPy's BLAS: d.T @ d, d.T @ y and
  numpy.linalg.solve, with d = [1 | x] built once outside the timing (so the
  figure is the BLAS products and the solve alone); predict is b + x @ w.
- x @ w: predict only, x @ w + b with the coefficients (found by NumPy,
  outside the timing); the floor for any predict.

Ratios are bravolin_learn's figure divided by the other method's, from the
same run on the same data: below 1 means bravolin_learn is faster or smaller.

Threads. bravolin_learn runs small products on the calling thread and the
two halves of a large tall product on two workers (seven for the dense
recursion that non-finite data forces); NumPy and scikit-learn run their
BLAS's own count (one per core by default). On a machine that other work keeps busy, a multithreaded BLAS can
stall at its barriers for tens to hundreds of milliseconds on problems that
take one; --blas-threads fixes the BLAS thread count in every worker to tell
that apart from the methods' own cost.

Memory. bravolin_learn reads x and y where they lie and holds only small
packed blocks and the k x k results, so its fit adds a few MiB whatever n;
its predict adds its output. The other methods hold copies of the design
matrix D = [1 | x] (16 to 22 bytes per element of D, measured). Each case is
estimated at BYTES_PER_DESIGN_ELEMENT per element of D for the phase, plus the
data itself, and skipped when that exceeds the memory available (--max-gib
lowers the limit further). Each worker process is also capped in address
space as a safety net, should the estimate be wrong.

Small calls. --small also times fit plus predict on 30 x 3 data in one
process, bravolin_learn against numpy.linalg.lstsq plus x @ w + b: best of
--small-rounds rounds of 200 calls each.

Interleaved. --interleaved N P times, in one fresh process on the same data,
bravolin_learn's first fit, then rounds (--rounds) that each run its fit, the
BLAS normal equations, scikit-learn's fit, its predict and x @ w + b one after
the other; it prints the best of each and the ratios. On a shared machine the
load changes from one process to the next; alternating the methods inside
one process exposes them all to the same load. Each timed call starts after
a pause (--settle, 0.25 s): OpenBLAS's threads keep spinning for a while
after a call returns, and without the pause they would compete for the cores
with whichever method runs next (on 2 cores, measured: bravolin_learn's fit
40 ms right after scikit-learn's fit, 23 ms after a pause; predict 9.8 ms
against 7.0 ms). --settle 0 measures that contention too.

Plot. --plot FILE draws time against n on log-log axes (matplotlib) for the
cases run at one p (--plot-p, default 16): fit and predict of bravolin_learn
beside the other methods.

Usage:
  python bench/bench_fit.py            # n in {10^3 .. 10^6}, p in {3, 16, 64}: ~2 min
  python bench/bench_fit.py --quick    # n in {10^3, 10^4}, p in {3, 16}: seconds
  python bench/bench_fit.py --n 100000 1000000 --p 16 64 --methods bravolin_learn "x @ w"
  python bench/bench_fit.py --n 1000 10000 100000 1000000 10000000 --p 16 64 \
      --small --plot bench/fit_time.png       # the figures of RESULTS.md
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

DEFAULT_N = [10**3, 10**4, 10**5, 10**6]
DEFAULT_P = [3, 16, 64]
QUICK_N = [10**3, 10**4]
QUICK_P = [3, 16]
METHODS = ["bravolin_learn", "sklearn", "numpy lstsq", "normal eq", "x @ w"]
SEED = 12345
MIB = 1024 * 1024
# Slack above the memory limit for a worker's address-space cap: address space
# that is reserved but never touched (seven worker threads' stacks, malloc
# arenas, BLAS buffers) counts against the cap, not against the machine.
ADDRESS_SLACK = 4 * 2**30

# Peak bytes a phase adds, per element of the n x k design matrix, for any of
# the methods. Measured as the peak RSS growth of the first fit for n >= 10^4:
# scikit-learn and numpy lstsq 16 to 22 (a copy of the centred x or of
# [1 | x], and LAPACK's workspace; the normal equations keep [1 | x] too);
# bravolin_learn far less. The estimate keeps a margin above all of them.
BYTES_PER_DESIGN_ELEMENT = 32


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


def _measure(call, can_reset, min_time, min_runs, repeat):
    """(seconds of every run, peak growth in bytes or None, result of the first call)."""
    if can_reset:
        _reset_peak()
        start_rss = _status_kib("VmHWM")
    else:
        start_rss = _status_kib("VmRSS")
    started = time.perf_counter()
    result = call()
    times = [time.perf_counter() - started]
    if can_reset:
        # The kernel batches each thread's RSS count, so a phase that adds
        # almost nothing can read a few pages below its start.
        peak = max(0, _status_kib("VmHWM") - start_rss) * 1024
    else:
        peak = None
    while len(times) < repeat and (len(times) < min_runs or sum(times) < min_time):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return times, peak, result


def make_data(n, p):
    import numpy as np

    rng = np.random.default_rng([SEED, n, p])
    x = rng.standard_normal((n, p))
    coefficients = rng.uniform(-3.0, 3.0, size=p)
    y = (2.0 + x @ coefficients + 0.1 * rng.standard_normal(n)).reshape(-1, 1)
    return x, y


def worker(method, n, p, min_time, min_runs, repeat):
    import numpy as np

    x, y = make_data(n, p)

    if method == "bravolin_learn":
        import bravolin_learn

        model = bravolin_learn.LinearRegression(True)

        def fit():
            return model.fit(x, y)

        def predict():
            return model.predict(x)

    elif method == "numpy lstsq":
        params = {}

        def fit():
            design = np.hstack([np.ones((n, 1)), x])
            solution, *_ = np.linalg.lstsq(design, y[:, 0], rcond=None)
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

    elif method == "normal eq":
        design = np.hstack([np.ones((n, 1)), x])
        params = {}

        def fit():
            solution = np.linalg.solve(design.T @ design, design.T @ y)
            params["b"], params["w"] = solution[0, 0], solution[1:, 0]

        def predict():
            return params["b"] + x @ params["w"]

    elif method == "x @ w":
        # The coefficients only set the values, not the cost: found once here
        # from the normal equations, untimed.
        design = np.hstack([np.ones((n, 1)), x])
        solution = np.linalg.solve(design.T @ design, design.T @ y[:, 0])
        b, w = solution[0], solution[1:]
        del design
        fit = None

        def predict():
            return x @ w + b

    else:
        raise ValueError(method)

    can_reset = _reset_peak()
    out = {}
    if fit is not None:
        baseline_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        fit_times, fit_peak, _ = _measure(fit, can_reset, min_time, min_runs, repeat)
        if fit_peak is None:
            # Without a resettable peak, only the process's lifetime peak is known.
            fit_peak = max(
                0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - baseline_peak
            )
        out.update(fit_s=min(fit_times), fit_times=fit_times, fit_peak=fit_peak)
    predict_times, predict_peak, predictions = _measure(
        predict, can_reset, min_time, min_runs, repeat
    )
    # The standard deviation ignores a constant shift, so "x @ w" without its
    # intercept gives the same figure as a full prediction.
    out.update(
        predict_s=min(predict_times),
        predict_times=predict_times,
        predict_peak=predict_peak,
        residual_sd=float(np.std(y[:, 0] - predictions)),
    )
    return out


def small_worker(rounds):
    """Seconds per fit + predict on 30 x 3, best of `rounds` rounds, for
    bravolin_learn and for lstsq plus x @ w + b, alternating in one process."""
    import numpy as np

    import bravolin_learn

    x, y = make_data(30, 3)
    design = np.hstack([np.ones((30, 1)), x])
    model = bravolin_learn.LinearRegression(True)

    def ours():
        model.fit(x, y)
        model.predict(x)

    def theirs():
        solution, *_ = np.linalg.lstsq(design, y[:, 0], rcond=None)
        x @ solution[1:] + solution[0]

    calls = 200
    best = {"bravolin_learn": float("inf"), "lstsq + x @ w": float("inf")}
    for _ in range(rounds):
        for name, call in (("bravolin_learn", ours), ("lstsq + x @ w", theirs)):
            started = time.perf_counter()
            for _ in range(calls):
                call()
            best[name] = min(best[name], (time.perf_counter() - started) / calls)
    return best


def interleaved_worker(n, p, rounds, settle):
    """Best seconds of each timed call, alternating methods in one process."""
    import numpy as np

    import bravolin_learn

    x, y = make_data(n, p)
    model = bravolin_learn.LinearRegression(True)
    started = time.perf_counter()
    model.fit(x, y)
    first = time.perf_counter() - started

    design = np.hstack([np.ones((n, 1)), x])
    solution = np.linalg.solve(design.T @ design, design.T @ y)
    b, w = solution[0, 0], solution[1:, 0]
    try:
        from sklearn.linear_model import LinearRegression as Sklearn

        sk = Sklearn(fit_intercept=True)
        y_flat = y[:, 0].copy()
    except ImportError:
        sk = None

    calls = {
        "bravolin_learn fit": lambda: model.fit(x, y),
        "normal eq fit": lambda: np.linalg.solve(design.T @ design, design.T @ y),
        "bravolin_learn predict": lambda: model.predict(x),
        "x @ w + b": lambda: x @ w + b,
    }
    if sk is not None:
        calls["sklearn fit"] = lambda: sk.fit(x, y_flat)
    best = {name: float("inf") for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            time.sleep(settle)
            started = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - started)
    best["bravolin_learn first fit"] = first
    return best


def plot(path, rows, p):
    """Log-log time against n at p features, one line per method and phase."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lines = [
        ("bravolin_learn", "fit_s", "bravolin_learn fit", "C0", "-"),
        ("bravolin_learn", "predict_s", "bravolin_learn predict", "C0", "--"),
        ("sklearn", "fit_s", "scikit-learn fit", "C1", "-"),
        ("numpy lstsq", "fit_s", "numpy lstsq", "C2", "-"),
        ("normal eq", "fit_s", "normal equations (BLAS)", "C3", "-"),
        ("x @ w", "predict_s", "x @ w + b", "C4", "--"),
    ]
    fig, ax = plt.subplots(figsize=(7, 5))
    for method, key, label, color, style in lines:
        points = sorted(
            (r["n"], r[key]) for r in rows if r["method"] == method and r["p"] == p and key in r
        )
        if points:
            ax.loglog([n for n, _ in points], [t for _, t in points], style, marker="o",
                      color=color, label=label)
    ax.set_xlabel("n (rows)")
    ax.set_ylabel("seconds (best run)")
    ax.set_title(f"fit and predict, p = {p}, with intercept")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# --- driver ------------------------------------------------------------------------


def available_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def estimate_bytes(n, p):
    """Peak memory of one worker: x and y, plus the phase's working set."""
    k = p + 1
    return 8 * n * (p + 1) + BYTES_PER_DESIGN_ELEMENT * n * k


def run_case(method, n, p, args, limit):
    need = estimate_bytes(n, p)
    if need > limit:
        return {"error": f"skipped: needs about {need / 2**30:.1f} GiB"}
    command = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        method,
        str(n),
        str(p),
        "--min-time",
        str(args.min_time),
        "--min-runs",
        str(args.min_runs),
        "--repeat",
        str(args.repeat),
        "--address-limit",
        str(int(limit + ADDRESS_SLACK)),
    ]
    env = None
    if args.blas_threads is not None:
        env = dict(os.environ)
        for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
            env[name] = str(args.blas_threads)
    try:
        done = subprocess.run(
            command, capture_output=True, text=True, timeout=args.timeout, check=False, env=env
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
    return f"{ours / theirs:.2f}x"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, nargs="+", default=None, help="observations")
    parser.add_argument("--p", type=int, nargs="+", default=None, help="features")
    parser.add_argument(
        "--quick", action="store_true", help="small cases only: n in {10^3, 10^4}, p in {3, 16}"
    )
    parser.add_argument(
        "--methods", nargs="+", choices=METHODS, default=METHODS, help="methods to run"
    )
    parser.add_argument(
        "--min-time", type=float, default=1.0, help="repeat a phase until this many seconds"
    )
    parser.add_argument("--min-runs", type=int, default=3, help="at least this many runs a phase")
    parser.add_argument("--repeat", type=int, default=10, help="at most this many runs a phase")
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds per process")
    parser.add_argument(
        "--max-gib", type=float, default=None, help="skip cases estimated above this"
    )
    parser.add_argument(
        "--blas-threads", type=int, default=None, help="BLAS threads in every worker process"
    )
    parser.add_argument("--json", default=None, help="also write every result, one JSON a line")
    parser.add_argument("--small", action="store_true", help="also time fit + predict on 30 x 3")
    parser.add_argument("--small-rounds", type=int, default=30, help="rounds of the small timing")
    parser.add_argument("--plot", default=None, help="draw time against n into this PNG")
    parser.add_argument("--plot-p", type=int, default=16, help="the p of the plot")
    parser.add_argument("--small-worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--interleaved", type=int, nargs=2, metavar=("N", "P"), default=None,
                        help="alternate the methods in one process on n x p data")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of --interleaved")
    parser.add_argument("--settle", type=float, default=0.25,
                        help="seconds of pause before each timed call of --interleaved")
    parser.add_argument("--interleaved-worker", type=int, nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--worker", nargs=3, metavar=("METHOD", "N", "P"), help=argparse.SUPPRESS)
    parser.add_argument("--address-limit", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.small_worker:
        print(json.dumps(small_worker(args.small_rounds)))
        return
    if args.interleaved_worker:
        n, p = args.interleaved_worker
        print(json.dumps(interleaved_worker(n, p, args.rounds, args.settle)))
        return
    if args.interleaved:
        n, p = args.interleaved
        done = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--interleaved-worker", str(n), str(p),
             "--rounds", str(args.rounds), "--settle", str(args.settle)],
            capture_output=True, text=True, timeout=args.timeout, check=True,
        )
        best = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"n = {n}, p = {p}, with intercept; best of {args.rounds} alternating rounds, "
              f"{args.settle} s pause before each call")
        for name, seconds in best.items():
            print(f"  {name:<26} {fmt_time(seconds):>10}")
        fit = best["bravolin_learn fit"]
        print(f"  fit / normal eq            {fit / best['normal eq fit']:.2f}x")
        if "sklearn fit" in best:
            print(f"  fit / sklearn              {fit / best['sklearn fit']:.2f}x")
        print(f"  first fit / best fit       {best['bravolin_learn first fit'] / fit:.2f}x")
        print(f"  predict / (x @ w + b)      "
              f"{best['bravolin_learn predict'] / best['x @ w + b']:.2f}x")
        if args.json:
            with open(args.json, "a") as out:
                out.write(json.dumps({"n": n, "p": p, "interleaved": best}) + "\n")
        return
    if args.worker:
        if args.address_limit is not None:
            resource.setrlimit(resource.RLIMIT_AS, (args.address_limit, args.address_limit))
        method, n, p = args.worker[0], int(args.worker[1]), int(args.worker[2])
        result = worker(method, n, p, args.min_time, args.min_runs, args.repeat)
        print(json.dumps(result))
        return

    if args.quick:
        args.min_time = min(args.min_time, 0.2)
    sizes_n = args.n or (QUICK_N if args.quick else DEFAULT_N)
    sizes_p = args.p or (QUICK_P if args.quick else DEFAULT_P)

    limit = 0.7 * available_bytes()
    if args.max_gib is not None:
        limit = min(limit, args.max_gib * 2**30)

    json_file = open(args.json, "w") if args.json else None
    header = (
        f"{'n':>8} {'p':>3}  {'method':<15} {'fit':>9} {'fit 1st':>9} {'predict':>9} "
        f"{'fit MiB':>8} {'pred MiB':>8}  {'fit ratio':>9} {'pred ratio':>10} "
        f"{'mem ratio':>9}  {'resid sd':>8}"
    )
    print("bravolin_learn against scikit-learn, numpy.linalg.lstsq and x @ w, with intercept")
    if args.blas_threads is not None:
        print(f"BLAS threads in every worker: {args.blas_threads}")
    print(
        "time: best of the runs (fit 1st: the first run); MiB: growth of peak RSS in the "
        "first run of the phase;"
    )
    print("ratio: bravolin_learn / method, of the best runs and of the peaks")
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    worst_sd = 0.0
    rows = []
    for n in sizes_n:
        for p in sizes_p:
            results = {method: run_case(method, n, p, args, limit) for method in args.methods}
            rows.extend({"n": n, "p": p, "method": m, **r} for m, r in results.items())
            ours = results.get("bravolin_learn", {"error": "not run"})
            for method in args.methods:
                r = results[method]
                if json_file:
                    json_file.write(json.dumps({"n": n, "p": p, "method": method, **r}) + "\n")
                    json_file.flush()
                lead = f"{n:>8} {p:>3}  {method:<15} "
                if "error" in r:
                    print(lead + r["error"], flush=True)
                    continue
                ratios = ("", "", "")
                if method != "bravolin_learn" and "error" not in ours:
                    ratios = (
                        fmt_ratio(ours["fit_s"], r.get("fit_s")),
                        fmt_ratio(ours["predict_s"], r["predict_s"]),
                        fmt_ratio(ours["fit_peak"], r.get("fit_peak")),
                    )
                    sd = abs(ours["residual_sd"] - r["residual_sd"]) / r["residual_sd"]
                    worst_sd = max(worst_sd, sd)
                print(
                    lead
                    + f"{fmt_time(r.get('fit_s')):>9} "
                    + f"{fmt_time(r['fit_times'][0] if 'fit_times' in r else None):>9} "
                    + f"{fmt_time(r['predict_s']):>9} "
                    + f"{fmt_mib(r.get('fit_peak')):>8} {fmt_mib(r['predict_peak']):>8}  "
                    + f"{ratios[0]:>9} {ratios[1]:>10} {ratios[2]:>9}  "
                    + f"{r['residual_sd']:>8.5f}",
                    flush=True,
                )
    print(
        f"residual sd: largest relative difference between bravolin_learn and another "
        f"method: {worst_sd:.1e}"
    )
    if args.small:
        done = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--small-worker", "--small-rounds",
             str(args.small_rounds)],
            capture_output=True, text=True, timeout=args.timeout, check=True,
        )
        small = json.loads(done.stdout.strip().splitlines()[-1])
        ours, theirs = small["bravolin_learn"], small["lstsq + x @ w"]
        print(
            f"fit + predict on 30 x 3: bravolin_learn {ours * 1e6:.1f} us, lstsq + x @ w + b "
            f"{theirs * 1e6:.1f} us, ratio {ours / theirs:.2f}x"
        )
        if json_file:
            json_file.write(json.dumps({"small": small}) + "\n")
    if args.plot:
        plot(args.plot, rows, args.plot_p)
        print(f"plot written to {args.plot}")
    print(f"total {time.perf_counter() - started:.0f} s")
    if json_file:
        json_file.close()


if __name__ == "__main__":
    main()
