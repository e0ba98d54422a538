#include "bravolin/moments.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "bravolin/double_double.hpp"
#include "pair_kernel.hpp"
#include "strassen/parallel.hpp"

namespace bravolin {
namespace {

// The smallest bin b with |v| < 2^(26 b) for the largest magnitude m.
int bin_of(double m) {
    if (m == 0.0) return EMPTY_BIN;
    int e = 0;
    std::frexp(m, &e);  // m < 2^e
    return e > 0 ? (e + DIGIT_BITS - 1) / DIGIT_BITS : -((-e) / DIGIT_BITS);
}

struct Bounds {
    std::vector<double> left, right;
};

double weight(const Rows& d, std::size_t r) {
    return d.w == nullptr ? 1.0 : d.w[static_cast<std::ptrdiff_t>(r) * d.w_step];
}

// Largest magnitudes of w*a (left) and of a (right), over rows of nonzero
// weight only, so that a zero weight leaves no trace. Maxima do not depend on
// the order they are taken in, so the rows are split across threads freely.
void bounds_range(const Rows& d, std::size_t r0, std::size_t r1, Bounds& b) {
    const std::size_t k = b.left.size();
    for (std::size_t r = r0; r < r1; ++r) {
        const double w = weight(d, r);
        if (!std::isfinite(w) || w < 0.0) throw std::invalid_argument("weights must be finite and non-negative");
        if (w == 0.0) continue;
        b.left[0] = std::max(b.left[0], w);
        b.right[0] = 1.0;
        const double* xr = d.x + static_cast<std::ptrdiff_t>(r) * d.x_row;
        const double* yr = d.y + static_cast<std::ptrdiff_t>(r) * d.y_row;
        for (std::size_t c = 1; c < k; ++c) {
            const double a = c <= d.p ? xr[static_cast<std::ptrdiff_t>(c - 1) * d.x_col]
                                      : yr[static_cast<std::ptrdiff_t>(c - 1 - d.p) * d.y_col];
            const double m = std::fabs(a), wm = std::fabs(w * a);
            // A NaN is kept (it fails every comparison) and refused after the loop.
            b.right[c] = m > b.right[c] || m != m ? m : b.right[c];
            b.left[c] = wm > b.left[c] || wm != wm ? wm : b.left[c];
        }
    }
}

Bounds bounds_of(const Rows& d, std::size_t k) {
    Bounds b{std::vector<double>(k, 0.0), std::vector<double>(k, 0.0)};
    bounds_range(d, 0, d.n, b);
    for (std::size_t c = 0; c < k; ++c) {
        if (!std::isfinite(b.right[c]) || !std::isfinite(b.left[c])) {
            throw std::invalid_argument("values must be finite");
        }
    }
    return b;
}

// 2^(26 (1 - bin)) as two factors, each a double even at extreme bins, so
// that |v| times both is |v| / 2^(26 (bin - 1)), exactly for every v whose
// digits matter.
detail::Scale scale_of(int bin) {
    if (bin == EMPTY_BIN) return {};
    const int e = DIGIT_BITS * (1 - bin);
    return {std::ldexp(1.0, e / 2), std::ldexp(1.0, e - e / 2)};
}


// 1 + the last of `runs` digit runs of `rows` digits holding a nonzero digit.
int used_runs(const std::int32_t* digits, int runs, std::size_t rows) {
    for (int s = runs; s > 0; --s) {
        std::int32_t any = 0;
        const std::int32_t* run = digits + static_cast<std::size_t>(s - 1) * rows;
        for (std::size_t r = 0; r < rows; ++r) any |= run[r];
        if (any != 0) return s;
    }
    return 0;
}

// The digit runs the kernel takes for a column whose first `used` runs are
// not all zero: three when few rows have a deeper digit (their row numbers
// go to `tail`), else all of them (and `tail` is left empty).
constexpr int DENSE_DIGITS = 3;
int split_tail(const std::int32_t* digits, int runs, int used, std::size_t rows, std::vector<std::size_t>& tail) {
    tail.clear();
    if (used <= DENSE_DIGITS) return used;
    for (std::size_t r = 0; r < rows; ++r) {
        bool deep = false;
        for (int s = DENSE_DIGITS; s < used; ++s) deep |= digits[static_cast<std::size_t>(s) * rows + r] != 0;
        if (deep) tail.push_back(r);
        // Beyond this share the kernel is cheaper than row-by-row updates.
        if (tail.size() * 16 > rows) {
            tail.clear();
            return used;
        }
    }
    (void)runs;
    return DENSE_DIGITS;
}

// Rows per block: BLOCK_ROWS, fewer for wide data so that a block's digits
// (36 bytes per value) stay within 64 MiB per thread.
std::size_t block_rows(std::size_t k) {
    constexpr std::size_t DIGIT_BYTES_BUDGET = 64u << 20;
    const std::size_t fit = DIGIT_BYTES_BUDGET / (k * (LEFT_DIGITS + RIGHT_DIGITS) * sizeof(std::int32_t));
    return std::clamp<std::size_t>(fit / 64 * 64, 64, BLOCK_ROWS);
}

// Columns of the upper triangle's rows handled together, so that each column
// of right digits is read from memory once per tile of 32 left columns.
constexpr std::size_t TILE_I = 32;

// A digit product against one of the dense kernel's multiply-adds
// (strassen/parallel.hpp), for the parts a block's products pay for.
constexpr strassen::detail::Weight PAIR_WEIGHT{1, 1};

// The moments of rows r0 to r1 added into m, the digit products of each block
// shared out by tiles among up to `threads` threads. Each tile's entries are
// one thread's, whole: the integers are those of one thread.
void accumulate_range(const Rows& d, std::size_t r0, std::size_t r1, Moments& m, unsigned threads) {
    const std::size_t k = m.columns;
    const std::size_t block = block_rows(k);
    std::vector<std::int32_t> ld(k * LEFT_DIGITS * block), rd(k * RIGHT_DIGITS * block);
    std::vector<double> column(block), product(block), error(block), weights(block);
    std::vector<detail::Scale> left_scale(k), right_scale(k);
    for (std::size_t c = 0; c < k; ++c) {
        left_scale[c] = scale_of(m.left_bin[c]);
        right_scale[c] = scale_of(m.right_bin[c]);
    }
    // Per column, the digit runs up to the last that is not all zero: values
    // near their column's bound leave the low digits empty.
    std::vector<int> left_used(k), right_used(k), left_dense(k), right_dense(k);
    std::vector<std::vector<std::size_t>> left_tail(k), right_tail(k);
    // Each column's right digit runs: its own, or its left ones when the two
    // are the same digits.
    std::vector<const std::int32_t*> right_of(k);
    const detail::Kernels& kernels = detail::kernels();
    for (std::size_t b0 = r0; b0 < r1; b0 += block) {
        const std::size_t rows = std::min(block, r1 - b0);
        for (std::size_t r = 0; r < rows; ++r) weights[r] = weight(d, b0 + r);
        for (std::size_t c = 0; c < k; ++c) {
            if (c == 0) {
                std::fill_n(column.begin(), rows, 1.0);
            } else {
                const bool in_x = c <= d.p;
                const double* base = in_x ? d.x + static_cast<std::ptrdiff_t>(c - 1) * d.x_col
                                          : d.y + static_cast<std::ptrdiff_t>(c - 1 - d.p) * d.y_col;
                const std::ptrdiff_t step = in_x ? d.x_row : d.y_row;
                const double* src = base + static_cast<std::ptrdiff_t>(b0) * step;
                for (std::size_t r = 0; r < rows; ++r) column[r] = src[static_cast<std::ptrdiff_t>(r) * step];
            }
            if (d.w != nullptr) {
                // A row of weight zero is no row at all: its values, which the
                // bins do not cover, are never cut into digits.
                for (std::size_t r = 0; r < rows; ++r) column[r] = weights[r] == 0.0 ? 0.0 : column[r];
            }
            std::int32_t* left = &ld[c * LEFT_DIGITS * rows];
            std::int32_t* right = &rd[c * RIGHT_DIGITS * rows];
            if (d.w == nullptr && m.left_bin[c] == m.right_bin[c]) {
                // Unweighted, the left value is the right one on the same grid:
                // its first digits are the right operand's.
                kernels.plain_left(column.data(), rows, left_scale[c], left);
                right_of[c] = left;
            } else {
                right_of[c] = right;
                kernels.plain_right(column.data(), rows, right_scale[c], right);
            }
            if (d.w == nullptr) {
                if (m.left_bin[c] != m.right_bin[c]) kernels.plain_left(column.data(), rows, left_scale[c], left);
            } else {
                kernels.products(weights.data(), column.data(), rows, product.data(), error.data());
                kernels.pair_left(product.data(), error.data(), rows, left_scale[c], left);
            }
            left_used[c] = used_runs(left, LEFT_DIGITS, rows);
            right_used[c] = used_runs(right_of[c], RIGHT_DIGITS, rows);
        }
        // A 53-bit value spans at most three digits, the first three unless it
        // is far below its column's largest: the few rows with a deeper digit
        // are added one by one, and the kernel runs on three digits a side.
        for (std::size_t c = 0; c < k; ++c) {
            left_dense[c] = split_tail(&ld[c * LEFT_DIGITS * rows], LEFT_DIGITS, left_used[c], rows, left_tail[c]);
            right_dense[c] = split_tail(right_of[c], RIGHT_DIGITS, right_used[c], rows, right_tail[c]);
        }
        // Tiles are taken in turn, the widest (first) ones first.
        const std::size_t tiles = (k + TILE_I - 1) / TILE_I;
        std::atomic<std::size_t> next_tile{0};
        const auto tile_products = [&](std::size_t) {
            std::int64_t pairs[PAIRS];
            for (std::size_t tile; (tile = next_tile.fetch_add(1)) < tiles;) {
                const std::size_t i0 = tile * TILE_I, i1 = std::min(k, i0 + TILE_I);
                for (std::size_t j = i0; j < k; ++j) {
                    const std::int32_t* right = right_of[j];
                    const int nr = right_dense[j];
                    if (nr == 0) continue;
                    for (std::size_t i = i0; i < std::min(i1, j + 1); ++i) {
                        const int nl = left_dense[i];
                        if (nl == 0) continue;
                        kernels.pairs(&ld[i * LEFT_DIGITS * rows], right, rows, nl, nr, pairs);
                        __int128* total = &m.sums[m.entry(i, j) * PAIRS];
                        for (int s = 0; s < nl; ++s) {
                            for (int t = 0; t < nr; ++t) total[s * RIGHT_DIGITS + t] += pairs[s * RIGHT_DIGITS + t];
                        }
                    }
                }
            }
        };
        const std::size_t products = rows * k * (k + 1) / 2 * static_cast<std::size_t>(DENSE_DIGITS * DENSE_DIGITS);
        strassen::detail::run_parts(std::min(strassen::detail::parts_for(products, PAIR_WEIGHT, threads), tiles),
                                    tile_products);
        // Left digits beyond the dense ones, against every right digit.
        for (std::size_t i = 0; i < k; ++i) {
            for (const std::size_t r : left_tail[i]) {
                for (int s = left_dense[i]; s < left_used[i]; ++s) {
                    const std::int64_t l = ld[(i * LEFT_DIGITS + static_cast<std::size_t>(s)) * rows + r];
                    if (l == 0) continue;
                    for (std::size_t j = i; j < k; ++j) {
                        __int128* total = &m.sums[m.entry(i, j) * PAIRS];
                        for (int t = 0; t < right_used[j]; ++t) {
                            total[s * RIGHT_DIGITS + t] += l * right_of[j][static_cast<std::size_t>(t) * rows + r];
                        }
                    }
                }
            }
        }
        // Right digits beyond the dense ones, against the dense left digits
        // (the left tail has the rest).
        for (std::size_t j = 0; j < k; ++j) {
            for (const std::size_t r : right_tail[j]) {
                for (int t = right_dense[j]; t < right_used[j]; ++t) {
                    const std::int64_t e = right_of[j][static_cast<std::size_t>(t) * rows + r];
                    if (e == 0) continue;
                    for (std::size_t i = 0; i <= j; ++i) {
                        __int128* total = &m.sums[m.entry(i, j) * PAIRS];
                        for (int s = 0; s < left_dense[i]; ++s) {
                            total[s * RIGHT_DIGITS + t] += ld[(i * LEFT_DIGITS + static_cast<std::size_t>(s)) * rows + r] * e;
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
    // A thread per block of rows at most, the rows shared out evenly: the
    // parts are exact integer sums under the same bins, so their total is the
    // same in any split. Fewer blocks than threads: the threads share each
    // block's products instead.
    const std::size_t blocks = (d.n + BLOCK_ROWS - 1) / BLOCK_ROWS;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
    if (parts == 1) {
        accumulate_range(d, 0, d.n, m, threads);
        return m;
    }
    // The first part adds into m itself, the others into copies of it.
    std::vector<Moments> partial(parts - 1, m);
    const std::size_t per = ((d.n + parts - 1) / parts + 63) / 64 * 64;
    strassen::detail::run_parts(parts, [&](std::size_t t) {
        accumulate_range(d, std::min(d.n, t * per), std::min(d.n, (t + 1) * per), t == 0 ? m : partial[t - 1], 1);
    });
    for (const Moments& part : partial) {
        for (std::size_t i = 0; i < m.sums.size(); ++i) m.sums[i] += part.sums[i];
    }
    return m;
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
