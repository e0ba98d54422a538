"""scikit-learn's own estimator checks on bravolin.sklearn.LinearRegression."""
import pytest

pytest.importorskip("sklearn")

from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from bravolin.sklearn import LinearRegression  # noqa: E402


@parametrize_with_checks(
    [LinearRegression(), LinearRegression(fit_intercept=False), LinearRegression(positive=True)],
)
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)
