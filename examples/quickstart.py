"""Fit a linear model with bravolin_learn and check it against NumPy.

Generates 1,000 observations of 5 features from known parameters plus noise,
fits them with and without an intercept, and prints the parameters that the
model recovered beside the true ones and those of numpy.linalg.lstsq.

The model keeps its parameters inside; they are read back here through
predict: the prediction for a row of zeros is the intercept, and the
prediction for the unit row e_j, less the intercept, is coefficient j.

Run: python examples/quickstart.py
"""

import numpy as np

import bravolin_learn

N_OBSERVATIONS = 1_000
TRUE_INTERCEPT = 4.0
TRUE_COEFFICIENTS = np.array([1.5, -2.0, 0.5, 3.0, -0.75])
NOISE = 0.1
SEED = 20240601


def recovered_parameters(model, n_features):
    """(intercept, coefficients) as the fitted model applies them."""
    probe = np.vstack([np.zeros((1, n_features)), np.eye(n_features)])
    predictions = model.predict(probe)
    intercept = predictions[0]
    return intercept, predictions[1:] - intercept


def lstsq_parameters(x, y, fit_intercept):
    design = np.hstack([np.ones((x.shape[0], 1)), x]) if fit_intercept else x
    solution, *_ = np.linalg.lstsq(design, y[:, 0], rcond=None)
    if fit_intercept:
        return solution[0], solution[1:]
    return 0.0, solution


def print_table(title, true, ours, reference):
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


def main():
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
        ours = recovered_parameters(model, n_features)
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


if __name__ == "__main__":
    main()
