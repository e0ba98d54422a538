"""Normal, Student's t and F distribution functions with the same bits on
every machine.

The platform's ``exp``, ``log``, ``erfc`` and ``lgamma`` come from its C
library, and their last bits differ between libraries and CPUs; a p-value
computed with them would differ too. Everything here is therefore built from
the operations IEEE 754 rounds correctly (+, -, *, /, sqrt) and from exact
ones (comparisons, ``frexp``, ``ldexp``, ``floor``, integer arithmetic).
Where a double is not enough, a value is carried as an unevaluated sum of two
doubles (about 106 bits) through error-free transformations written without
fused multiply-add, so no compiler or CPU can contract them differently.

Against 256-bit references, over degrees of freedom from 0.5 to 1e7 and
beyond: probabilities within 2.1e-15 relative (most within 5e-16), down to
the smallest normal doubles, and quantiles within a few units in the last
place (the normal quantile within half a unit down to the smallest
subnormal p). Below 0.3 degrees of freedom the t functions lose digits (143
units in the last place at 0.05). With both degrees of freedom near 1e13 the
F survival function is good to only 3e-15, and beyond about 1e14 it is NaN:
its continued fraction no longer converges within its term limit (an F
test's numerator degrees of freedom count parameters, so it never meets
them). Each call costs some 0.02 to 1 ms of pure Python (0.2 s as both F
degrees of freedom near 1e13).
"""

from __future__ import annotations

import functools
import math
import sys
from collections.abc import Callable
from typing import Any

import numpy as np

__all__ = [
    "f_sf",
    "norm_cdf",
    "norm_ppf",
    "norm_sf",
    "regularized_beta",
    "t_cdf",
    "t_ppf",
    "t_sf",
    "t_two_sided",
]

_frexp = math.frexp
_ldexp = math.ldexp
_floor = math.floor
_sqrt = math.sqrt
_hex = float.fromhex
_INF = math.inf
_MAX_DOUBLE = sys.float_info.max
_NAN = math.nan

# ---------------------------------------------------------------------------
# Pairs of doubles. A pair (hi, lo) stands for hi + lo with |lo| <= ulp(hi)/2.

# 2**27 + 1 cuts a double into two halves whose products are exact.
_SPLITTER = 134217729.0


def _two_sum(a: float, b: float) -> tuple[float, float]:
    s = a + b
    v = s - a
    return s, (a - (s - v)) + (b - v)


def _fast_two_sum(a: float, b: float) -> tuple[float, float]:
    # Valid when |a| >= |b| or a == 0; saves three operations over _two_sum.
    s = a + b
    return s, b - (s - a)


def _two_prod(a: float, b: float) -> tuple[float, float]:
    # Dekker's product: the rounding error of a*b, exactly, without an FMA.
    p = a * b
    t = _SPLITTER * a
    ah = t - (t - a)
    al = a - ah
    t = _SPLITTER * b
    bh = t - (t - b)
    bl = b - bh
    return p, ((ah * bh - p) + ah * bl + al * bh) + al * bl


def _dd_add(ah: float, al: float, bh: float, bl: float) -> tuple[float, float]:
    s, e = _two_sum(ah, bh)
    t, f = _two_sum(al, bl)
    e += t
    s, e = _fast_two_sum(s, e)
    e += f
    return _fast_two_sum(s, e)


def _dd_add_d(ah: float, al: float, b: float) -> tuple[float, float]:
    s, e = _two_sum(ah, b)
    e += al
    return _fast_two_sum(s, e)


def _dd_mul(ah: float, al: float, bh: float, bl: float) -> tuple[float, float]:
    p, e = _two_prod(ah, bh)
    e += ah * bl + al * bh
    return _fast_two_sum(p, e)


def _dd_mul_d(ah: float, al: float, b: float) -> tuple[float, float]:
    p, e = _two_prod(ah, b)
    e += al * b
    return _fast_two_sum(p, e)


def _dd_div(ah: float, al: float, bh: float, bl: float) -> tuple[float, float]:
    q = ah / bh
    p, e = _two_prod(q, bh)
    # ah - p is exact: q*bh is within a few units of ah.
    r = (((ah - p) - e) + al) - q * bl
    return _fast_two_sum(q, r / bh)


# ---------------------------------------------------------------------------
# exp and log, to about 1e-20 relative as pairs.

# ln 2 in three pieces; the first two have 32 significant bits, so their
# products with the integers of the argument reductions below are exact.
_LN2_HI = _hex("0x1.62e42fee00000p-1")
_LN2_MID = _hex("0x1.a39ef35600000p-33")
_LN2_LO = _hex("0x1.93c7673007e5fp-65")
_INV_LN2_32 = _hex("0x1.71547652b82fep+5")  # 32 / ln 2, only to pick k

# 2**(j/32) for j = 0..31, each as a pair.
_EXP2_TABLE = tuple(
    (_hex(h), _hex(lo))
    for h, lo in (
        ("0x1.0000000000000p+0", "0x0.0p+0"),
        ("0x1.059b0d3158574p+0", "0x1.d73e2a475b465p-55"),
        ("0x1.0b5586cf9890fp+0", "0x1.8a62e4adc610bp-54"),
        ("0x1.11301d0125b51p+0", "-0x1.6c51039449b3ap-54"),
        ("0x1.172b83c7d517bp+0", "-0x1.19041b9d78a76p-55"),
        ("0x1.1d4873168b9aap+0", "0x1.e016e00a2643cp-54"),
        ("0x1.2387a6e756238p+0", "0x1.9b07eb6c70573p-54"),
        ("0x1.29e9df51fdee1p+0", "0x1.612e8afad1255p-55"),
        ("0x1.306fe0a31b715p+0", "0x1.6f46ad23182e4p-55"),
        ("0x1.371a7373aa9cbp+0", "-0x1.63aeabf42eae2p-54"),
        ("0x1.3dea64c123422p+0", "0x1.ada0911f09ebcp-55"),
        ("0x1.44e086061892dp+0", "0x1.89b7a04ef80d0p-59"),
        ("0x1.4bfdad5362a27p+0", "0x1.d4397afec42e2p-56"),
        ("0x1.5342b569d4f82p+0", "-0x1.07abe1db13cadp-55"),
        ("0x1.5ab07dd485429p+0", "0x1.6324c054647adp-54"),
        ("0x1.6247eb03a5585p+0", "-0x1.383c17e40b497p-54"),
        ("0x1.6a09e667f3bcdp+0", "-0x1.bdd3413b26456p-54"),
        ("0x1.71f75e8ec5f74p+0", "-0x1.16e4786887a99p-55"),
        ("0x1.7a11473eb0187p+0", "-0x1.41577ee04992fp-55"),
        ("0x1.82589994cce13p+0", "-0x1.d4c1dd41532d8p-54"),
        ("0x1.8ace5422aa0dbp+0", "0x1.6e9f156864b27p-54"),
        ("0x1.93737b0cdc5e5p+0", "-0x1.75fc781b57ebcp-57"),
        ("0x1.9c49182a3f090p+0", "0x1.c7c46b071f2bep-56"),
        ("0x1.a5503b23e255dp+0", "-0x1.d2f6edb8d41e1p-54"),
        ("0x1.ae89f995ad3adp+0", "0x1.7a1cd345dcc81p-54"),
        ("0x1.b7f76f2fb5e47p+0", "-0x1.5584f7e54ac3bp-56"),
        ("0x1.c199bdd85529cp+0", "0x1.11065895048ddp-55"),
        ("0x1.cb720dcef9069p+0", "0x1.503cbd1e949dbp-56"),
        ("0x1.d5818dcfba487p+0", "0x1.2ed02d75b3707p-55"),
        ("0x1.dfc97337b9b5fp+0", "-0x1.1a5cd4f184b5cp-54"),
        ("0x1.ea4afa2a490dap+0", "-0x1.e9c23179c2893p-54"),
        ("0x1.f50765b6e4540p+0", "0x1.9d3e12dd8a18bp-54"),
    )
)

_THIRD = (_hex("0x1.5555555555555p-2"), _hex("0x1.5555555555555p-56"))
_HALF_LOG_2PI = (_hex("0x1.d67f1c864beb5p-1"), _hex("-0x1.65b5a1b7ff5dfp-55"))
_INV_SQRT_2PI = (_hex("0x1.9884533d43651p-2"), _hex("-0x1.cbc0d30ebfd15p-56"))
_SQRT_HALF = _hex("0x1.6a09e667f3bcdp-1")

# 1/8!, 1/7!, ..., 1/2!, highest first.
_EXP_TAYLOR = (1.0 / 40320.0, 1.0 / 5040.0, 1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5)
# 1/25, 1/23, ..., 1/5, highest first.
_ATANH_TAYLOR = tuple(1.0 / k for k in range(25, 3, -2))

# Beyond these exp(x) is not a finite double or is zero.
_EXP_MAX = 709.782712893384
_EXP_MIN = -745.2


def _exp_dd(xh: float, xl: float = 0.0) -> tuple[float, float]:
    """exp(xh + xl) as a pair with relative error below 1e-19."""
    if xh > _EXP_MAX:
        return _INF, 0.0
    if xh < _EXP_MIN:
        return 0.0, 0.0
    if xh != xh:
        return _NAN, _NAN
    # x = (k/32) ln 2 + r with |r| <= ln2/64: the products k/32 * (ln 2 pieces)
    # are exact and the first subtraction is exact by Sterbenz's lemma, so r
    # carries the argument to about 2**-110.
    k = _floor(xh * _INV_LN2_32 + 0.5)
    c = k * 0.03125
    rh, rl = _two_sum(xh - c * _LN2_HI, -(c * _LN2_MID))
    rl += xl - c * _LN2_LO
    rh, rl = _fast_two_sum(rh, rl)
    # exp(r) - 1 - r by its Taylor series: |r| < 0.011 makes the ninth term
    # 1e-23, and the sum is below 6e-5, so double precision suffices for it.
    q = _EXP_TAYLOR[0]
    for coef in _EXP_TAYLOR[1:]:
        q = q * rh + coef
    q *= rh * rh
    eh, el = _two_sum(1.0, rh)
    el += rl + (q + rl * rh)
    eh, el = _fast_two_sum(eh, el)
    ki = int(k)
    th, tl = _EXP2_TABLE[ki & 31]
    p, e = _two_prod(eh, th)
    e += eh * tl + el * th
    p, e = _fast_two_sum(p, e)
    m = ki >> 5
    return _ldexp(p, m), _ldexp(e, m)


def _exp(x: float) -> float:
    return _exp_dd(x)[0]


def _atanh_ratio(sh: float, sl: float) -> tuple[float, float]:
    """atanh(s)/s - 1 = s²/3 + s⁴/5 + ... as a pair, for |s| <= 0.172."""
    s2h, s2l = _dd_mul(sh, sl, sh, sl)
    z = s2h
    # The s⁴ tail is below 1.8e-4 of the result, so double precision is
    # enough for it; s²/3 is not, and is taken in pairs.
    tail = _ATANH_TAYLOR[0]
    for coef in _ATANH_TAYLOR[1:]:
        tail = tail * z + coef
    tail *= z * z
    uh, ul = _dd_mul(s2h, s2l, _THIRD[0], _THIRD[1])
    return _dd_add_d(uh, ul, tail)


def _two_atanh(sh: float, sl: float) -> tuple[float, float]:
    uh, ul = _atanh_ratio(sh, sl)
    ph, pl = _dd_mul(sh, sl, uh, ul)
    rh, rl = _dd_add(sh, sl, ph, pl)
    return 2.0 * rh, 2.0 * rl


def _log_dd(xh: float, xl: float = 0.0) -> tuple[float, float]:
    """log(xh + xl) for a positive finite pair, relative error ~1e-20 (also near 1)."""
    if not xh > 0.0:
        return (-_INF if xh == 0.0 else _NAN), 0.0
    m, e = _frexp(xh)
    if m < _SQRT_HALF:
        m *= 2.0
        e -= 1
    # m in [sqrt(1/2), sqrt(2)): log m = 2 atanh(s), s = (m-1)/(m+1), |s| <= 0.172.
    # m - 1 is exact, so log m keeps its relative accuracy as m nears 1.
    f = m - 1.0
    dh, dl = _two_sum(m, 1.0)
    sh = f / dh
    ph, pl = _two_prod(sh, dh)
    sl = (((f - ph) - pl) - sh * dl) / dh
    sh, sl = _fast_two_sum(sh, sl)
    lh, ll = _two_atanh(sh, sl)
    if xl != 0.0:
        lh, ll = _dd_add_d(lh, ll, xl / xh)
    if e:
        eh, el = _fast_two_sum(e * _LN2_HI, e * _LN2_MID)
        el += e * _LN2_LO
        lh, ll = _dd_add(eh, el, lh, ll)
    return lh, ll


def _log(x: float) -> float:
    return _log_dd(x)[0]


# Where log1p uses its own series: 1 + z in [sqrt(1/2), sqrt(2)).
_LOG1P_LO = -0.2928
_LOG1P_HI = 0.4142


def _log1p_dd(zh: float, zl: float = 0.0) -> tuple[float, float]:
    """log(1 + z) for z > -1 as a pair, relative error ~1e-20."""
    if _LOG1P_LO < zh < _LOG1P_HI:
        dh, dl = _dd_add_d(zh, zl, 2.0)
        sh, sl = _dd_div(zh, zl, dh, dl)
        return _two_atanh(sh, sl)
    wh, wl = _dd_add_d(zh, zl, 1.0)
    return _log_dd(wh, wl)


def _rlog1_dd(zh: float, zl: float) -> tuple[float, float]:
    """z - log(1 + z) >= 0 as a pair, without the cancellation near z = 0."""
    if _LOG1P_LO < zh < _LOG1P_HI:
        # With s = z/(2+z): z - 2s = z*s, so z - log1p(z) = z*s - 2 s (atanh(s)/s - 1).
        dh, dl = _dd_add_d(zh, zl, 2.0)
        sh, sl = _dd_div(zh, zl, dh, dl)
        uh, ul = _atanh_ratio(sh, sl)
        ph, pl = _dd_mul(zh, zl, sh, sl)
        qh, ql = _dd_mul(sh, sl, uh, ul)
        return _dd_add(ph, pl, -2.0 * qh, -2.0 * ql)
    lh, ll = _log1p_dd(zh, zl)
    return _dd_add(zh, zl, -lh, -ll)


# ---------------------------------------------------------------------------
# log Gamma and the prefactor of the incomplete beta function.

# From here on Stirling's series with eight terms is below 2e-22 off.
_STIRLING_MIN = 20.0
_STIRLING = (
    1.0 / 12.0,
    -1.0 / 360.0,
    1.0 / 1260.0,
    -1.0 / 1680.0,
    1.0 / 1188.0,
    -691.0 / 360360.0,
    1.0 / 156.0,
    -3617.0 / 122400.0,
)


def _stirling_tail(z: float) -> float:
    """log Gamma(z) - ((z - 1/2) log z - z + log(2 pi)/2) for z >= 20; below 0.0042."""
    w = 1.0 / (z * z)
    c = _STIRLING
    return (c[0] + w * (c[1] + w * (c[2] + w * (c[3] + w * (c[4] + w * (c[5] + w * (c[6] + w * c[7]))))))) / z


# A fit asks for the same degrees of freedom over and over (and a quantile at
# every step of its iteration), so log Gamma is remembered.
@functools.lru_cache(maxsize=512)
def _lgamma_dd(zh: float, zl: float = 0.0) -> tuple[float, float]:
    """log Gamma(z) for z > 0 as a pair: about 1e-19 off for small z, and
    1e-30 relative for large z."""
    prod = None
    if zh < _STIRLING_MIN:
        # Gamma(z) = Gamma(z + n) / (z (z+1) ... (z+n-1)), the product in pairs.
        n = int(_STIRLING_MIN - zh) + 1
        ph, pl = zh, zl
        for i in range(1, n):
            fh, fl = _dd_add_d(zh, zl, float(i))
            ph, pl = _dd_mul(ph, pl, fh, fl)
        prod = (ph, pl)
        zh, zl = _dd_add_d(zh, zl, float(n))
    lh, ll = _log_dd(zh, zl)
    gh, gl = _dd_mul(zh - 0.5, zl, lh, ll)
    gh, gl = _dd_add(gh, gl, -zh, -zl)
    gh, gl = _dd_add(gh, gl, _HALF_LOG_2PI[0], _HALF_LOG_2PI[1] + _stirling_tail(zh))
    if prod is not None:
        ph, pl = _log_dd(*prod)
        gh, gl = _dd_add(gh, gl, -ph, -pl)
    return gh, gl


# Below this a quantity is treated as underflowed for the pair arithmetic.
_TINY_PAIR = 2.0**-800
_HUGE_RATIO = 2.0**800


def _log_w(
    a: float, b: float, s: tuple[float, float], x: tuple[float, float], y: tuple[float, float], lx: tuple[float, float]
) -> tuple[float, float, float, float]:
    """For w = x (a+b)/a, with s = a+b as a pair: (w - 1, log w) as pairs,
    each accurate relative to itself.

    For x > 1/2, x s - a is taken as b - y s: with a huge parameter x lies so
    near 1 that its pair no longer holds 1 - x to full precision, y does."""
    if x[0] < _TINY_PAIR:
        lsh, lsl = _log_dd(*s)
        lah, lal = _log_dd(a)
        h, l_ = _dd_add(lx[0], lx[1], lsh, lsl)
        h, l_ = _dd_add(h, l_, -lah, -lal)
        return -1.0, 0.0, h, l_
    if x[0] <= 0.5:
        nh, nl = _dd_mul(x[0], x[1], s[0], s[1])
        nh, nl = _dd_add_d(nh, nl, -a)
    else:
        nh, nl = _dd_mul(y[0], y[1], s[0], s[1])
        nh, nl = _dd_add_d(-nh, -nl, b)
    eh, el = _dd_div(nh, nl, a, 0.0)
    if _LOG1P_LO < eh < _LOG1P_HI:
        lh, ll = _log1p_dd(eh, el)
    else:
        lh, ll = _log_dd(*_dd_add_d(eh, el, 1.0))
    return eh, el, lh, ll


def _log_prefactor(
    a: float,
    b: float,
    x: tuple[float, float],
    y: tuple[float, float],
    lx: tuple[float, float],
    ly: tuple[float, float],
) -> tuple[float, float]:
    """log(x^a y^b / B(a, b)) as a pair, accurate in absolute terms.

    x and y = 1 - x are pairs, lx and ly their logarithms. Large parameters
    make a log x and log B(a, b) huge and nearly opposite; Stirling's formula
    lets them cancel analytically, leaving terms like a (log w - (w - 1)) that
    have no cancellation (the way of DiDonato and Morris)."""
    big_a = a >= _STIRLING_MIN
    big_b = b >= _STIRLING_MIN
    if not big_a and not big_b:
        th, tl = _dd_mul_d(lx[0], lx[1], a)
        uh, ul = _dd_mul_d(ly[0], ly[1], b)
        th, tl = _dd_add(th, tl, uh, ul)
        sh, sl = _two_sum(a, b)
        gh, gl = _lgamma_dd(sh, sl)
        th, tl = _dd_add(th, tl, gh, gl)
        gh, gl = _lgamma_dd(a)
        th, tl = _dd_add(th, tl, -gh, -gl)
        gh, gl = _lgamma_dd(b)
        return _dd_add(th, tl, -gh, -gl)
    if not big_a:
        a, b, x, y, lx, ly = b, a, y, x, ly, lx
        big_b = False
    s = _two_sum(a, b)
    if not big_b:
        # a large, b small:
        # a log w + b (log y + log(a+b)) - b - log1p(b/a)/2 + mu(a+b) - mu(a) - log Gamma(b)
        if x[0] < _TINY_PAIR:
            return -_INF, 0.0
        _, _, lwh, lwl = _log_w(a, b, s, x, y, lx)
        th, tl = _dd_mul_d(lwh, lwl, a)
        lsh, lsl = _log_dd(*s)
        uh, ul = _dd_add(ly[0], ly[1], lsh, lsl)
        uh, ul = _dd_mul_d(uh, ul, b)
        th, tl = _dd_add(th, tl, uh, ul)
        qh, ql = _dd_div(b, 0.0, a, 0.0)
        qh, ql = _log1p_dd(qh, ql)
        th, tl = _dd_add(th, tl, -0.5 * qh, -0.5 * ql)
        gh, gl = _lgamma_dd(b)
        th, tl = _dd_add(th, tl, -gh, -gl)
        # b into the pair on its own: rounded together with the small mu
        # difference, b (up to 20) would lose up to 2e-15 of the result.
        th, tl = _dd_add_d(th, tl, -b)
        return _dd_add_d(th, tl, _stirling_tail(s[0]) - _stirling_tail(a))
    # Both large:
    # -a rlog1(w1 - 1) - b rlog1(w2 - 1) + log(ab/(a+b))/2 - log(2 pi)/2 + mu(a+b) - mu(a) - mu(b)
    if x[0] < _TINY_PAIR or y[0] < _TINY_PAIR:
        return -_INF, 0.0
    total_h, total_l = 0.0, 0.0
    for p, q, z, zc, lz in ((a, b, x, y, lx), (b, a, y, x, ly)):
        eh, el, lwh, lwl = _log_w(p, q, s, z, zc, lz)
        if _LOG1P_LO < eh < _LOG1P_HI:
            rh, rl = _rlog1_dd(eh, el)
        else:
            rh, rl = _dd_add(eh, el, -lwh, -lwl)
        rh, rl = _dd_mul_d(rh, rl, p)
        total_h, total_l = _dd_add(total_h, total_l, -rh, -rl)
    ph, pl = _two_prod(a, b)
    ph, pl = _dd_div(ph, pl, s[0], s[1])
    ph, pl = _log_dd(ph, pl)
    total_h, total_l = _dd_add(total_h, total_l, 0.5 * ph, 0.5 * pl)
    total_h, total_l = _dd_add(total_h, total_l, -_HALF_LOG_2PI[0], -_HALF_LOG_2PI[1])
    mu = (_stirling_tail(s[0]) - _stirling_tail(a)) - _stirling_tail(b)
    return _dd_add_d(total_h, total_l, mu)


# ---------------------------------------------------------------------------
# The regularised incomplete beta function.

_CF_EPS = 2.0**-53
# The fraction is longest at the mean of two large parameters: about a
# thousand terms for 1e7 degrees of freedom on both sides, some ten thousand
# for 1e12; past this a result is NaN rather than unconverged.
_CF_MAX_TERMS = 100000
# Past the mean the fraction still converges, more slowly; it is used there
# only to spare the wanted side a cancellation, within this many terms.
_CF_FAR_SIDE_TERMS = 2000
_CF_FLOOR = 1e-300
# The complement 1 - v multiplies the relative error by v/(1 - v); past 3 the
# wanted side is taken from its own fraction.
_FAR_SIDE_FROM = 0.75


def _fraction_lambda(a: float, b: float, x: tuple[float, float], y: tuple[float, float]) -> float:
    """1 + a y - b x from the pairs. Near the mean a y and b x cancel, and
    with large parameters the fraction depends on this difference thousands of
    times more strongly than on x itself, so x rounded to a double would not do."""
    ph, pl = _two_prod(a, y[0])
    qh, ql = _two_prod(b, x[0])
    rh, rl = _dd_add(ph, pl + a * y[1], -qh, -ql - b * x[1])
    return (rh + 1.0) + rl


def _beta_fraction(a: float, b: float, x: float, y: float, lam1: float, max_terms: int = _CF_MAX_TERMS) -> float:
    """The continued fraction F with I_x(a, b) = x^a y^b / (B(a, b) F), or
    NaN when it has not converged within max_terms.

    This is the even contraction of the classical fraction (DiDonato and Morris's
    BFRAC) with its leading difference lam1 = 1 + a y - b x passed in exactly.
    The modified Lentz method finds how many terms are needed; the value is
    then taken by the backward recurrence from half as many again, because
    where the fraction converges slowly Lentz's running product gathers up to
    1e-13 of rounding error, which the backward recurrence damps."""
    c = a * lam1 / (a + 1.0)
    if c == 0.0:
        c = _CF_FLOOR
    d = 0.0
    n = 0
    for m in range(1, max_terms):
        den = a + 2 * m - 1.0
        an = (m * (a + m - 1.0) / den) * ((a + b + m - 1.0) / den) * (b - m) * x * x
        bn = m + m * (b - m) * x / den + (a + m) * (lam1 + m * (2.0 - x)) / (den + 2.0)
        d = bn + an * d
        if d == 0.0:
            d = _CF_FLOOR
        c = bn + an / c
        if c == 0.0:
            c = _CF_FLOOR
        d = 1.0 / d
        if abs(c * d - 1.0) <= _CF_EPS:
            n = m
            break
    if n == 0:
        return _NAN
    n += n // 2 + 10
    f = 1.0
    a_next = 0.0
    for m in range(n, 0, -1):
        den = a + 2 * m - 1.0
        an = (m * (a + m - 1.0) / den) * ((a + b + m - 1.0) / den) * (b - m) * x * x
        bn = m + m * (b - m) * x / den + (a + m) * (lam1 + m * (2.0 - x)) / (den + 2.0)
        f = bn + a_next / f if m < n else bn
        if f == 0.0:
            f = _CF_FLOOR
        a_next = an
    return a * lam1 / (a + 1.0) + a_next / f


def _ibeta_pair(
    a: float,
    b: float,
    x: tuple[float, float],
    y: tuple[float, float],
    lx: tuple[float, float],
    ly: tuple[float, float],
    want_complement: bool = False,
) -> tuple[float, float, float]:
    """(I_x(a, b), 1 - I_x(a, b), x^a y^b / B(a, b)).

    The side of the mean that x lies on is computed directly and the other as
    its complement. When the wanted one (I, or 1 - I if want_complement) would
    come out of 1 - v with v > 3/4, it is computed directly as well, from the
    far side's fraction."""
    if x[0] <= 0.0:
        return 0.0, 1.0, 0.0
    if y[0] <= 0.0:
        return 1.0, 0.0, 0.0
    swap = x[0] * (a + b + 2.0) > a + 1.0
    if swap:
        a, b, x, y, lx, ly = b, a, y, x, ly, lx
    lh, ll = _log_prefactor(a, b, x, y, lx, ly)
    prefactor = _exp_dd(lh, ll)[0]
    if prefactor == 0.0:
        value = 0.0
    else:
        fraction = _beta_fraction(a, b, x[0], y[0], _fraction_lambda(a, b, x, y))
        value = prefactor / fraction if fraction > 0.0 else _NAN
    other = 1.0 - value
    if swap != want_complement and value > _FAR_SIDE_FROM:
        far = _beta_fraction(b, a, y[0], x[0], _fraction_lambda(b, a, y, x), _CF_FAR_SIDE_TERMS)
        if far > 0.0:
            other = prefactor / far
    if swap:
        return other, value, prefactor
    return value, other, prefactor


def _side_log(x: tuple[float, float], y: tuple[float, float]) -> tuple[float, float]:
    """log x for the pair x with complement pair y; from y when x is near 1."""
    if x[0] <= 0.0:
        return -_INF, 0.0
    if x[0] <= 0.5:
        return _log_dd(*x)
    return _log1p_dd(-y[0], -y[1])


def _pair_logs(x: tuple[float, float], y: tuple[float, float]) -> tuple[tuple[float, float], tuple[float, float]]:
    return _side_log(x, y), _side_log(y, x)


def _regularized_beta(x: float, a: float, b: float) -> float:
    """The regularised incomplete beta function I_x(a, b) for 0 <= x <= 1 and
    positive a, b (at most 1e290)."""
    if not (0.0 < a <= _DF_NORMAL and 0.0 < b <= _DF_NORMAL and 0.0 <= x <= 1.0):
        return _NAN
    if x == 0.0:
        return 0.0
    if x == 1.0:
        return 1.0
    xp = (x, 0.0)
    yp = _two_sum(1.0, -x)
    lx, ly = _pair_logs(xp, yp)
    return _ibeta_pair(a, b, xp, yp, lx, ly)[0]


# ---------------------------------------------------------------------------
# Student's t.


# Below it t² underflows the pair arithmetic.
_T_LINEAR = 1e-100
# Beyond it t and the normal distribution agree to far below the last bit
# (their tails differ by about t⁴/(4 df) relatively), and Dekker's splitting of
# df/2 would overflow.
_DF_NORMAL = 1e290


def _t_split(t: float, df: float, want_central: bool = False) -> tuple[float, float, float]:
    """(P(T > t), P(0 < T < t), t times the density at t) for t >= 0.

    Each probability is accurate relative to itself; where one of them is the
    difference 1/2 - other and that difference would cost digits, the wanted one
    (the tail, or the central probability if want_central) is computed directly."""
    a = 0.5 * df
    t2h, t2l = _two_prod(t, t)
    if t > 2.0**450 or t2h > df * _HUGE_RATIO:
        # x = df/(df + t²) underflows the pair arithmetic; only its log matters,
        # and log y = -log1p(df/t²) is below 2**-800.
        lth, ltl = _log_dd(t)
        ldh, ldl = _log_dd(df)
        lx = _dd_add(ldh, ldl, -2.0 * lth, -2.0 * ltl)
        xd = df / t / t
        ly = (-xd, 0.0)
        lh, ll = _log_prefactor(a, 0.5, (xd, 0.0), (1.0, -xd), lx, ly)
        ph = _exp_dd(lh, ll)[0]
        sf = 0.5 * ph / a
        return sf, 0.5 - sf, ph
    if t < _T_LINEAR:
        # t² would underflow; P(0 < T < t) and t·density are linear in t here
        # to far below the last bit.
        _, c, p = _t_split(_T_LINEAR, df, want_central)
        scale = t / _T_LINEAR
        return 0.5 - c * scale, c * scale, p * scale
    dh, dl = _dd_add_d(t2h, t2l, df)
    x = _dd_div(df, 0.0, dh, dl)
    y = _dd_div(t2h, t2l, dh, dl)
    lx, ly = _pair_logs(x, y)
    ix, iy, p = _ibeta_pair(a, 0.5, x, y, lx, ly, want_central)
    return 0.5 * ix, 0.5 * iy, p


def _t_sf(t: float, df: float) -> float:
    """Survival function P(T > t) of Student's t with df > 0 degrees of freedom
    (df = inf gives the standard normal)."""
    if t != t or not df > 0.0:
        return _NAN
    if df > _DF_NORMAL:
        return _norm_sf(t)
    if t >= 0.0:
        if t == _INF:
            return 0.0
        return _t_split(t, df)[0]
    if t == -_INF:
        return 1.0
    return 0.5 + _t_split(-t, df, True)[1]


def _t_cdf(t: float, df: float) -> float:
    """Distribution function P(T <= t) of Student's t with df degrees of freedom."""
    return _t_sf(-t, df)


def _t_two_sided(t: float, df: float) -> float:
    """Two-sided p-value P(|T| >= |t|) = 2 P(T > |t|) of Student's t."""
    if t != t or not df > 0.0:
        return _NAN
    if df > _DF_NORMAL:
        return 2.0 * _norm_sf(abs(t))
    t = abs(t)
    if t == _INF:
        return 0.0
    return 2.0 * _t_split(t, df)[0]


def _hill_start(q: float, df: float) -> float:
    """Hill's (1970) approximation of the upper t quantile, as a start only."""
    two_q = 2.0 * q
    a = 1.0 / (df - 0.5) if df > 0.75 else 4.0
    b = 48.0 / (a * a)
    c = ((20700.0 * a / b - 98.0) * a - 16.0) * a + 96.36
    d = ((94.5 / (b + c) - 3.0) / b + 1.0) * _sqrt(a * 1.5707963267948966) * df
    log_y = (2.0 / df) * _log(d * two_q)
    if not ((df < 2.1 and two_q > 0.5) or _exp(log_y) > 0.05 + a):
        # Deep tail: t² ≈ df/y with y the small-probability expansion.
        if log_y < -700.0:
            return _exp(0.5 * (_log(df) - log_y))
        y = _exp(log_y)
        den = ((df + 6.0) / (df * y) - 0.089 * d - 0.822) * (df + 2.0) * 3.0
        if den == 0.0:
            return _exp(0.5 * (_log(df) - log_y))
        y = ((1.0 / den + 0.5 / (df + 4.0)) * y - 1.0) * (df + 1.0) / (df + 2.0) + 1.0 / y
        return _sqrt(df * y) if y > 0.0 else _exp(0.5 * (_log(df) - log_y))
    # Otherwise an expansion about the normal quantile.
    x = -_norm_isf(q)
    y = x * x
    if df < 5.0:
        c += 0.3 * (df - 4.5) * (x + 0.6)
    c = (((0.05 * d * x - 5.0) * x - 7.0) * x - 2.0) * x + b + c
    if c == 0.0:
        return -x
    y = (((((0.4 * y + 6.3) * y + 36.0) * y + 94.5) / c - y - 3.0) / b + 1.0) * x
    eh, el = _exp_dd(a * y * y)
    return _sqrt(df * ((eh - 1.0) + el))


def _small_df_start(q: float, df: float) -> float:
    """A start for df < 1, where Hill's formula is not made for: the leading
    term of the upper tail, t ≈ sqrt(df) (q df B(df/2, 1/2))^(-1/df), or the
    linear term at the centre, t ≈ (1/2 - q) sqrt(df) B(df/2, 1/2)."""
    lbh, lbl = _lgamma_dd(0.5 * df)
    lbh += lbl + 0.5723649429247001 - _lgamma_dd(0.5 * df + 0.5)[0]  # log B(df/2, 1/2)
    if q >= 0.25:
        return (0.5 - q) * _sqrt(df) * _exp(lbh)
    log_t = 0.5 * _log(df) - (_log(q) + _log(df) + lbh) / df
    return _exp(log_t) if log_t < 709.0 else _INF


# A quantile is accepted when the last step moved it by less than this,
# relatively; the step after it would be below the rounding of the residual.
_PPF_TOL = 2.0**-50
_PPF_MAX_STEPS = 100


def _t_isf(q: float, df: float) -> float:
    """t >= 0 with P(T > t) = q, for 0 < q < 0.5.

    Halley's method with a bracket. Near the centre the unknown is t and the
    residual is P(0 < T < t) - (0.5 - q), taken directly rather than as a
    difference of tails; in the tails the unknown is log t and the residual
    log P(T > t) - log q, which is nearly linear there."""
    central = q >= 0.25
    w = 0.5 - q
    log_q = _log_dd(q)
    lo, hi = 0.0, _INF
    t = _hill_start(q, df) if df >= 1.0 else _small_df_start(q, df)
    if not 0.0 < t <= _MAX_DOUBLE:
        t = _MAX_DOUBLE if t > 1.0 else 1.0
    k_scale = df + 1.0
    for _ in range(_PPF_MAX_STEPS):
        sf, c, tdens = _t_split(t, df, central)
        t2 = t * t
        k = k_scale * t2 / (df + t2) if t2 < _INF else k_scale
        if central:
            g = c - w
        else:
            if sf <= 0.0:
                g = -_INF
            else:
                gh, gl = _log_dd(sf)
                g = (gh - log_q[0]) + (gl - log_q[1])
        if g == 0.0:
            break
        if g < 0.0 if central else g > 0.0:
            if t == _MAX_DOUBLE:
                return _INF
            lo = t
        else:
            hi = t
        new_t = _NAN
        if central:
            if tdens > 0.0:
                # Halley: the density's log-derivative is -(df+1) t/(df + t²) = -k/t.
                newton = -g * t / tdens
                den = 1.0 - 0.5 * newton * k / t
                if den > 0.0:
                    new_t = t + newton / den
        elif g > -_INF:
            r = tdens / sf  # -d log P(T > t) / d log t
            if r > 0.0:
                newton = g / r
                den = 1.0 + 0.5 * g * (1.0 + r - k) / r
                if den > 0.0 and -40.0 < newton / den < 40.0:
                    new_t = t * _exp(newton / den)
        if not (lo <= new_t <= hi and new_t > 0.0):
            # Outside the bracket (or no step): bisect, geometrically while
            # the bracket spans orders of magnitude.
            if hi == _INF:
                new_t = min(4.0 * t, _MAX_DOUBLE)
            elif lo == 0.0:
                new_t = 0.25 * hi
            elif hi > 4.0 * lo:
                new_t = _sqrt(lo) * _sqrt(hi)
            else:
                new_t = 0.5 * (lo + hi)
        new_t = min(new_t, _MAX_DOUBLE)
        done = abs(new_t - t) <= _PPF_TOL * new_t
        t = new_t
        if done:
            break
    return t


def _t_ppf(p: float, df: float) -> float:
    """Quantile of Student's t: the t with P(T <= t) = p, for 0 <= p <= 1
    (-inf and inf at the ends, and where the quantile exceeds the doubles)."""
    if not (0.0 <= p <= 1.0 and df > 0.0):
        return _NAN
    if df > _DF_NORMAL:
        return _norm_ppf(p)
    if p == 0.0:
        return -_INF
    if p == 1.0:
        return _INF
    if p == 0.5:
        return 0.0
    if p < 0.5:
        return -_t_isf(p, df)
    return _t_isf(1.0 - p, df)


# ---------------------------------------------------------------------------
# F.


def _f_sf(f: float, dfn: float, dfd: float) -> float:
    """Survival function P(F > f) of the F distribution with dfn and dfd
    degrees of freedom (each positive and at most 1e290)."""
    if f != f or not (0.0 < dfn <= _DF_NORMAL and 0.0 < dfd <= _DF_NORMAL):
        return _NAN
    if f <= 0.0:
        return 1.0
    if f == _INF:
        return 0.0
    a = 0.5 * dfd
    b = 0.5 * dfn
    if f > _HUGE_RATIO / dfn or dfn * f > _HUGE_RATIO * dfd:
        # x = dfd/(dfd + dfn f) underflows the pair arithmetic; its log is
        # log dfd - log dfn - log f up to below 2**-800, and log y is -x.
        lfh, lfl = _log_dd(f)
        lnh, lnl = _log_dd(dfn)
        ldh, ldl = _log_dd(dfd)
        lx = _dd_add(ldh, ldl, -lnh, -lnl)
        lx = _dd_add(lx[0], lx[1], -lfh, -lfl)
        xd = _exp(lx[0])
        return _ibeta_pair(a, b, (xd, 0.0), (1.0, -xd), lx, (-xd, 0.0))[0]
    vh, vl = _two_prod(dfn, f)
    dh, dl = _dd_add_d(vh, vl, dfd)
    x = _dd_div(dfd, 0.0, dh, dl)
    y = _dd_div(vh, vl, dh, dl)
    lx, ly = _pair_logs(x, y)
    return _ibeta_pair(a, b, x, y, lx, ly)[0]


# ---------------------------------------------------------------------------
# Standard normal.

# Beyond it the upper tail is below the smallest subnormal.
_NORM_TAIL_END = 38.5
# Below it the series for P(0 < Z < z) is used, above it the continued
# fraction for the upper tail; the complement then costs at most a factor of
# about two in relative error.
_NORM_SERIES_END = 1.0


def _norm_pdf_dd(z: float) -> tuple[float, float]:
    """exp(-z²/2)/sqrt(2 pi) as a pair. z² is taken exactly: rounding it
    would cost z²·2**-53 relative, 1.5e-13 at z = 37."""
    sh, sl = _two_prod(z, z)
    eh, el = _exp_dd(-0.5 * sh, -0.5 * sl)
    return _dd_mul(eh, el, _INV_SQRT_2PI[0], _INV_SQRT_2PI[1])


def _mills_ratio(z: float) -> float:
    """Q(z)/phi(z) for z >= 1 by Laplace's continued fraction
    1/(z + 1/(z + 2/(z + 3/(z + ...)))), evaluated backwards from a fixed depth.

    All terms are positive, so the backward recurrence cannot cancel. The
    truncation error behaves like 10**(-0.8 z sqrt(n)); n = (26/z)² + 8 puts it
    below 1e-20."""
    n = int((26.0 / z) * (26.0 / z)) + 8
    f = z
    for k in range(n, 0, -1):
        f = z + k / f
    return 1.0 / f


def _norm_split(z: float) -> tuple[float, float, float]:
    """(Q(z), P(0 < Z < z), phi(z)) for z >= 0, each accurate relative to itself."""
    if z >= _NORM_TAIL_END:
        return 0.0, 0.5, 0.0
    ph, pl = _norm_pdf_dd(z)
    if z >= _NORM_SERIES_END:
        r = _mills_ratio(z)
        sf = ph * r + pl * r
        return sf, 0.5 - sf, ph
    # P(0 < Z < z) = phi(z) (z + z³/3 + z⁵/(3·5) + ...): positive terms; the
    # sum after the leading 1 is below 0.41, so its rounding weighs little.
    z2 = z * z
    term = 1.0
    tail = 0.0
    k = 3.0
    while True:
        term *= z2 / k
        if term <= 1e-18 * (1.0 + tail):
            break
        tail += term
        k += 2.0
    sh, sl = _fast_two_sum(1.0, tail)
    sh, sl = _dd_mul_d(sh, sl, z)
    ch, cl = _dd_mul(sh, sl, ph, pl)
    qh, ql = _dd_add(0.5, 0.0, -ch, -cl)
    return qh, ch, ph


def _norm_sf(z: float) -> float:
    """Survival function P(Z > z) of the standard normal."""
    if z != z:
        return _NAN
    if z >= 0.0:
        return _norm_split(z)[0]
    return 0.5 + _norm_split(-z)[1]


def _norm_cdf(z: float) -> float:
    """Distribution function P(Z <= z) of the standard normal."""
    return _norm_sf(-z)


# Acklam's rational approximation of the normal quantile (relative error
# below 1.2e-9), only a starting point for the refinement below.
_ACKLAM_A = (-3.969683028665376e01, 2.209460984245205e02, -2.759285104469687e02, 1.383577518672690e02, -3.066479806614716e01, 2.506628277459239e00)
_ACKLAM_B = (-5.447609879822406e01, 1.615858368580409e02, -1.556989798598866e02, 6.680131188771972e01, -1.328068155288572e01)
_ACKLAM_C = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e00, -2.549732539343734e00, 4.374664141464968e00, 2.938163982698783e00)
_ACKLAM_D = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e00, 3.754408661907416e00)
_ACKLAM_LOW = 0.02425


def _acklam_tail(q: float) -> float:
    """The upper quantile z > 0 with Q(z) = q, for q < 0.02425, roughly."""
    r = _sqrt(-2.0 * _log(q))
    c, d = _ACKLAM_C, _ACKLAM_D
    num = ((((c[0] * r + c[1]) * r + c[2]) * r + c[3]) * r + c[4]) * r + c[5]
    den = (((d[0] * r + d[1]) * r + d[2]) * r + d[3]) * r + 1.0
    return -num / den


def _acklam_central(w: float) -> float:
    """The quantile at probability 0.5 + w, roughly, for |w| <= 0.47575."""
    r = w * w
    a, b = _ACKLAM_A, _ACKLAM_B
    num = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * w
    den = ((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0
    return num / den


# Halley steps after Acklam's start: each cubes the relative error, so two
# reach the accuracy of the distribution function from 1.2e-9.
_NORM_PPF_STEPS = 2


def _norm_split_signed(z: float) -> tuple[float, float, float]:
    """(Q(z), P(0 < Z < z), phi(z)) for any z, the second negative for z < 0."""
    if z >= 0.0:
        return _norm_split(z)
    sf, c, ph = _norm_split(-z)
    return 0.5 + c, -c, ph


# Below this q, phi(z) and Q(z) near the quantile come close to the
# subnormals, whose few bits would stall the Halley steps: the steps are
# then taken on log Q.
_NORM_LOG_STEPS_BELOW = 1e-300


def _norm_isf_deep(q: float, z: float) -> float:
    """Newton steps on log Q(z) = log q from z, for tiny q: log Q(z) =
    -z²/2 - log sqrt(2 pi) + log(Q/phi), each term without underflow, and
    d log Q / dz = -phi/Q, the reciprocal of the Mills ratio."""
    qh, ql = _log_dd(q)
    for _ in range(3):
        r = _mills_ratio(z)
        sh, sl = _two_prod(z, z)
        gh, gl = _dd_add(-0.5 * sh, -0.5 * sl, -_HALF_LOG_2PI[0], -_HALF_LOG_2PI[1])
        gh, gl = _dd_add(gh, gl, *_log_dd(r))
        gh, gl = _dd_add(gh, gl, -qh, -ql)
        z += (gh + gl) * r
    return z


def _norm_isf(q: float) -> float:
    """z >= 0 with Q(z) = q, for 0 < q <= 0.5."""
    if q < _ACKLAM_LOW:
        z = _acklam_tail(q)
        if q < _NORM_LOG_STEPS_BELOW:
            return _norm_isf_deep(q, z)
    else:
        z = _acklam_central(0.5 - q)
    # Near the centre the residual is taken from P(0 < Z < z) against
    # 0.5 - q (exact for q >= 1/4), not as a difference of tails.
    central = q >= 0.25
    w = 0.5 - q
    for _ in range(_NORM_PPF_STEPS):
        sf, c, ph = _norm_split_signed(z)
        if ph == 0.0:
            break
        u = ((w - c) if central else (sf - q)) / ph
        den = 1.0 - 0.5 * z * u
        if den <= 0.0:
            break
        z += u / den
    return z


def _norm_ppf(p: float) -> float:
    """Quantile of the standard normal: the z with P(Z <= z) = p."""
    if not 0.0 <= p <= 1.0:
        return _NAN
    if p == 0.0:
        return -_INF
    if p == 1.0:
        return _INF
    if p == 0.5:
        return 0.0
    if p < 0.5:
        return -_norm_isf(p)
    return _norm_isf(1.0 - p)


# ---------------------------------------------------------------------------
# Element-wise application.


def _elementwise(scalar: Callable[..., float]) -> Callable[..., Any]:
    """The scalar function applied element by element, in a Python loop: the
    elements are independent, so the bits do not depend on the array's shape."""

    def apply(*args: Any) -> Any:
        if all(isinstance(v, (int, float)) for v in args):
            return scalar(*(float(v) for v in args))
        arrays = np.broadcast_arrays(*(np.asarray(v, dtype=np.float64) for v in args))
        out = np.empty(arrays[0].shape, dtype=np.float64)
        flat = [v.ravel() for v in arrays]
        out_flat = out.reshape(-1)
        for i in range(out_flat.size):
            out_flat[i] = scalar(*(float(v[i]) for v in flat))
        if out.ndim == 0:
            return float(out)
        return out

    apply.__name__ = scalar.__name__.lstrip("_")
    apply.__qualname__ = apply.__name__
    apply.__doc__ = (scalar.__doc__ or "") + (
        "\n\nTakes floats or arrays (broadcast together); returns a float or a float64 array."
    )
    return apply


regularized_beta = _elementwise(_regularized_beta)
t_sf = _elementwise(_t_sf)
t_cdf = _elementwise(_t_cdf)
t_two_sided = _elementwise(_t_two_sided)
f_sf = _elementwise(_f_sf)
t_ppf = _elementwise(_t_ppf)
norm_sf = _elementwise(_norm_sf)
norm_cdf = _elementwise(_norm_cdf)
norm_ppf = _elementwise(_norm_ppf)
