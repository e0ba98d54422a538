#include "bravolin/moments.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <thread>

#include "bravolin/double_double.hpp"

namespace bravolin {
namespace {

// The smallest bin b with |v| < 2^(26 b) for the largest magnitude m.
int bin_of(double m) {
    if (m == 0.0) return EMPTY_BIN;
    int e = 0;
    std::frexp(m, &e);  // m < 2^e
    return e > 0 ? (e + DIGIT_BITS - 1) / DIGIT_BITS : -((-e) / DIGIT_BITS);
}

// The digits of trunc(|v| / grid) in base 2^26, most significant first, each
// with the sign of v; the grid is 2^(26 (bin - digits)). The value is an exact
// double-double (hi, lo), |hi + lo| < 2^(26 bin).
template <int Digits>
void digits_of(double hi, double lo, int bin, std::int32_t* out) {
    if (hi == 0.0 && lo == 0.0) {
        std::fill(out, out + Digits, 0);
        return;
    }
    const bool neg = hi < 0.0 || (hi == 0.0 && lo < 0.0);
    if (neg) {
        hi = -hi;
        lo = -lo;
    }
    // u = |v| / 2^(26 (bin - 1)), in [0, 2^26); scaled in two steps so that
    // an extreme bin cannot overflow the factor.
    const int shift = DIGIT_BITS * (1 - bin);
    hi = std::ldexp(std::ldexp(hi, shift / 2), shift - shift / 2);
    lo = std::ldexp(std::ldexp(lo, shift / 2), shift - shift / 2);
    for (int s = 0; s < Digits; ++s) {
        double f = std::floor(hi);
        if (f == hi && lo < 0.0) f -= 1.0;
        // hi - f is the exact fraction of hi (or 1); with lo it is the exact rest.
        const Sum rest = two_sum(hi - f, lo);
        const auto d = static_cast<std::int32_t>(f);
        out[s] = neg ? -d : d;
        hi = std::ldexp(rest.s, DIGIT_BITS);
        lo = std::ldexp(rest.e, DIGIT_BITS);
    }
}

struct Bounds {
    std::vector<double> left, right;
};

double at(const double* base, std::ptrdiff_t row, std::ptrdiff_t col, std::size_t r, std::size_t c) {
    return base[static_cast<std::ptrdiff_t>(r) * row + static_cast<std::ptrdiff_t>(c) * col];
}

// Column c of the augmented row r: 1, then x, then y.
double value(const Rows& d, std::size_t r, std::size_t c) {
    if (c == 0) return 1.0;
    if (c <= d.p) return at(d.x, d.x_row, d.x_col, r, c - 1);
    return at(d.y, d.y_row, d.y_col, r, c - 1 - d.p);
}

double weight(const Rows& d, std::size_t r) {
    return d.w == nullptr ? 1.0 : d.w[static_cast<std::ptrdiff_t>(r) * d.w_step];
}

// Largest magnitudes of w*a (left) and of a (right), over rows of nonzero
// weight only, so that a zero weight leaves no trace.
Bounds bounds_of(const Rows& d, std::size_t k) {
    Bounds b{std::vector<double>(k, 0.0), std::vector<double>(k, 0.0)};
    for (std::size_t r = 0; r < d.n; ++r) {
        const double w = weight(d, r);
        if (!std::isfinite(w) || w < 0.0) throw std::invalid_argument("weights must be finite and non-negative");
        if (w == 0.0) continue;
        for (std::size_t c = 0; c < k; ++c) {
            const double a = value(d, r, c);
            if (!std::isfinite(a)) throw std::invalid_argument("values must be finite");
            b.right[c] = std::max(b.right[c], std::fabs(a));
            b.left[c] = std::max(b.left[c], std::fabs(w * a));
        }
    }
    return b;
}

// Assumptions: ld is rows x k x LEFT_DIGITS, rd rows x RIGHT_DIGITS x k, both
// int32 digits below 2^26 in magnitude; acc is tile_i x LEFT x RIGHT x tile_j
// int64. Integer arithmetic: every vector width gives the same sums.
__attribute__((target_clones("avx2", "default"))) void digit_products(
    const std::int32_t* ld, const std::int32_t* rd, std::size_t rows, std::size_t k, std::size_t i0,
    std::size_t i1, std::size_t j0, std::size_t j1, std::int64_t* acc) {
    const std::size_t tj = j1 - j0;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t* lrow = ld + r * k * LEFT_DIGITS;
        const std::int32_t* rrow = rd + r * RIGHT_DIGITS * k;
        for (std::size_t i = i0; i < i1; ++i) {
            const std::size_t jstart = std::max(i, j0);
            if (jstart >= j1) continue;
            for (int s = 0; s < LEFT_DIGITS; ++s) {
                const std::int64_t l = lrow[i * LEFT_DIGITS + static_cast<std::size_t>(s)];
                if (l == 0) continue;
                for (int t = 0; t < RIGHT_DIGITS; ++t) {
                    std::int64_t* a =
                        acc + (((i - i0) * LEFT_DIGITS + static_cast<std::size_t>(s)) * RIGHT_DIGITS +
                               static_cast<std::size_t>(t)) * tj;
                    const std::int32_t* rv = rrow + static_cast<std::size_t>(t) * k;
                    for (std::size_t j = jstart; j < j1; ++j) a[j - j0] += l * rv[j];
                }
            }
        }
    }
}

// Tiles of the upper triangle small enough that a tile's 64-bit sums stay
// in the second-level cache while a block of rows streams past.
constexpr std::size_t TILE_I = 16;
constexpr std::size_t TILE_J = 256;

void accumulate_range(const Rows& d, std::size_t r0, std::size_t r1, Moments& m) {
    const std::size_t k = m.columns;
    std::vector<std::int32_t> ld(BLOCK_ROWS * k * LEFT_DIGITS);
    std::vector<std::int32_t> rd(BLOCK_ROWS * RIGHT_DIGITS * k);
    std::vector<std::int64_t> acc(TILE_I * PAIRS * TILE_J);
    std::int32_t right_digits[RIGHT_DIGITS];
    for (std::size_t b0 = r0; b0 < r1; b0 += BLOCK_ROWS) {
        const std::size_t rows = std::min(BLOCK_ROWS, r1 - b0);
        for (std::size_t r = 0; r < rows; ++r) {
            const double w = weight(d, b0 + r);
            for (std::size_t c = 0; c < k; ++c) {
                const double a = value(d, b0 + r, c);
                if (w == 0.0) {
                    std::fill_n(&ld[(r * k + c) * LEFT_DIGITS], LEFT_DIGITS, 0);
                    std::fill_n(right_digits, RIGHT_DIGITS, 0);
                } else {
                    const Product wa = two_product(w, a);
                    digits_of<LEFT_DIGITS>(wa.p, wa.e, m.left_bin[c], &ld[(r * k + c) * LEFT_DIGITS]);
                    digits_of<RIGHT_DIGITS>(a, 0.0, m.right_bin[c], right_digits);
                }
                for (int t = 0; t < RIGHT_DIGITS; ++t) rd[(r * RIGHT_DIGITS + static_cast<std::size_t>(t)) * k + c] = right_digits[t];
            }
        }
        for (std::size_t i0 = 0; i0 < k; i0 += TILE_I) {
            const std::size_t i1 = std::min(k, i0 + TILE_I);
            for (std::size_t j0 = i0; j0 < k; j0 += TILE_J) {
                const std::size_t j1 = std::min(k, j0 + TILE_J);
                const std::size_t tj = j1 - j0;
                std::fill(acc.begin(), acc.begin() + static_cast<std::ptrdiff_t>((i1 - i0) * PAIRS * tj), 0);
                digit_products(ld.data(), rd.data(), rows, k, i0, i1, j0, j1, acc.data());
                for (std::size_t i = i0; i < i1; ++i) {
                    for (std::size_t j = std::max(i, j0); j < j1; ++j) {
                        __int128* total = &m.sums[m.entry(i, j) * PAIRS];
                        for (std::size_t st = 0; st < PAIRS; ++st) {
                            total[st] += acc[((i - i0) * PAIRS + st) * tj + (j - j0)];
                        }
                    }
                }
            }
        }
    }
}

// Digit s of a column at bin b is digit s + (b' - b) at bin b' >= b.
void rebin(Moments& m, const std::vector<int>& left, const std::vector<int>& right) {
    const std::size_t k = m.columns;
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = i; j < k; ++j) {
            const int dl = m.left_bin[i] == EMPTY_BIN ? 0 : left[i] - m.left_bin[i];
            const int dr = m.right_bin[j] == EMPTY_BIN ? 0 : right[j] - m.right_bin[j];
            if (dl == 0 && dr == 0) continue;
            __int128* e = &m.sums[m.entry(i, j) * PAIRS];
            __int128 moved[PAIRS] = {};
            for (int s = 0; s < LEFT_DIGITS; ++s) {
                for (int t = 0; t < RIGHT_DIGITS; ++t) {
                    const int ns = s + dl, nt = t + dr;
                    if (ns < LEFT_DIGITS && nt < RIGHT_DIGITS) moved[ns * RIGHT_DIGITS + nt] = e[s * RIGHT_DIGITS + t];
                }
            }
            std::copy(moved, moved + PAIRS, e);
        }
    }
    m.left_bin = left;
    m.right_bin = right;
}

}  // namespace

Moments::Moments(std::size_t k)
    : columns(k), left_bin(k, EMPTY_BIN), right_bin(k, EMPTY_BIN), sums(k * (k + 1) / 2 * PAIRS, 0) {}

Moments accumulate(const Rows& d, unsigned threads) {
    const std::size_t k = 1 + d.p + d.q;
    Moments m(k);
    m.rows = static_cast<std::int64_t>(d.n);
    if (d.n == 0) return m;
    const Bounds b = bounds_of(d, k);
    for (std::size_t c = 0; c < k; ++c) {
        m.left_bin[c] = bin_of(b.left[c]);
        m.right_bin[c] = bin_of(b.right[c]);
    }
    // Rows split across threads in whole blocks; the parts are exact integer
    // sums under the same bins, so their total is the same in any split.
    const std::size_t blocks = (d.n + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
    if (parts == 1) {
        accumulate_range(d, 0, d.n, m);
        return m;
    }
    std::vector<Moments> partial(parts, m);
    std::vector<std::exception_ptr> errors(parts);
    std::vector<std::thread> workers;
    const std::size_t per = (blocks + parts - 1) / parts * BLOCK_ROWS;
    auto run = [&](std::size_t t) {
        try {
            accumulate_range(d, std::min(d.n, t * per), std::min(d.n, (t + 1) * per), partial[t]);
        } catch (...) {
            errors[t] = std::current_exception();
        }
    };
    try {
        for (std::size_t t = 1; t < parts; ++t) workers.emplace_back(run, t);
    } catch (...) {
        for (auto& w : workers) w.join();
        throw;
    }
    run(0);
    for (auto& w : workers) w.join();
    for (const auto& e : errors) {
        if (e) std::rethrow_exception(e);
    }
    for (std::size_t t = 1; t < parts; ++t) {
        for (std::size_t i = 0; i < partial[0].sums.size(); ++i) partial[0].sums[i] += partial[t].sums[i];
    }
    return std::move(partial[0]);
}

void merge_into(Moments& total, const Moments& part) {
    if (total.columns != part.columns) throw std::invalid_argument("moments of different column counts");
    std::vector<int> left(total.columns), right(total.columns);
    for (std::size_t c = 0; c < total.columns; ++c) {
        left[c] = std::max(total.left_bin[c], part.left_bin[c]);
        right[c] = std::max(total.right_bin[c], part.right_bin[c]);
    }
    Moments other = part;
    rebin(total, left, right);
    rebin(other, left, right);
    for (std::size_t i = 0; i < total.sums.size(); ++i) total.sums[i] += other.sums[i];
    total.rows += part.rows;
}

}  // namespace bravolin
