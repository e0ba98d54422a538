"""bravolin.dask.ols: the in-memory results, bit for bit, for any chunking."""
import numpy as np
import pytest

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

import bravolin  # noqa: E402
import bravolin.dask as bd  # noqa: E402

FIELDS = ["params", "bse", "tvalues", "pvalues", "rsquared", "rsquared_adj", "fvalue", "f_pvalue",
          "llf", "aic", "bic", "ssr", "condition_number"]


def same_bits(a, b):
    return np.asarray(a, dtype=np.float64).tobytes() == np.asarray(b, dtype=np.float64).tobytes()


@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC2", "HC3"])
@pytest.mark.parametrize("seed", [0, 1])
def test_any_chunking_gives_the_in_memory_results(cov_type, seed):
    rng = np.random.default_rng(seed)
    n, p = 1500, 4
    x = rng.standard_normal((n, p)) * 10.0 ** rng.integers(-3, 4, size=p)
    y = x @ rng.standard_normal(p) + (1 + np.abs(x[:, 0])) * rng.standard_normal(n)
    w = rng.integers(1, 5, size=n).astype(np.float64) if seed else None
    want = bravolin.ols(x, y, sample_weight=w, cov_type=cov_type)
    cuts = np.sort(rng.choice(np.arange(1, n), size=6, replace=False))
    chunks = tuple(np.diff(np.concatenate([[0], cuts, [n]])))
    with dask.config.set(scheduler="synchronous"):
        got = bd.ols(da.from_array(x, chunks=(chunks, p)), da.from_array(y, chunks=(chunks,)),
                     sample_weight=None if w is None else da.from_array(w, chunks=(chunks,)),
                     cov_type=cov_type)
        for field in FIELDS:
            assert same_bits(getattr(got, field), getattr(want, field)), field
        assert same_bits(got.conf_int(), want.conf_int())
        assert same_bits(got.resid.compute(), want.resid)
        assert got.endog_name == want.endog_name == "y"


@pytest.mark.parametrize("y_kind", ["series", "frame"])
def test_frames_give_the_in_memory_labels_and_bits(y_kind):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    rng = np.random.default_rng(1)
    x = pd.DataFrame(rng.normal(size=(50, 2)), columns=[3, 7])
    y = pd.Series(x[3] - x[7] + rng.normal(size=50), name="t")
    y = y.to_frame() if y_kind == "frame" else y
    want = bravolin.ols(x, y, cov_type="HC1")
    with dask.config.set(scheduler="synchronous"):
        got = bd.ols(dd.from_pandas(x, npartitions=5, sort=False),
                     dd.from_pandas(y, npartitions=5, sort=False), cov_type="HC1")
        assert got.endog_name == want.endog_name == "t"
        assert list(got.params.index) == list(want.params.index) == ["const", "3", "7"]
        for field in ("params", "bse"):
            assert same_bits(getattr(got, field), getattr(want, field)), field
        for field in ("fittedvalues", "resid"):
            series = getattr(got, field).compute()
            assert series.index.equals(getattr(want, field).index), field
            assert same_bits(series, getattr(want, field)), field
