// Exact moments of a weighted, augmented design, in any order of the rows.
//
// For the columns a = [1 | X | Y] of every row and its weight w, the moments
// are M_ij = sum_r Q_L(w_r a_ri) Q_R(a_rj) for i <= j, where Q_L and Q_R
// truncate a value toward zero on a grid fixed by its column's bin: a bound
// 2^(26 bin) on the column's magnitudes, the bins being multiples of 26 bits
// on one global scale. The right operand keeps 4 digits of 26 bits below its
// bin (104 bits), the left 5 (130 bits): a double within 2^-26 of its
// column's largest magnitude is exact on the right grid, and a product w*a
// whose 53 + log2(w) significant bits start within 2^-50 of the largest is
// exact on the left one; smaller values are truncated far below what the
// solve can resolve. Digit products are summed in 64-bit integers over
// blocks of rows and in 128-bit integers beyond, so every sum is exact and
// the moments depend only on the multiset of rows and the bins:
// - any order, any split into batches or threads gives the same integers;
// - a batch accumulated under smaller bins is brought to larger ones exactly
//   (dropping low digits is truncation on the coarser grid), so merging
//   batches gives exactly the one-shot moments;
// - an integer weight w gives the moments of the row repeated w times, and a
//   zero weight those of the row removed (bounds skip rows of weight zero),
//   whenever the values are exact on the grid (the cases above).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bravolin {

constexpr int DIGIT_BITS = 26;     // digit products below 2^52, 2^11 of them below 2^63
constexpr int LEFT_DIGITS = 5;     // covers w*a, up to 106 significant bits
constexpr int RIGHT_DIGITS = 4;    // covers a double's 53 bits with room to spare
constexpr int PAIRS = LEFT_DIGITS * RIGHT_DIGITS;
// Rows summed in 64-bit integers before the sums move to 128 bits:
// 2^11 products below 2^52 stay below 2^63.
constexpr std::size_t BLOCK_ROWS = 2048;
// The bin of a column with no nonzero value: below every real bin.
constexpr int EMPTY_BIN = -1000000;

// A strided, read-only view of the caller's rows: element (r, c) of x is
// x[r * x_row + c * x_col] (strides in elements).
struct Rows {
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t q = 0;
    const double* x = nullptr;
    std::ptrdiff_t x_row = 0, x_col = 0;
    const double* y = nullptr;
    std::ptrdiff_t y_row = 0, y_col = 0;
    const double* w = nullptr;  // null: every weight 1
    std::ptrdiff_t w_step = 0;
};

struct Moments {
    std::size_t columns = 0;         // 1 + p + q
    std::vector<int> left_bin;       // per column
    std::vector<int> right_bin;      // per column
    std::vector<__int128> sums;      // entry (i <= j), left digit s, right digit t
    std::int64_t rows = 0;           // rows seen, weight zero included

    explicit Moments(std::size_t k = 0);
    std::size_t entries() const noexcept { return columns * (columns + 1) / 2; }
    // Index of entry (i, j), i <= j, in row-major order of the upper triangle.
    std::size_t entry(std::size_t i, std::size_t j) const noexcept {
        return i * columns - i * (i - 1) / 2 + (j - i);
    }
};

// The moments of the rows. Values must be finite (std::invalid_argument
// otherwise) and weights non-negative. `threads` only changes the speed.
Moments accumulate(const Rows& rows, unsigned threads);

// total += part, both brought to the larger bin of each column first.
// Throws std::invalid_argument when the column counts differ.
void merge_into(Moments& total, const Moments& part);

}  // namespace bravolin
