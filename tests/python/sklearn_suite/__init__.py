"""scikit-learn's own tests, run on bravolin's LinearRegression.

Nothing here is collected by our own test run: ``plugin`` is loaded with
``-p sklearn_suite.plugin`` only by the pytest process that
``tests/python/test_sklearn_suite.py`` starts, so that the substitution it
makes never reaches the rest of our suite.
"""
