"""The scikit-learn estimator's fit against the core fit on the same data.

Alternates the two fits (core: bravolin_learn.LinearRegression(True) on x and
y as (n, 1); estimator: bravolin.sklearn.LinearRegression() on x and a 1-D y)
so that both see the same machine load, and prints every time, the best and
the median of each, the ratios of best to best and median to median, and the
machine's load average before and after.

Run: python bench/estimator_overhead.py [--n 1000000] [--p 16] [--runs 9]
"""

import argparse
import os
import time

import numpy as np

import bravolin_learn
from bravolin.sklearn import LinearRegression


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--p", type=int, default=16)
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    x = rng.standard_normal((args.n, args.p))
    y = x @ rng.standard_normal(args.p) + 1.0 + rng.standard_normal(args.n)
    y_column = y.reshape(-1, 1)

    def core():
        bravolin_learn.LinearRegression(True).fit(x, y_column)

    def estimator():
        LinearRegression().fit(x, y)

    print(f"n = {args.n}, p = {args.p}, {args.runs} alternating runs; load average "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    times = {"core": [], "estimator": []}
    for _ in range(args.runs):
        for name, fit in [("core", core), ("estimator", estimator)]:
            start = time.perf_counter()
            fit()
            times[name].append(time.perf_counter() - start)
    for name, runs in times.items():
        print(f"{name:>9}: " + " ".join(f"{t * 1e3:.0f}" for t in runs)
              + f" ms; best {min(runs) * 1e3:.0f}, median {np.median(runs) * 1e3:.0f}")
    best = min(times["estimator"]) / min(times["core"])
    median = np.median(times["estimator"]) / np.median(times["core"])
    print(f"estimator / core: best {best:.2f}, median {median:.2f}")
    print("load average " + " ".join(f"{v:.2f}" for v in os.getloadavg()))


if __name__ == "__main__":
    main()
