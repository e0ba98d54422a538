"""Accuracy of the fitted parameters: bravolin_learn's core class, the
scikit-learn estimator bravolin.sklearn.LinearRegression, and numpy lstsq, on
the same data.

Each case's reference solution is lstsq's, refined twice with residuals in
extended precision (numpy.longdouble), which leaves it accurate to about the
last bit. The error of a method is the largest relative error of its
coefficients against that reference, and the absolute error of its intercept.

Run: python bench/accuracy.py
"""

import numpy as np

import bravolin_learn
from bravolin.sklearn import LinearRegression


def design(x):
    return np.hstack([np.ones((x.shape[0], 1)), x])


def refined_solution(x, y):
    d = design(x)
    solution = np.linalg.lstsq(d, y, rcond=None)[0]
    for _ in range(2):
        residual = y.astype(np.longdouble) - d.astype(np.longdouble) @ solution.astype(np.longdouble)
        solution = solution + np.linalg.lstsq(d, residual.astype(np.float64), rcond=None)[0]
    return solution[1:], solution[0]


def fit_core(x, y):
    model = bravolin_learn.LinearRegression(True)
    model.fit(x, y.reshape(-1, 1))
    return model.coef_, model.intercept_


def fit_estimator(x, y):
    model = LinearRegression().fit(x, y)
    return model.coef_, model.intercept_


def fit_lstsq(x, y):
    solution = np.linalg.lstsq(design(x), y, rcond=None)[0]
    return solution[1:], solution[0]


METHODS = {"core": fit_core, "estimator": fit_estimator, "lstsq": fit_lstsq}


def scaled_column(seed=0, n=5000, p=64):
    """Normal features, one of them multiplied by 10^6; y noiseless."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, p))
    beta = rng.uniform(1.0, 2.0, size=p) * rng.choice([-1.0, 1.0], size=p)
    y = x @ beta + 3.0
    x[:, 0] *= 1e6
    return x, y


def well_conditioned(p, seed=1):
    rng = np.random.default_rng([p, seed])
    n = max(2000, 10 * p)
    x = rng.standard_normal((n, p))
    beta = rng.uniform(1.0, 2.0, size=p) * rng.choice([-1.0, 1.0], size=p)
    return x, x @ beta + 3.0 + 0.1 * rng.standard_normal(n)


def timestamps():
    """x = 1.7e9 + i, y = 2x + 3: the exact answer is known."""
    x = (1.7e9 + np.arange(1000.0)).reshape(-1, 1)
    return x, 2.0 * x[:, 0] + 3.0


def errors(fitted, reference):
    coef, intercept = fitted
    ref_coef, ref_intercept = reference
    return float(np.max(np.abs(coef - ref_coef) / np.abs(ref_coef))), abs(float(intercept) - ref_intercept)


CASES = {
    "n=5000, p=64, one column x 10^6": scaled_column,
    "well-conditioned, n=2000, p=10": lambda: well_conditioned(10),
    "well-conditioned, n=2000, p=64": lambda: well_conditioned(64),
    "well-conditioned, n=2000, p=200": lambda: well_conditioned(200),
    "timestamps, x = 1.7e9 + i, y = 2x + 3": timestamps,
}


def main():
    print("| case | method | max relative coefficient error | intercept error |")
    print("|---|---|---|---|")
    for name, make in CASES.items():
        x, y = make()
        reference = (np.array([2.0]), 3.0) if make is timestamps else refined_solution(x, y)
        for method, fit in METHODS.items():
            try:
                coef_error, intercept_error = errors(fit(x, y), reference)
                print(f"| {name} | {method} | {coef_error:.1e} | {intercept_error:.1e} |")
            except Exception as error:  # noqa: BLE001 - reported in the table
                print(f"| {name} | {method} | {type(error).__name__}: {error} | |")


if __name__ == "__main__":
    main()
