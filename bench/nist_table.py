"""Correct digits on NIST's StRD linear least-squares datasets, as a Markdown table.

Each entry is the worst coefficient's number of significant digits in
agreement with NIST's certified values, -log10(relative error), capped at
15 (the digits NIST prints). "Best possible" is the exact rational least-
squares solution of the same float64 data: the design's doubles (x, x**2,
... as NumPy computes them) already differ from NIST's decimals, which
limits every float64 method to about that many digits.

Methods: bravolin.sklearn.LinearRegression with its defaults; numpy.linalg.lstsq
with its default rcond on [1, X]; statsmodels OLS with its default
method="pinv" on [1, X] (skipped when statsmodels is not installed).

With --statistics: the same for bravolin.ols's inference, the worst
standard deviation of the estimates, the residual standard deviation and
R² (uncentred for NoInt1 and NoInt2, as certified), against statsmodels'
OLS and the statistics of the exact solution.

Run: python bench/nist_table.py [--statistics]
"""

import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import nist  # noqa: E402
from bravolin.sklearn import LinearRegression  # noqa: E402

try:
    import statsmodels.api as sm
except ImportError:
    sm = None


def design(ds):
    return np.column_stack([np.ones(len(ds.y)), ds.x]) if ds.fit_intercept else ds.x


def fit_bravolin(ds):
    model = LinearRegression(fit_intercept=ds.fit_intercept).fit(ds.x, ds.y)
    return [*([model.intercept_] if ds.fit_intercept else []), *np.ravel(model.coef_)]


def fit_lstsq(ds):
    return np.linalg.lstsq(design(ds), ds.y)[0]


def fit_statsmodels(ds):
    # Its pinv cuts small singular values and warns of rank deficiency on the
    # polynomial datasets; the digits show the effect, the warning is noise.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return sm.OLS(ds.y, design(ds)).fit(method="pinv").params


def fit_exact(ds):
    return nist.exact_least_squares(ds.x, ds.y, ds.fit_intercept)


def score(fit, ds):
    try:
        coefficients = fit(ds)
    except Exception as error:  # noqa: BLE001 - a failed fit is a table entry
        return f"fails ({type(error).__name__})"
    return f"{nist.worst_digits(coefficients, ds.certified):.1f}"


def statistics_of(result):
    """(worst bse digits, residual sd, R²) of a results object."""
    return list(result.bse), [result.scale ** 0.5], [result.rsquared]


def statistics_table():
    import bravolin

    def digits(values, reference):
        return min(nist.digits(v, r) for v, r in zip(values, reference))

    def scores(values, reference):
        cap = nist.DIGITS_CAP
        return [f"{min(cap, digits(v, r)):.1f}" for v, r in zip(values, reference)]

    print("| dataset | ours: sd of estimates / residual sd / R² | statsmodels | best possible |")
    print("|---|---|---|---|")
    for name in nist.NAMES:
        ds = nist.load(name)
        cert = nist.certified_statistics(name)
        reference = (list(cert.sd), [cert.residual_sd], [cert.r_squared])
        exact = nist.exact_statistics(ds.x, ds.y, ds.fit_intercept)
        best = (list(exact.sd), [exact.residual_sd], [exact.r_squared])
        ours = statistics_of(bravolin.ols(ds.x, ds.y, fit_intercept=ds.fit_intercept))
        cells = [" / ".join(scores(ours, reference))]
        if sm is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                theirs = sm.OLS(ds.y, design(ds)).fit()
            cells.append(" / ".join(scores(statistics_of(theirs), reference)))
        else:
            cells.append("n/a")
        cells.append(" / ".join(scores(best, reference)))
        print(f"| {name} | " + " | ".join(cells) + " |")
    print()
    print("Digits against NIST's certified values (at most 15); a certified zero is scored "
          "by absolute error.")


def main():
    if "--statistics" in sys.argv[1:]:
        statistics_table()
        return
    columns = {"bravolin estimator": fit_bravolin, "numpy lstsq": fit_lstsq}
    if sm is not None:
        columns["statsmodels OLS (pinv)"] = fit_statsmodels
    columns["best possible (exact rational)"] = fit_exact

    print("| dataset | " + " | ".join(columns) + " |")
    print("|---|" + "---:|" * len(columns))
    for name in nist.NAMES:
        ds = nist.load(name)
        print(f"| {name} | " + " | ".join(score(fit, ds) for fit in columns.values()) + " |")
    print()
    print(
        "Digits of the worst coefficient against NIST's certified values "
        "(at most 15)."
    )
    if sm is None:
        print("statsmodels is not installed: its column is left out.")


if __name__ == "__main__":
    main()
