"""A fit beyond one machine's chunk: 10^7 x 16 (1.3 GB) on a two-worker Dask
cluster, against the in-memory estimator on the same data and Dask's own
lstsq.

The data is generated chunk by chunk from a fixed seed (block j from the
generator seeded with [SEED, j]), on the workers for the Dask methods and in
one process for the in-memory ones, so every method fits the same bits. y is
summed column by column (no BLAS), so it is the same in every process too.

Methods:
- bravolin.dask: bravolin.dask.LinearRegression().fit on the cluster
  (LocalCluster, 2 worker processes, 1 thread each, loopback only).
- dask lstsq: dask.array.linalg.lstsq (tall-and-skinny QR) of [1 | X] on the
  same cluster.
- bravolin.sklearn (in memory): the in-memory estimator on the concatenated
  arrays, in a fresh process; its coefficients are compared bit for bit with
  the Dask fit's.

Memory: each worker's peak resident set during the method (Linux VmHWM,
reset to the current RSS before the method by writing 5 to
/proc/self/clear_refs), and for the in-memory methods the process's peak
growth during the fit. Times are wall-clock seconds of one fit, data
generation included for the Dask methods (each reads the data once),
excluded for the in-memory one.

Usage:
  python bench/bench_dask.py                  # 10^7 x 16, chunks of 10^6 rows
  python bench/bench_dask.py --n 1000000      # a quick run
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SEED = 20241208


def block(j, rows, p):
    """Chunk j of the data: X standard normal off zero, y linear plus noise."""
    r = np.random.default_rng([SEED, j])
    x = r.standard_normal((rows, p)) + 1.5
    w = np.random.default_rng(SEED).uniform(-2.0, 2.0, p)
    y = 3.0 + 0.1 * r.standard_normal(rows)
    for c in range(p):
        y += x[:, c] * w[c]
    return x, y


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak():
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    return _status_kib("VmRSS")


def _peak():
    return _status_kib("VmHWM")


def _import_estimator():
    import bravolin.dask  # noqa: F401


def dask_methods(n, p, chunk):
    import dask
    import dask.array as da
    import distributed

    import bravolin.dask

    sizes = (chunk,) * (n // chunk) + ((n % chunk,) if n % chunk else ())

    def make(which, block_info=None):
        start = block_info[None]["array-location"][0][0]
        return block(start // chunk, block_info[None]["chunk-shape"][0], p)[which]

    X = da.map_blocks(make, 0, chunks=(sizes, (p,)), dtype=np.float64)
    y = da.map_blocks(make, 1, chunks=(sizes,), dtype=np.float64)

    results = {}
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        memory_limit="8GiB",
    ) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        # Imported on the workers before the clock starts, as dask.array is.
        client.run(_import_estimator)

        def measure(name, fit):
            start_rss = client.run(_reset_peak)
            start = time.perf_counter()
            value = fit()
            seconds = time.perf_counter() - start
            peaks = client.run(_peak)
            results[name] = {
                "seconds": seconds,
                "worker_peak_mib": [peaks[w] / 1024 for w in sorted(peaks)],
                "worker_start_mib": [start_rss[w] / 1024 for w in sorted(start_rss)],
            }
            return value

        # What reading the data costs by itself: every chunk made and summed.
        measure("data only (sum of X and y)", lambda: dask.compute(X.sum(), y.sum()))
        model = measure("bravolin.dask", lambda: bravolin.dask.LinearRegression().fit(X, y))
        results["bravolin.dask"]["coef"] = model.coef_.tolist()
        results["bravolin.dask"]["intercept"] = model.intercept_

        design = da.concatenate([da.ones((n, 1), chunks=(sizes, 1)), X], axis=1).rechunk({1: -1})
        solution = measure(
            "dask lstsq",
            lambda: dask.compute(da.linalg.lstsq(design, y.reshape(-1, 1))[0])[0],
        )
        results["dask lstsq"]["coef"] = solution[1:, 0].tolist()
        results["dask lstsq"]["intercept"] = float(solution[0, 0])
    return results


def in_memory(n, p, chunk, out):
    """Run in a fresh process: the data, then the in-memory fit."""
    import bravolin.sklearn

    sizes = [chunk] * (n // chunk) + ([n % chunk] if n % chunk else [])
    pieces = [block(j, rows, p) for j, rows in enumerate(sizes)]
    x = np.concatenate([a for a, _ in pieces])
    y = np.concatenate([b for _, b in pieces])
    del pieces
    base = _reset_peak()
    start = time.perf_counter()
    model = bravolin.sklearn.LinearRegression().fit(x, y)
    seconds = time.perf_counter() - start
    results = {
        "bravolin.sklearn (in memory)": {
            "seconds": seconds,
            "peak_growth_mib": (_peak() - base) / 1024,
            "coef": model.coef_.tolist(),
            "intercept": model.intercept_,
        }
    }
    with open(out, "w") as f:
        json.dump(results, f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--p", type=int, default=16)
    parser.add_argument("--chunk", type=int, default=1_000_000)
    parser.add_argument("--dask-only", action="store_true", help="skip the in-memory fit")
    parser.add_argument("--in-memory-child", metavar="OUT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.in_memory_child:
        in_memory(args.n, args.p, args.chunk, args.in_memory_child)
        return

    print(f"n={args.n} p={args.p} chunk={args.chunk} rows "
          f"({args.chunk * args.p * 8 / 2**20:.0f} MiB of X per chunk); load {os.getloadavg()}")
    results = dask_methods(args.n, args.p, args.chunk)
    if args.dask_only:
        for name, r in results.items():
            print(f"{name:<30} {r['seconds']:>8.2f} {r['worker_peak_mib']} {r['worker_start_mib']}")
        return
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "in_memory.json")
        subprocess.run(
            [sys.executable, __file__, "--n", str(args.n), "--p", str(args.p),
             "--chunk", str(args.chunk), "--in-memory-child", out],
            check=True,
        )
        with open(out) as f:
            results.update(json.load(f))

    ours = results["bravolin.dask"]
    reference = results["bravolin.sklearn (in memory)"]
    same = ours["coef"] == reference["coef"] and ours["intercept"] == reference["intercept"]
    # Bit equality of floats from JSON: repr round-trips doubles exactly.
    lstsq = results["dask lstsq"]
    gap = max(abs(a - b) for a, b in zip(lstsq["coef"], reference["coef"]))

    print(f"\n{'method':<30} {'fit s':>8} {'peak MiB per worker (at start) / growth':>42}")
    for name, r in results.items():
        if "worker_peak_mib" in r:
            memory = " / ".join(
                f"{m:.0f} ({s:.0f})" for m, s in zip(r["worker_peak_mib"], r["worker_start_mib"])
            )
        else:
            memory = f"+{r['peak_growth_mib']:.0f}"
        print(f"{name:<30} {r['seconds']:>8.2f} {memory:>42}")
    print(f"\nbravolin.dask coef_ and intercept_ equal bravolin.sklearn's bit for bit: {same}")
    print(f"largest |coef difference| dask lstsq vs bravolin.sklearn: {gap:.3g}")
    print(f"load afterwards {os.getloadavg()}")


if __name__ == "__main__":
    main()
