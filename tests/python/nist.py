"""The NIST StRD linear least-squares datasets, and an exact solution of each.

``load(name)`` reads ``data/nist/<name>.txt``: NIST's certified values and
data, the data as the decimal strings NIST prints, parsed by ``float``.

``exact_least_squares`` solves the least-squares problem of the float64
data in rational arithmetic. NIST certified its values on the decimal
data; the doubles differ from those decimals by rounding, so even the
exact solution of the doubles agrees with the certified values only to a
number of digits set by the dataset's conditioning: under 8 on Filip, whose
x**k columns lose the rest in their rounding to float64. That number is
the most any float64 method can be expected to reach.

``digits`` is the log relative error (LRE) of the StRD literature: the
number of significant digits an estimate shares with a reference.
"""

from __future__ import annotations

import decimal
import math
import operator
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Iterable, Sequence

import numpy as np

DATA_DIR = Path(__file__).parent / "data" / "nist"

NAMES = (
    "Norris", "Pontius", "NoInt1", "NoInt2", "Filip", "Longley",
    "Wampler1", "Wampler2", "Wampler3", "Wampler4", "Wampler5",
)

# NIST prints 15 significant digits: agreement beyond them is not measurable.
DIGITS_CAP = 15.0
EXACT_DIGITS = 16.0


@dataclass(frozen=True)
class Dataset:
    name: str
    x: np.ndarray
    """(n, p) float64 design without the intercept column; for a polynomial
    model the columns x, x**2, ..., x**d, each power taken by NumPy."""
    y: np.ndarray
    fit_intercept: bool
    certified: tuple[Fraction, ...]
    """B0..Bk as NIST lists them (intercept first when there is one), the
    exact values of the printed decimals."""
    certified_sd: tuple[float, ...]
    residual_sd: float
    r_squared: float


def polynomial_design(x: np.ndarray, degree: int) -> np.ndarray:
    # Each power is NumPy's own x ** k rather than a running product, so the
    # design is what a user would build; the oracle then solves exactly
    # this float64 problem.
    return np.column_stack([x ** k for k in range(1, degree + 1)])


def _read(name: str) -> tuple[dict[str, list[str]], list[list[str]], list[list[str]]]:
    """(fields, certified parameter lines, data rows), as the file's words."""
    fields: dict[str, list[str]] = {}
    params: list[list[str]] = []
    rows: list[list[str]] = []
    in_data = False
    for line in (DATA_DIR / f"{name}.txt").read_text().splitlines():
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if in_data:
            rows.append(words)
        elif words[0] == "data":
            in_data = True
        elif words[0][0] == "B" and words[0][1:].isdigit():
            params.append(words[1:])
        else:
            fields[words[0]] = words[1:]
    return fields, params, rows


def load(name: str) -> Dataset:
    fields, params, rows = _read(name)
    table = np.array([[float(w) for w in row] for row in rows], dtype=np.float64)
    y, columns = table[:, 0].copy(), table[:, 1:]
    kind, size = fields["model"][0], int(fields["model"][1])
    if kind == "polynomial":
        x = polynomial_design(columns[:, 0].copy(), size)
    elif kind == "columns":
        x = np.ascontiguousarray(columns)
    else:
        raise ValueError(f"{name}: unknown model {kind!r}")
    if x.shape[1] != size:
        raise ValueError(f"{name}: {x.shape[1]} columns, the model has {size}")
    fit_intercept = fields["intercept"] == ["yes"]
    if len(params) != size + fit_intercept:
        raise ValueError(f"{name}: {len(params)} certified parameters for {size} columns")
    return Dataset(
        name=name,
        x=x,
        y=y,
        fit_intercept=fit_intercept,
        certified=tuple(Fraction(estimate) for estimate, _ in params),
        certified_sd=tuple(float(sd) for _, sd in params),
        residual_sd=float(fields["residual_sd"][0]),
        r_squared=float(fields["r_squared"][0]),
    )


def _integer_columns(columns: np.ndarray) -> tuple[list[list[int]], list[int]]:
    """Each column as integers times a power of two: (integers, exponents),
    the column being integers * 2**exponent exactly."""
    result, exponents = [], []
    for column in np.asarray(columns, dtype=np.float64).T:
        ratios = [float(v).as_integer_ratio() for v in column]
        shift = max(d.bit_length() - 1 for _, d in ratios)
        result.append([n << (shift - (d.bit_length() - 1)) for n, d in ratios])
        exponents.append(-shift)
    return result, exponents


def _solve_normal_equations(columns: Sequence[Sequence], y: Sequence) -> list[Fraction]:
    """The exact solution of (A^T A) b = A^T y for A given by its columns of
    integers or Fractions; ValueError when A lacks full column rank."""
    p = len(columns)
    m = [
        [Fraction(sum(map(operator.mul, columns[i], columns[j]))) for j in range(p)]
        + [Fraction(sum(map(operator.mul, columns[i], y)))]
        for i in range(p)
    ]
    for k in range(p):
        pivot = next((i for i in range(k, p) if m[i][k] != 0), None)
        if pivot is None:
            raise ValueError("the design does not have full column rank")
        m[k], m[pivot] = m[pivot], m[k]
        for i in range(k + 1, p):
            if m[i][k] != 0:
                f = m[i][k] / m[k][k]
                m[i] = [u - f * v for u, v in zip(m[i], m[k])]
    solution = [Fraction(0)] * p
    for k in reversed(range(p)):
        s = m[k][p] - sum(m[k][j] * solution[j] for j in range(k + 1, p))
        solution[k] = s / m[k][k]
    return solution


def exact_least_squares(x: np.ndarray, y: np.ndarray, fit_intercept: bool) -> list[Fraction]:
    """The exact minimiser of ||X b - y|| for the float64 values of x and y
    (a column of ones first when fit_intercept), intercept first.

    The normal equations are formed and solved in integers and Fractions,
    which is exact; a design without full column rank raises ValueError.
    """
    x = np.asarray(x, dtype=np.float64)
    if x.ndim != 2:
        raise ValueError("x must be two-dimensional")
    columns = np.column_stack([np.ones(x.shape[0]), x]) if fit_intercept else x
    # Scaled to integers, the normal equations are formed in integer
    # arithmetic, much faster than summing Fractions.
    a, a_exp = _integer_columns(columns)
    (b,), (b_exp,) = _integer_columns(np.asarray(y, dtype=np.float64).reshape(-1, 1))
    scaled = _solve_normal_equations(a, b)
    # column j is a[j] * 2**a_exp[j] and y is b * 2**b_exp
    return [s * Fraction(2) ** (b_exp - e) for s, e in zip(scaled, a_exp)]


def decimal_least_squares(name: str) -> list[Fraction]:
    """The exact solution on NIST's decimal data, powers taken exactly: the
    problem NIST certified, so it must reproduce the certified values to
    their 15 printed digits (up to their rounding). It checks the stored
    data and certified values, independently of float64."""
    fields, _, rows = _read(name)
    table = [[Fraction(w) for w in row] for row in rows]
    y = [row[0] for row in table]
    kind, size = fields["model"][0], int(fields["model"][1])
    if kind == "polynomial":
        columns = [[row[1] ** k for row in table] for k in range(1, size + 1)]
    else:
        columns = [[row[j] for row in table] for j in range(1, size + 1)]
    if fields["intercept"] == ["yes"]:
        columns.insert(0, [Fraction(1)] * len(table))
    return _solve_normal_equations(columns, y)


def _exact(value: float | Fraction | str | int) -> Fraction:
    return value if isinstance(value, Fraction) else Fraction(value)


def digits(estimate: float | Fraction, reference: float | Fraction | str) -> float:
    """Correct significant digits of estimate: -log10(|est - ref| / |ref|),
    at most DIGITS_CAP, and EXACT_DIGITS when the two are equal.

    Both are taken at their exact values, so a float64 estimate is not
    rounded again on the way; a zero reference counts absolute error, and
    an estimate that is not finite has no correct digit.
    """
    if isinstance(estimate, float) and not math.isfinite(estimate):
        return 0.0
    est, ref = _exact(estimate), _exact(reference)
    error = abs(est - ref)
    if error == 0:
        return EXACT_DIGITS
    relative = error / abs(ref) if ref != 0 else error
    lre = -(math.log10(relative.numerator) - math.log10(relative.denominator))
    return min(DIGITS_CAP, max(0.0, lre))


def worst_digits(estimates: Iterable[float | Fraction], references: Sequence) -> float:
    """The fewest correct digits over the coefficients, at most DIGITS_CAP:
    an exact match on every coefficient scores the cap like a 15-digit one,
    since the certified values do not tell them apart."""
    estimates = list(estimates)
    if len(estimates) != len(references):
        raise ValueError(f"{len(estimates)} estimates for {len(references)} references")
    return min(DIGITS_CAP, *(digits(e, r) for e, r in zip(estimates, references)))


# ---------------------------------------------------------------------------
# The certified statistics, and the best a float64 fit can report for them.


@dataclass(frozen=True)
class Statistics:
    """Standard deviations of the estimates (intercept first), the residual
    standard deviation and R², each an exact value or a 40-digit one."""

    sd: tuple[Fraction, ...]
    residual_sd: Fraction
    r_squared: Fraction


def certified_statistics(name: str) -> Statistics:
    """NIST's certified statistics at the exact values of the printed
    decimals (``load`` gives them as floats)."""
    fields, params, _ = _read(name)
    return Statistics(
        sd=tuple(Fraction(sd) for _, sd in params),
        residual_sd=Fraction(fields["residual_sd"][0]),
        r_squared=Fraction(fields["r_squared"][0]),
    )


def sqrt_fraction(value: Fraction, significant: int = 40) -> Fraction:
    """√value to ``significant`` digits (exact for a zero value). Far more
    than a double holds, so the rounding cannot move a digit count."""
    if value < 0:
        raise ValueError("square root of a negative number")
    if value == 0:
        return Fraction(0)
    with decimal.localcontext() as context:
        context.prec = significant
        root = (decimal.Decimal(value.numerator) / decimal.Decimal(value.denominator)).sqrt()
    return Fraction(root)


def _inverse(m: Sequence[Sequence[Fraction]]) -> list[list[Fraction]]:
    """The exact inverse of a non-singular square matrix (Gauss-Jordan)."""
    p = len(m)
    a = [[Fraction(v) for v in row] + [Fraction(int(i == j)) for j in range(p)] for i, row in enumerate(m)]
    for k in range(p):
        pivot = next((i for i in range(k, p) if a[i][k] != 0), None)
        if pivot is None:
            raise ValueError("the design does not have full column rank")
        a[k], a[pivot] = a[pivot], a[k]
        lead = a[k][k]
        a[k] = [v / lead for v in a[k]]
        for i in range(p):
            if i != k and a[i][k] != 0:
                f = a[i][k]
                a[i] = [u - f * v for u, v in zip(a[i], a[k])]
    return [row[p:] for row in a]


def _statistics(columns: Sequence[Sequence[Fraction]], y: Sequence[Fraction], fit_intercept: bool) -> Statistics:
    """The exact least-squares statistics of the design given by its
    columns (the column of ones among them when fit_intercept): R² centred
    with an intercept and uncentred without, as NIST certifies it."""
    p, n = len(columns), len(y)
    gram = [[sum(map(operator.mul, columns[i], columns[j]), Fraction(0)) for j in range(p)] for i in range(p)]
    inverse = _inverse(gram)
    moment = [sum(map(operator.mul, column, y), Fraction(0)) for column in columns]
    solution = [sum(map(operator.mul, row, moment), Fraction(0)) for row in inverse]
    ssr = sum(((yi - sum(c[i] * b for c, b in zip(columns, solution))) ** 2 for i, yi in enumerate(y)), Fraction(0))
    if fit_intercept:
        mean = sum(y, Fraction(0)) / n
        tss = sum(((v - mean) ** 2 for v in y), Fraction(0))
    else:
        tss = sum((v * v for v in y), Fraction(0))
    scale = ssr / (n - p)
    return Statistics(
        sd=tuple(sqrt_fraction(scale * inverse[j][j]) for j in range(p)),
        residual_sd=sqrt_fraction(scale),
        r_squared=1 - ssr / tss,
    )


def exact_statistics(x: np.ndarray, y: np.ndarray, fit_intercept: bool) -> Statistics:
    """The statistics of the exact least-squares solution of the float64
    data: what a float64 method can at best report, since the data already
    differ from NIST's decimals by their rounding."""
    x = np.asarray(x, dtype=np.float64)
    columns = [[Fraction(float(v)) for v in column] for column in x.T]
    if fit_intercept:
        columns.insert(0, [Fraction(1)] * x.shape[0])
    return _statistics(columns, [Fraction(float(v)) for v in np.asarray(y, dtype=np.float64)], fit_intercept)


def decimal_statistics(name: str) -> Statistics:
    """The exact statistics on NIST's decimal data, the problem NIST
    certified: they must reproduce the certified statistics to about their
    printed digits, which checks ``_statistics`` itself."""
    fields, _, rows = _read(name)
    table = [[Fraction(w) for w in row] for row in rows]
    y = [row[0] for row in table]
    kind, size = fields["model"][0], int(fields["model"][1])
    if kind == "polynomial":
        columns = [[row[1] ** k for row in table] for k in range(1, size + 1)]
    else:
        columns = [[row[j] for row in table] for j in range(1, size + 1)]
    fit_intercept = fields["intercept"] == ["yes"]
    if fit_intercept:
        columns.insert(0, [Fraction(1)] * len(table))
    return _statistics(columns, y, fit_intercept)
