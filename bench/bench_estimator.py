"""bravolin.sklearn.LinearRegression against scikit-learn's, same run.

For each shape, the best of a few runs of fit and of predict, each method's
runs alternating with the other's, and the ratio ours / scikit-learn's.

Run: python bench/bench_estimator.py [--runs 3] [--shapes 1000000x16 ...]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from sklearn.linear_model import LinearRegression as ScikitLinearRegression

from bravolin.sklearn import LinearRegression

SHAPES = ["1000000x16", "200000x64", "100000x128", "20000x500", "5000x1000"]


def best(calls: list, runs: int) -> list[float]:
    times = [float("inf")] * len(calls)
    for _ in range(runs):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[i] = min(times[i], time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shapes", nargs="*", default=SHAPES)
    args = parser.parse_args()
    print("| n × p | fit | scikit-learn fit | ratio | predict | scikit-learn predict | ratio |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for shape in args.shapes:
        n, p = (int(v) for v in shape.split("x"))
        rng = np.random.default_rng(0)
        x = rng.standard_normal((n, p))
        y = x @ rng.standard_normal(p) + rng.standard_normal(n)
        ours, theirs = LinearRegression(), ScikitLinearRegression()
        fit_ours, fit_theirs = best([lambda: ours.fit(x, y), lambda: theirs.fit(x, y)], args.runs)
        pred_ours, pred_theirs = best([lambda: ours.predict(x), lambda: theirs.predict(x)], args.runs)
        print(f"| {n} × {p} | {fit_ours * 1e3:.0f} ms | {fit_theirs * 1e3:.0f} ms | "
              f"{fit_ours / fit_theirs:.2f} | {pred_ours * 1e3:.1f} ms | {pred_theirs * 1e3:.1f} ms | "
              f"{pred_ours / pred_theirs:.2f} |", flush=True)


if __name__ == "__main__":
    main()
