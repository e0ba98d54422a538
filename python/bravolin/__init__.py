"""Estimators built on ``bravolin_learn``'s bit-reproducible least squares.

- ``bravolin.sklearn.LinearRegression``: a drop-in scikit-learn estimator.
- ``bravolin.dask.LinearRegression``: the same fit over Dask collections,
  with exactly the bits of the in-memory estimator.

The submodules are imported on demand, so that ``import bravolin`` needs
neither scikit-learn nor Dask.
"""
