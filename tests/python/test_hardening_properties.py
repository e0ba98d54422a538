"""A property search over the whole Python boundary of fit and predict.

Hypothesis draws arguments of every kind a caller could pass: None, scalars,
lists and other objects; ndarrays of every dtype with 0 to 4 dimensions; and
two-dimensional float64 arrays in every layout NumPy can express: C and
Fortran order, transposes, positive and negative steps, byte strides that are
huge, negative, zero or not a multiple of 8 (over a real buffer, always in
bounds), broadcast views, unaligned data, read-only arrays, np.matrix, masked
arrays, memory maps and ndarray subclasses, and views that claim far more
elements than any machine holds. It then calls fit and predict on fresh and
fitted models and allows exactly two kinds of outcome:

- a correct result: a fit whose parameters match NumPy's least squares where
  the data is well conditioned, a prediction of the right shape and type whose
  values follow from the model's parameters whatever the layout of x;
- one of the documented exceptions, of exactly the documented type and with
  exactly the documented message, decided here from the arguments alone.

After every call the argument arrays hold the same bytes and the same
reference counts as before, no borrow is left in the shared borrow registry,
and a failed call leaves the model's parameters as they were.

The search runs in a child interpreter. A crash there (a segfault, an abort
from a C++ exception that escaped) then fails the test with the child's output
and the last example it started, instead of killing pytest; a hang ends at the
timeout. A failure that is an ordinary Python assertion is shrunk by
Hypothesis in the child and reported the same way. To search in this process
instead, with a debugger at hand, run this file as a script:

    python tests/python/test_hardening_properties.py [--examples N]
"""

import collections
import ctypes
import math
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

from bravolin_learn import LinearRegression

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # also when run as a child script
from support import borrow_record, panic_type  # noqa: E402

# A fixed seed and no example database: every run searches the same examples,
# and nothing is written into the checkout.
CI_EXAMPLES = 200
CHILD_TIMEOUT = 240  # seconds; the search takes well under a minute
PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
FLOAT64 = np.dtype(np.float64)

NULL_MATRIX = "cannot create a null matrix"
SIZES_DIFFER = "Matrix sizes do not match"
INVERSION_FAILED = "Matrix inversion failed."
NOT_FITTED = "Model has not been fitted yet."
FAILED_NAME = "<failed to extract type name>"


def search_settings(examples):
    return settings(
        max_examples=examples,
        derandomize=True,
        database=None,
        deadline=None,
        print_blob=False,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# --- the things the boundary is checked against ------------------------------


PANIC = panic_type()


RECORD = borrow_record()


def qualname_in_message(value):
    """How the module names a rejected argument's type."""
    try:
        name = type(value).__qualname__
    except BaseException:  # noqa: BLE001 - any failure to read it counts
        return FAILED_NAME
    if not isinstance(name, str):
        return FAILED_NAME
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return FAILED_NAME
    return name


def extraction_error(name, value):
    """The TypeError that taking `value` as argument `name` must raise, or None."""
    prefix = f"argument '{name}': "
    if not isinstance(value, np.ndarray):
        return ("TypeError", prefix + f"'{qualname_in_message(value)}' object cannot be converted to 'PyArray<T, D>'")
    if value.ndim != 2:
        return ("TypeError", prefix + f"dimensionality mismatch:\n from={value.ndim}, to=2")
    if value.dtype != FLOAT64:
        return ("TypeError", prefix + f"type mismatch:\n from={value.dtype}, to=float64")
    return None


def copy_error(value):
    """The failure of copying an accepted array into a matrix, or None."""
    rows, cols = value.shape
    if rows * cols > PHYSICAL_MEMORY // 8:
        return ("MemoryError", None)
    if rows == 0 or cols == 0:
        return ("Panic", NULL_MATRIX)
    return None


def plain(value):
    """The numbers the model must see: a C-ordered float64 copy, in logical order."""
    return np.array(np.asarray(value), dtype=np.float64, order="C", copy=True)


def design(x, fit_intercept):
    return np.hstack([np.ones((x.shape[0], 1)), x]) if fit_intercept else x


def well_conditioned(d, limit):
    """Whether the normal equations must solve for D: full column rank with
    room to spare, and no element so large or so small that DᵀD or its
    inverse leaves the range of doubles (x = [[1e-160]] is perfectly
    conditioned, yet its G = 1e-320 inverts to infinity)."""
    if d.shape[0] < d.shape[1] or not np.all(np.isfinite(d)):
        return False
    magnitude = np.abs(d)
    if np.any((magnitude != 0) & ((magnitude < 1e-100) | (magnitude > 1e100))):
        return False
    with np.errstate(all="ignore"):
        return bool(np.linalg.cond(d) < limit)


class Shadow:
    """What a model must hold: its parameter count, and when it could be
    computed independently, its parameters; plus the bits of a probe
    prediction, which every failed call must leave unchanged."""

    def __init__(self, model):
        self.model = model
        self.count = None  # coefficient count; None while not fitted
        self.params = None  # (intercept, coefficients) from NumPy, or None
        self.probe_bits = None

    def probe(self):
        return np.linspace(-1.0, 2.0, 3 * self.count).reshape(3, self.count)

    def record_probe(self):
        self.probe_bits = bits(self.model.predict(self.probe()))

    def check_unchanged(self):
        if self.count is None:
            outcome = run(lambda: self.model.predict(np.ones((1, 1))))
            assert outcome[:2] == ("RuntimeError", NOT_FITTED), outcome
        else:
            assert np.array_equal(bits(self.model.predict(self.probe())), self.probe_bits)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64).copy()


def run(call):
    """(kind, message, result) of one call; kinds are ok, TypeError,
    RuntimeError, Panic, MemoryError and, for anything else, the type's name."""
    try:
        return ("ok", None, call())
    except PANIC as error:
        assert len(error.args) == 1, error.args
        return ("Panic", error.args[0], None)
    except BaseException as error:  # noqa: BLE001 - anything else is a finding
        kind = type(error).__name__
        message = str(error)
        if type(error) in (TypeError, RuntimeError):
            assert len(error.args) == 1, error.args
        return (kind, message, None)


def allowed(outcome, expected):
    kind, message, _ = outcome
    for want_kind, want_message in expected:
        if kind == want_kind and (want_message is None or message == want_message):
            return True
    return False


# --- arguments ----------------------------------------------------------------


class Arg:
    """An argument, what must not change in it, and how it was made."""

    def __init__(self, value, recipe, backing=()):
        self.value = value
        self.recipe = recipe
        self.backing = list(backing)

    def snapshot(self):
        return [np.asarray(b).tobytes() for b in self.backing]

    def __repr__(self):
        return self.recipe


class QualnameMeta(type):
    """Type names that are hard to print: the module must still say what it
    got, or fall back to its fixed text, and never fail otherwise."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            mode = type.__getattribute__(cls, "mode")
            if mode == "raises":
                raise ValueError("no name")
            if mode == "not a string":
                return 42
            if mode == "str subclass":
                return type("Name", (str,), {})("Subclassed")
        return super().__getattribute__(name)


def probe_class(mode):
    qualnames = {
        "nul": "A\0B",
        "non-ascii": "Größe\u00e9\U0001f600",
        "surrogate": "bad\udc80name",
        "long": "L" * 100_000,
        "empty": "",
        "quote": "it's \"quoted\"\n",
    }
    cls = QualnameMeta("Probe", (), {"mode": mode})
    if mode in qualnames:
        cls.__qualname__ = qualnames[mode]
    return cls()


class ArrayLike:
    """Offers an array through the array protocols, which the module does not
    use: only real ndarrays are taken."""

    def __init__(self):
        self._a = np.ones((2, 1))
        self.__array_interface__ = self._a.__array_interface__

    def __array__(self, dtype=None, copy=None):
        return self._a


class SubArray(np.ndarray):
    pass


class Armed(np.ndarray):
    """A subclass whose every new instance raises: the module must never make
    one (it reads the argument; it does not view it through its own type)."""

    armed = False

    def __array_finalize__(self, obj):
        if Armed.armed:
            raise AssertionError("an instance of the argument's subclass was made")


NON_ARRAYS = [
    "None", "int", "float", "bool", "complex", "str", "bytes", "list", "column list", "tuple",
    "dict", "object", "numpy float64 scalar", "numpy int64 scalar", "memoryview", "range",
    "array-like", "probe:nul", "probe:non-ascii", "probe:surrogate", "probe:long", "probe:empty",
    "probe:quote", "probe:raises", "probe:not a string", "probe:str subclass",
]


def non_array(kind):
    if kind.startswith("probe:"):
        return probe_class(kind[len("probe:"):])
    return {
        "None": None,
        "int": 3,
        "float": 1.5,
        "bool": True,
        "complex": 1j,
        "str": "x",
        "bytes": b"x",
        "list": [[1.0, 2.0]],
        "column list": [[1.0], [2.0], [3.0]],
        "tuple": ((1.0,),),
        "dict": {"x": 1.0},
        "object": object(),
        "numpy float64 scalar": np.float64(1.0),
        "numpy int64 scalar": np.int64(1),
        "memoryview": memoryview(b"abcdefgh"),
        "range": range(3),
        "array-like": ArrayLike(),
    }[kind]


OTHER_DTYPES = [
    "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
    "float16", "float32", "longdouble", "complex64", "complex128", "clongdouble", "object",
    "U3", "S3", "V8", "M8[s]", "m8[s]", ">f8", ">c16", ">i8", "structured",
]


def other_dtype(name):
    return np.dtype([("a", "<f8")]) if name == "structured" else np.dtype(name)


SPECIALS = [math.nan, math.inf, -math.inf, 1e300, -1e300, 5e-324, -0.0, 1.7976931348623157e308]
NICE = st.one_of(
    st.floats(-1e3, 1e3, allow_nan=False, allow_infinity=False),
    st.sampled_from([0.0, 1.0, -1.0, 2.0, 0.5, 3.0]),
)


@st.composite
def values(draw, shape):
    count = int(np.prod(shape))
    kind = draw(st.sampled_from(["nice", "nice", "nice", "small integers", "with specials"]))
    if count > 64:  # large blocks come from a seed: drawing them element-wise is slow
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        v = rng.standard_normal(shape)
        if kind == "small integers":
            v = np.round(v * 2)
        elif kind == "with specials":
            v.flat[rng.integers(0, count, size=3)] = rng.choice(SPECIALS, size=3)
        return v
    if kind == "small integers":
        elements = st.integers(-2, 2).map(float)
    elif kind == "with specials":
        elements = st.one_of(NICE, st.sampled_from(SPECIALS))
    else:
        elements = NICE
    return draw(hnp.arrays(np.float64, shape, elements=elements))


# Mostly small, sometimes empty, sometimes around the size where the products
# stop using the schoolbook kernel alone.
ROWS = st.sampled_from([1, 2, 3, 4, 5, 6, 7, 8] * 3 + [0, 63, 64, 65, 130])
COLS = st.sampled_from([1, 2, 3, 4] * 4 + [0, 5, 9])
BYTE_STRIDES = [0, 8, -8, 16, -16, 24, -40, 1, -3, 5, 13, -13]
HUGE_STRIDES = [2**62, -(2**62), -(2**63), 2**63 - 1, 2**40 + 3]

LAYOUTS = [
    "C", "C", "C", "Fortran", "transposed", "steps", "byte strides", "huge strides",
    "broadcast", "writable zero strides", "unaligned", "read-only", "matrix", "masked",
    "memmap", "subclass", "armed subclass", "float64 alias", "float64 with metadata",
]


@st.composite
def float64_array(draw, rows, cols, tmpdir):
    shape = (rows, cols)
    layout = draw(st.sampled_from(LAYOUTS))
    v = draw(values(shape))
    recipe = f"{layout} float64 {shape}"
    if layout == "C":
        a = v.copy()
        return Arg(a, recipe, [a])
    if layout == "Fortran":
        a = np.asfortranarray(v)
        return Arg(a, recipe, [a])
    if layout == "transposed":
        a = np.ascontiguousarray(v.T).T
        return Arg(a, recipe, [a])
    if layout == "steps":
        sr = draw(st.sampled_from([1, -1, 2, -2, 3, -3]))
        sc = draw(st.sampled_from([1, -1, 2, -2, 3, -3]))
        big = np.full((max(rows, 1) * abs(sr) + 1, max(cols, 1) * abs(sc) + 1), 777.0)
        a = big[::sr, ::sc][:rows, :cols]
        a[...] = v
        return Arg(a, recipe + f" steps ({sr}, {sc})", [big])
    if layout in ("byte strides", "huge strides"):
        if layout == "huge strides" and (rows == 1 or cols == 1):
            # A huge stride is in bounds only on an axis of length 1.
            s0 = draw(st.sampled_from(HUGE_STRIDES)) if rows == 1 else draw(st.sampled_from(BYTE_STRIDES))
            s1 = draw(st.sampled_from(HUGE_STRIDES)) if cols == 1 else draw(st.sampled_from(BYTE_STRIDES))
        else:
            s0 = draw(st.sampled_from(BYTE_STRIDES))
            s1 = draw(st.sampled_from(BYTE_STRIDES))
        used0 = (rows - 1) * s0 if rows > 1 else 0
        used1 = (cols - 1) * s1 if cols > 1 else 0
        low = min(0, used0) + min(0, used1)
        high = max(0, used0) + max(0, used1) + 8
        size = high - low
        fill = draw(values((size // 8 + 1,)))
        buffer = np.frombuffer(fill.tobytes(), dtype=np.uint8)[:size].copy()
        a = np.ndarray(shape, dtype=np.float64, buffer=buffer, offset=-low, strides=(s0, s1))
        return Arg(a, recipe + f" strides ({s0}, {s1})", [buffer])
    if layout == "broadcast":
        source = v[:1, :] if draw(st.booleans()) else v[:, :1]
        source = source.copy() if source.size else np.ones((1, 1))
        a = np.broadcast_to(source, shape)
        return Arg(a, recipe + f" from {source.shape}", [source])
    if layout == "writable zero strides":
        source = np.array([v.flat[0] if v.size else 1.0])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            a = as_strided(source, shape, (0, 0), writeable=True)
        return Arg(a, recipe, [source])
    if layout == "unaligned":
        buffer = np.zeros(rows * cols * 8 + 1, dtype=np.uint8)
        a = np.ndarray(shape, dtype=np.float64, buffer=buffer, offset=1)
        a[...] = v
        return Arg(a, recipe, [buffer])
    if layout == "read-only":
        a = v.copy()
        a.flags.writeable = False
        return Arg(a, recipe, [a])
    if layout == "matrix":
        a = np.matrix(v)
        return Arg(a, recipe, [a])
    if layout == "masked":
        mask = draw(hnp.arrays(np.bool_, shape))
        a = np.ma.masked_array(v.copy(), mask=mask)
        return Arg(a, recipe, [a.data, a.mask])
    if layout == "memmap" and rows * cols > 0:
        path = os.path.join(tmpdir, f"map{len(os.listdir(tmpdir))}.bin")
        order = draw(st.sampled_from(["C", "F"]))
        a = np.memmap(path, dtype=np.float64, mode="w+", shape=shape, order=order)
        a[...] = v
        return Arg(a, recipe + f" order {order}", [a])
    if layout == "subclass":
        a = v.copy().view(SubArray)
        return Arg(a, recipe, [a])
    if layout == "armed subclass":
        a = v.copy().view(Armed)
        return Arg(a, recipe, [a])
    if layout == "float64 alias":
        a = v.astype(draw(st.sampled_from(["=f8", "<f8", "d", "double"])))
        return Arg(a, recipe, [a])
    if layout == "float64 with metadata":
        a = v.copy().view(np.dtype("f8", metadata={"unit": "m"}))
        return Arg(a, recipe, [a])
    a = v.copy()
    return Arg(a, "C float64 " + str(shape), [a])


@st.composite
def other_array(draw):
    ndim = draw(st.integers(0, 4))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    name = draw(st.sampled_from(["float64"] + OTHER_DTYPES)) if ndim != 2 else draw(st.sampled_from(OTHER_DTYPES))
    dtype = FLOAT64 if name == "float64" else other_dtype(name)
    a = np.zeros(shape, dtype=dtype)
    if dtype.kind == "O":
        a[...] = 1.5
    if ndim == 2 and draw(st.booleans()):
        a = a.T
    return Arg(a, f"{name} array {a.shape}", [a] if dtype.kind != "O" else [])


@st.composite
def argument(draw, tmpdir, rows=None, cols=None):
    kind = draw(st.sampled_from(["float64"] * 12 + ["other array"] * 3 + ["not an array"] * 2 + ["huge"]))
    if kind == "not an array":
        name = draw(st.sampled_from(NON_ARRAYS))
        return Arg(non_array(name), name)
    if kind == "other array":
        return draw(other_array())
    if kind == "huge":
        # Zero strides: claims up to 2^59 elements while occupying one.
        shape = draw(st.sampled_from([(10**6, 10**6), (2**30, 2**29), (2**59, 1), (1, 2**59), (2**20, 2**20 + 7)]))
        source = np.ones(1)
        a = as_strided(source, shape, (0, 0), writeable=False)
        return Arg(a, f"zero-stride view claiming {shape}", [source])
    if rows is None or draw(st.integers(0, 4)) == 0:
        rows = draw(ROWS)
    if cols is None or draw(st.integers(0, 4)) == 0:
        cols = draw(COLS)
    return draw(float64_array(rows, cols, tmpdir))


# --- one call, checked --------------------------------------------------------


def checked_call(call, args, expected):
    """Runs `call` on `args`, checks that its outcome is one of `expected`
    and that no argument changed; returns the outcome."""
    before = [a.snapshot() for a in args]
    counts = [sys.getrefcount(a.value) for a in args]
    Armed.armed = True
    try:
        outcome = run(call)
    finally:
        Armed.armed = False
    assert allowed(outcome, expected), f"got {outcome[:2]}, allowed {expected}"
    OUTCOMES[outcome[0] if outcome[0] in ("ok", "TypeError", "MemoryError") else f"{outcome[0]}: {outcome[1]}"] += 1
    assert [sys.getrefcount(a.value) for a in args] == counts, "an argument's reference count changed"
    assert [a.snapshot() for a in args] == before, "an argument's bytes changed"
    for a in args:
        if isinstance(a.value, np.ndarray) and a.value.flags.writeable:
            # Nothing stays borrowed: another extension may take it exclusively.
            assert RECORD.acquire_mut(RECORD.flags, a.value) == 0, f"{a} is still borrowed"
            RECORD.release_mut(RECORD.flags, a.value)
    return outcome


def do_fit(shadow, x, y):
    model = shadow.model
    fit_intercept = shadow.fit_intercept
    error = extraction_error("x", x.value) or extraction_error("y", y.value)
    if error is None:
        error = copy_error(x.value) or copy_error(y.value)
    params, count = None, None
    if error is not None:
        expected = [error]
    else:
        px, py = plain(x.value), plain(y.value)
        d = design(px, fit_intercept)
        k = d.shape[1]
        rows_match = py.shape[0] == px.shape[0]
        count = k * py.shape[1] - (1 if fit_intercept else 0)
        expected = [("ok", None) if rows_match else ("Panic", SIZES_DIFFER)]
        if not well_conditioned(d, 1e6):
            # Singular, nearly so, or not finite: whether LAPACK meets an exactly
            # zero pivot depends on the rounding of G, so both are correct.
            expected.append(("RuntimeError", INVERSION_FAILED))
        elif rows_match and well_conditioned(d, 1e4) and np.all(np.isfinite(py)) and np.max(np.abs(py), initial=0) < 1e100:
            b = np.linalg.lstsq(d, py, rcond=None)[0].ravel()
            params = (b[0], b[1:]) if fit_intercept else (0.0, b)
    outcome = checked_call(lambda: model.fit(x.value, y.value), [x, y], expected)
    if outcome[0] != "ok":
        shadow.check_unchanged()
        return
    assert outcome[2] is None
    shadow.count, shadow.params = count, params
    probe_result = model.predict(shadow.probe())
    if params is not None:
        intercept, coefficients = params
        reference = shadow.probe() @ coefficients + intercept
        scale = np.abs(shadow.probe()) @ np.abs(coefficients) + abs(intercept) + 1.0
        assert np.all(np.abs(probe_result - reference) <= 1e-6 * scale), (probe_result, reference)
    shadow.record_probe()


def do_predict(shadow, x):
    model = shadow.model
    error = extraction_error("x", x.value) or copy_error(x.value)
    if error is not None:
        expected = [error]
    elif shadow.count is None:
        expected = [("RuntimeError", NOT_FITTED)]
    elif x.value.shape[1] != shadow.count:
        expected = [("Panic", SIZES_DIFFER)]
    else:
        expected = [("ok", None)]
    outcome = checked_call(lambda: model.predict(x.value), [x], expected)
    if outcome[0] == "ok":
        result = outcome[2]
        px = plain(x.value)
        assert type(result) is np.ndarray and result.dtype == FLOAT64
        assert result.shape == (px.shape[0],) and result.flags.writeable
        assert type(result.base).__name__ == "PySliceContainer"
        # The layout of x changes nothing: the same bits as a C-ordered copy.
        assert np.array_equal(bits(result), bits(model.predict(px)))
        if shadow.params is not None and np.all(np.isfinite(px)) and np.max(np.abs(px), initial=0) < 1e100:
            intercept, coefficients = shadow.params
            reference = px @ coefficients + intercept
            scale = np.abs(px) @ np.abs(coefficients) + abs(intercept) + 1.0
            assert np.all(np.abs(result - reference) <= 1e-6 * scale), (result, reference)
    shadow.check_unchanged()


TMPDIR = tempfile.mkdtemp(prefix="bravolin-hardening-")
OUTCOMES = collections.Counter()  # what the search reached, printed at its end
LOG = os.environ.get("BRAVOLIN_HARDENING_LOG")


def log(text):
    # Written before each call, so that after a crash the last line names the
    # example that was running.
    if LOG:
        with open(LOG, "a", encoding="utf-8", errors="backslashreplace") as f:
            f.write(text + "\n")


def boundary_search(examples):
    @search_settings(examples)
    @given(data=st.data())
    def search(data):
        shadows = []
        for fit_intercept in (True, False):
            shadow = Shadow(LinearRegression(fit_intercept))
            shadow.fit_intercept = fit_intercept
            if data.draw(st.booleans(), label=f"prefit {fit_intercept}"):
                p = data.draw(st.integers(1, 3))
                rng = np.random.default_rng(p)
                x = rng.standard_normal((12, p))
                y = x @ np.arange(1.0, p + 1.0).reshape(-1, 1) + 0.5
                shadow.model.fit(x, y)
                b = np.linalg.lstsq(design(x, fit_intercept), y, rcond=None)[0].ravel()
                shadow.count = p
                shadow.params = (b[0], b[1:]) if fit_intercept else (0.0, b)
                shadow.record_probe()
            shadows.append(shadow)
        for step in range(data.draw(st.integers(1, 3), label="calls")):
            shadow = shadows[data.draw(st.integers(0, 1), label="model")]
            if data.draw(st.booleans(), label="fit?"):
                x = data.draw(argument(TMPDIR), label="x")
                rows = x.value.shape[0] if isinstance(x.value, np.ndarray) and x.value.ndim == 2 else None
                if rows is not None and rows > 1000:
                    rows = None  # a y that matches a huge zero-stride x would be real memory
                if isinstance(x.value, np.ndarray) and x.value.ndim == 2 and data.draw(st.integers(0, 5)) == 0:
                    y = Arg(x.value, f"x itself ({x})", x.backing)
                else:
                    y = data.draw(argument(TMPDIR, rows=rows, cols=1), label="y")
                log(f"fit_intercept={shadow.fit_intercept} fit({x}, {y})")
                do_fit(shadow, x, y)
            else:
                x = data.draw(argument(TMPDIR, cols=shadow.count), label="x")
                log(f"fit_intercept={shadow.fit_intercept} count={shadow.count} predict({x})")
                do_predict(shadow, x)
        note(f"models: {[(s.fit_intercept, s.count) for s in shadows]}")
        for name in os.listdir(TMPDIR):
            os.remove(os.path.join(TMPDIR, name))

    search()


ODD_NAMES = ["a\0b", "bad\udc80name", "Größe\U0001f600", "", "k" * 10_000, "it's"]


@pytest.mark.parametrize("name", ODD_NAMES, ids=["nul", "surrogate", "non-ascii", "empty", "long", "quote"])
@pytest.mark.parametrize(
    "call, full_name",
    [
        (lambda kw: LinearRegression(True).fit(np.ones((3, 1)), np.ones((3, 1)), **kw), "LinearRegression.fit()"),
        (lambda kw: LinearRegression(True).predict(np.ones((3, 1)), **kw), "LinearRegression.predict()"),
        (lambda kw: LinearRegression(True, **kw), "LinearRegression.__new__()"),
    ],
    ids=["fit", "predict", "new"],
)
def test_unexpected_keyword_is_named_in_full(name, call, full_name):
    """Keyword names cut at a NUL, or refused with an undocumented error."""
    with pytest.raises(TypeError) as info:
        call({name: 1})
    assert type(info.value) is TypeError
    assert info.value.args == (f"{full_name} got an unexpected keyword argument '{name}'",)


@pytest.mark.parametrize("mode", ["nul", "non-ascii", "long", "empty", "quote", "surrogate", "raises", "not a string", "str subclass"])
def test_rejected_argument_type_is_named_in_full(mode):
    """Type names cut at a NUL in the conversion message."""
    probe = probe_class(mode)
    with pytest.raises(TypeError) as info:
        LinearRegression(True).predict(probe)
    assert type(info.value) is TypeError
    assert info.value.args == (
        f"argument 'x': '{qualname_in_message(probe)}' object cannot be converted to 'PyArray<T, D>'",
    )


@pytest.mark.parametrize("stride", HUGE_STRIDES + [-8, 0])
@pytest.mark.parametrize("axis", [0, 1])
def test_any_stride_on_an_axis_of_length_one(stride, axis):
    """A stride of INT64_MIN negated in the borrow key (undefined behaviour)."""
    # NumPy accepts any stride on an axis of length 1: it is never applied.
    values = np.array([1.5, -2.0, 0.25, 4.0])
    shape, strides = ((1, 4), (stride, 8)) if axis == 0 else ((4, 1), (8, stride))
    x = np.ndarray(shape, dtype=np.float64, buffer=values, strides=strides)
    reference = np.ascontiguousarray(x)
    model = LinearRegression(False)
    model.fit(np.eye(x.shape[1]) + 1.0, np.arange(1.0, x.shape[1] + 1).reshape(-1, 1))
    assert np.array_equal(bits(model.predict(x)), bits(model.predict(reference)))
    other = LinearRegression(True)
    if axis == 1:
        # x as y as well: two borrows of the same odd key.
        assert other.fit(np.array([[1.0], [2.0], [4.0], [8.0]]), x) is None
    assert RECORD.acquire_mut(RECORD.flags, x) == 0
    RECORD.release_mut(RECORD.flags, x)


def test_boundary_survives_every_drawn_argument(tmp_path):
    log_path = tmp_path / "examples.log"
    env = dict(os.environ, BRAVOLIN_HARDENING_LOG=str(log_path))
    try:
        done = subprocess.run(
            [sys.executable, "-P", "-X", "faulthandler", __file__, "--examples", str(CI_EXAMPLES)],
            cwd=tmp_path, env=env, capture_output=True, text=True, errors="backslashreplace",
            timeout=CHILD_TIMEOUT,
        )
    except subprocess.TimeoutExpired as timeout:
        last = log_path.read_text(errors="replace").splitlines()[-1:] if log_path.exists() else []
        raise AssertionError(f"the search hung; the last example started was {last}") from timeout
    if done.returncode != 0:
        last = log_path.read_text(errors="replace").splitlines()[-1:] if log_path.exists() else []
        raise AssertionError(
            f"the search ended with status {done.returncode}; last example started: {last}\n"
            f"--- stdout ---\n{done.stdout[-6000:]}\n--- stderr (tail) ---\n{done.stderr[-6000:]}"
        )
    assert "searched" in done.stdout


def limit_address_space():
    """Bounds this process's memory, so that a runaway allocation (in the
    module or in this test) becomes MemoryError here and not the kernel's OOM
    killer on a shared machine. Not under AddressSanitizer, which reserves
    terabytes of address space for its shadow memory."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return
    import resource

    limit = min(8 << 30, PHYSICAL_MEMORY // 2)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard == resource.RLIM_INFINITY or hard > limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit if hard == resource.RLIM_INFINITY else hard))


if __name__ == "__main__":
    limit_address_space()
    examples = int(sys.argv[sys.argv.index("--examples") + 1]) if "--examples" in sys.argv else CI_EXAMPLES
    boundary_search(examples)
    print(f"searched {examples} examples; outcomes of the checked calls: {dict(OUTCOMES)}")
