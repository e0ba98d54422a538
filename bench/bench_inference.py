"""bravolin.ols against statsmodels, same run: a fit with HC1 standard
errors and its summary, best of a few runs, alternating.

Run: python bench/bench_inference.py [--n 1000000] [--p 16] [--runs 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import statsmodels.api as sm

import bravolin


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--p", type=int, default=16)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    x = rng.standard_normal((args.n, args.p))
    y = x @ rng.standard_normal(args.p) + (1 + np.abs(x[:, 0])) * rng.standard_normal(args.n)
    exog = sm.add_constant(x)
    ours, theirs = float("inf"), float("inf")
    for _ in range(args.runs):
        start = time.perf_counter()
        bravolin.ols(x, y, cov_type="HC1").summary()
        ours = min(ours, time.perf_counter() - start)
        start = time.perf_counter()
        sm.OLS(y, exog).fit(cov_type="HC1").summary()
        theirs = min(theirs, time.perf_counter() - start)
    print(f"{args.n} x {args.p}, HC1 and summary: bravolin {ours * 1e3:.0f} ms, "
          f"statsmodels {theirs * 1e3:.0f} ms, ratio {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
