"""Fit a linear model with bravolin_learn and check it against NumPy.

Generates 1,000 observations of 5 features from known parameters plus noise,
fits them with and without an intercept, and prints the parameters that the
model recovered (its coef_ and intercept_) beside the true ones and those of
numpy.linalg.lstsq.

Then the same data as a pandas DataFrame goes through a scikit-learn
Pipeline: a StandardScaler, then bravolin.sklearn.LinearRegression, the
estimator for scikit-learn users (it takes DataFrames, a 1-D y, any real
dtype, and gives the same bits on every machine). Last, the estimator on
one-hot features beside an intercept (a singular design: it gives
scikit-learn's minimum-norm answer) and fitted in shuffled batches (the bits
of one fit on all the rows). Finally bravolin.ols's summary with robust
(HC1) standard errors beside statsmodels' for the same data.

Run: python examples/quickstart.py
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
from numpy.typing import NDArray
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import bravolin_learn
from bravolin.sklearn import LinearRegression

Vector = NDArray[np.float64]
Parameters = tuple[float, Vector]

N_OBSERVATIONS = 1_000
TRUE_INTERCEPT = 4.0
TRUE_COEFFICIENTS = np.array([1.5, -2.0, 0.5, 3.0, -0.75])
NOISE = 0.1
SEED = 20240601


def lstsq_parameters(x: Vector, y: Vector, fit_intercept: bool) -> Parameters:
    design = np.hstack([np.ones((x.shape[0], 1)), x]) if fit_intercept else x
    solution: Vector = np.linalg.lstsq(design, y[:, 0], rcond=None)[0]
    if fit_intercept:
        return float(solution[0]), solution[1:]
    return 0.0, solution


def print_table(title: str, true: Parameters, ours: Parameters, reference: Parameters) -> None:
    print(title)
    print(f"  {'parameter':<10} {'true':>10} {'bravolin_learn':>16} {'numpy lstsq':>14}")
    names = ["intercept"] + [f"x{j}" for j in range(len(true[1]))]
    rows = zip(
        names,
        [true[0], *true[1]],
        [ours[0], *ours[1]],
        [reference[0], *reference[1]],
    )
    for name, t, o, r in rows:
        print(f"  {name:<10} {t:>10.4f} {o:>16.6f} {r:>14.6f}")


def pipeline_on_a_dataframe(x: Vector, y: Vector) -> None:
    """The scikit-learn estimator behind a StandardScaler, on named columns."""
    frame = pd.DataFrame(x, columns=[f"x{j}" for j in range(x.shape[1])])
    # The scaler hands on a DataFrame, so the estimator sees the column names.
    pipeline = make_pipeline(StandardScaler().set_output(transform="pandas"), LinearRegression())
    pipeline.fit(frame, y[:, 0])
    scaler = pipeline.named_steps["standardscaler"]
    estimator = pipeline.named_steps["linearregression"]
    # Back to the original units: the scaler divided each column by its scale.
    coef = estimator.coef_ / scaler.scale_
    intercept = estimator.intercept_ - math.fsum(coef * scaler.mean_)
    print("Pipeline(StandardScaler, bravolin.sklearn.LinearRegression) on a DataFrame")
    print(f"  features seen: {list(estimator.feature_names_in_)}")
    print(f"  intercept {intercept:.6f}, coefficients {np.array2string(coef, precision=6)}")
    print(f"  R^2 on the training data: {pipeline.score(frame, y[:, 0]):.6f}")
    print(f"  first predictions: {np.array2string(pipeline.predict(frame.head(3)), precision=6)}")


def dummy_variables_in_batches(rng: np.random.Generator) -> None:
    """One-hot categories beside an intercept, fitted at once and in batches."""
    from sklearn.linear_model import LinearRegression as ScikitLinearRegression

    n = 1_000
    category = rng.integers(0, 4, n)
    numeric = rng.standard_normal(n)
    x = np.column_stack([np.eye(4)[category], numeric])  # the columns sum to one
    y = np.array([1.0, 2.0, 3.0, 4.0])[category] + 2.0 * numeric + 3.0
    y += 0.1 * rng.standard_normal(n)
    ours = LinearRegression().fit(x, y)
    theirs = ScikitLinearRegression().fit(x, y)
    print("One-hot features with an intercept (rank-deficient design)")
    print(f"  bravolin:     rank {ours.rank_}, coefficients {np.array2string(ours.coef_, precision=6)}")
    print(f"  scikit-learn: rank {theirs.rank_}, coefficients {np.array2string(theirs.coef_, precision=6)}")
    print(f"  largest difference of predictions: {np.max(np.abs(ours.predict(x) - theirs.predict(x))):.3g}")
    batches = LinearRegression()
    order = rng.permutation(n)
    for rows in np.array_split(order, 7):
        batches.partial_fit(x[rows], y[rows])
    same = np.array_equal(batches.coef_, ours.coef_) and batches.intercept_ == ours.intercept_
    print(f"  seven shuffled batches through partial_fit give the same bits: {same}")


def inference_next_to_statsmodels(x: Vector, y: Vector) -> None:
    """bravolin.ols's summary, and statsmodels' for the same data when it is
    installed: the same statistics, ours the same bits on every machine."""
    import bravolin

    frame = pd.DataFrame(x, columns=[f"x{j}" for j in range(x.shape[1])])
    results = bravolin.ols(frame, pd.Series(y[:, 0], name="y"), cov_type="HC1")
    print(results.summary())
    try:
        import statsmodels.api as sm  # type: ignore[import-untyped]
    except ImportError:
        print("(statsmodels is not installed: its summary is not shown)")
        return
    print()
    print(sm.OLS(pd.Series(y[:, 0], name="y"), sm.add_constant(frame)).fit(cov_type="HC1").summary())


def main() -> None:
    rng = np.random.default_rng(SEED)
    n_features = TRUE_COEFFICIENTS.size
    x = rng.uniform(-5.0, 5.0, size=(N_OBSERVATIONS, n_features))
    noise = NOISE * rng.standard_normal(N_OBSERVATIONS)
    # y must be two-dimensional: one row per observation, one target column.
    y_with = (TRUE_INTERCEPT + x @ TRUE_COEFFICIENTS + noise).reshape(-1, 1)
    y_without = (x @ TRUE_COEFFICIENTS + noise).reshape(-1, 1)

    for fit_intercept, y, true_intercept in [
        (True, y_with, TRUE_INTERCEPT),
        (False, y_without, 0.0),
    ]:
        model = bravolin_learn.LinearRegression(fit_intercept)
        model.fit(x, y)
        ours = (model.intercept_, model.coef_)
        reference = lstsq_parameters(x, y, fit_intercept)
        print_table(
            f"LinearRegression({fit_intercept}): {N_OBSERVATIONS} observations, "
            f"{n_features} features, noise sd {NOISE}",
            (true_intercept, TRUE_COEFFICIENTS),
            ours,
            reference,
        )
        predictions = model.predict(x)
        lstsq_predictions = reference[0] + x @ reference[1]
        print(
            f"  predictions: shape {predictions.shape}, largest difference from "
            f"lstsq's {np.max(np.abs(predictions - lstsq_predictions)):.3g}, "
            f"residual sd {np.std(y[:, 0] - predictions):.4f}"
        )
        print()

    pipeline_on_a_dataframe(x, y_with)
    print()
    dummy_variables_in_batches(rng)
    print()
    inference_next_to_statsmodels(x, y_with)


if __name__ == "__main__":
    main()
