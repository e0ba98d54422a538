"""The model's inverse against numpy.linalg.inv, in one run.

The port's time comes from the C++ program bench_inverse (dgetrf, then dgetri
with LWORK = k, as the model calls them); NumPy's from this process. The two
alternate round by round, so that both meet the same load; the table shows
each one's best round and the ratio of the bests.

Build the program, then run this with OpenBLAS's machine overrides unset for
this command alone (they slow a current NumPy; see NOTES on the machines):

    cmake -S . -B build/bench -G Ninja -DBRAVOLIN_BUILD_MODULE=OFF \\
        -DBRAVOLIN_BUILD_BENCH=ON && cmake --build build/bench
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \\
        python bench/bench_inverse.py --program build/bench/bench/bench_inverse
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np


def numpy_ms(k: int, repeats: int, rng: np.random.Generator) -> float:
    # The bench program's kind of matrix: uniform entries, heavier diagonal.
    a = rng.uniform(-1.0, 1.0, (k, k)) + 2.0 * np.eye(k)
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        np.linalg.inv(a)
        best = min(best, time.perf_counter() - t0)
    return best * 1e3


def port_ms(program: str, k: int, repeats: int) -> float:
    out = subprocess.run([program, str(repeats), str(k)], check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default="build/bench/bench/bench_inverse",
                        help="path of the bench_inverse program")
    parser.add_argument("--sides", type=int, nargs="+", default=[250, 500, 1000])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=5, help="calls per round")
    args = parser.parse_args()
    if not os.access(args.program, os.X_OK):
        print(f"no bench_inverse program at {args.program}", file=sys.stderr)
        return 2

    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if name in os.environ:
            print(f"warning: {name} is set; NumPy runs slower than it could", file=sys.stderr)
    try:
        from threadpoolctl import threadpool_info

        for pool in threadpool_info():
            print(f"# NumPy BLAS: {pool.get('internal_api')} {pool.get('version')}, "
                  f"{pool.get('architecture')}, {pool.get('num_threads')} threads")
    except ImportError:
        pass
    print(f"# NumPy {np.__version__}; best of {args.rounds} rounds of {args.repeats} calls")

    rng = np.random.default_rng(42)
    best = {k: [float("inf"), float("inf")] for k in args.sides}
    for _ in range(args.rounds):
        for k in args.sides:
            best[k][0] = min(best[k][0], port_ms(args.program, k, args.repeats))
            best[k][1] = min(best[k][1], numpy_ms(k, args.repeats, rng))

    print("| k | port (dgetrf + dgetri) | numpy.linalg.inv | ratio |")
    print("|---:|---:|---:|---:|")
    for k in args.sides:
        port, ref = best[k]
        print(f"| {k} | {port:.2f} ms | {ref:.2f} ms | {port / ref:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
