"""Least-squares estimators that are accurate to the stored data and give the
same bits for any row order, batching, chunking, thread count or machine.

- ``bravolin.sklearn.LinearRegression``: a drop-in scikit-learn estimator.
- ``bravolin.dask.LinearRegression``: the same fit over Dask collections,
  with exactly the bits of the in-memory estimator.

Both rest on the package's own engine (``bravolin._exact``): exact moments
accumulated in an order that cannot matter, and a rank-revealing solve in
double-double arithmetic. The submodules are imported on demand, so that ``import bravolin`` needs
neither scikit-learn nor Dask.
"""
