// Strassen products over blocks that are mostly implicit zeros.
//
// The products pad both operands to a square whose side is the largest
// dimension; for tall or wide data almost all of that square is +0.0. Here an
// operand is a logical square of which only a top-left rectangle (its region)
// is stored; everything outside is exactly +0.0. When every input element is
// finite and no Strassen sum can overflow, the effect of those zeros on every
// sum, product and combination is known exactly, so these functions return
// the bits of the dense recursion while reading only the regions:
//
// - A quadrant's region is its overlap with the parent's region; a sum or
//   difference has the bounding rectangle of its terms, and with one term
//   empty it is the other term itself (negated for an empty left side of a
//   difference). Signs of zeros inside an operand never reach a result: every
//   leaf sum starts at +0.0, and adding +-0 to a sum that is never -0.0
//   leaves it unchanged.
// - A product with an empty operand is all +0.0 and is not computed; at a
//   leaf an element outside the left region's rows or the right region's
//   columns is +0.0, and the sum over k stops at the shorter of the two
//   regions (the terms left out are +-0 and trail the sum).
// - Only what is read is computed: each product covers just the part of C
//   that its consumers need, within the final a.rows x b.cols.
// - No product or combination result is ever -0.0 (leaf sums start at +0.0;
//   x - y and x + y give -0.0 only from a -0.0 left term), so a missing
//   (implicit +0.0) term can be dropped from a combination without changing
//   a bit, even when products overflow to Inf or NaN.
// - A negated operand is carried as a flag: with exactly one negated factor
//   the product is computed from the plain ones and then replaced by
//   0.0 - x, which is the negated product with a zero result kept at +0.0.
#pragma once

#include <cstddef>

#include "strassen/matrix.hpp"
#include "strassen/parallel.hpp"

namespace strassen::detail {

class Source;

// The stored top-left rows x cols of a logical square, at data with row
// stride ld. data is null when the region is empty, or when its elements
// still lie unread in a source: then its rows (its columns, for a transposed
// source) are the source's rows from `first` on.
struct Region {
    const double* data = nullptr;
    std::size_t ld = 0;
    std::size_t rows = 0;
    std::size_t cols = 0;
    const Source* source = nullptr;
    std::size_t first = 0;

    bool empty() const noexcept { return rows == 0 || cols == 0; }
};

// An operand whose rows lie in a caller's memory, in whatever layout: the
// recursion splits its rows without reading them, and reads a block only
// where a node needs its elements (a leaf, or a level that would sum or split
// them otherwise). So a tall product walks its operand once, block by block,
// with nothing copied that a node can read in place.
class Source {
public:
    // `transposed`: the operand is the transpose of the rows read, so that the
    // recursion splits its columns unread. `split`: nonzero when the operand is
    // two side by side, columns [0, split) and [split, cols), each a factor of
    // its own product with its own square (part(0), part(1)); while both fit
    // in a half their levels are the same, and they share every read.
    explicit Source(bool is_transposed = false, std::size_t split_at = 0) noexcept
        : transposed(is_transposed), split(split_at) {}

    const bool transposed;
    const std::size_t split;

    virtual const Source* part(std::size_t) const { return nullptr; }

    // The region r of this source (r.source is this) as a stored region: in
    // place when its rows can be read so, else packed into `scratch`. Throws
    // OutsideBound when a value read lies outside the region path's bound.
    virtual Region read(const Region& r, Buffer& scratch) const = 0;

    // a and b (a.source is this) read at once into `scratch`, when they are
    // two views of the same rows; false otherwise.
    virtual bool read_pair(const Region&, const Region&, Region&, Region&, Buffer&) const {
        return false;
    }

    // A leaf of a times b (a.source is this), with the reading, the check and
    // the sums in one pass, into out (row stride ldo). False when the source
    // has no such pass for these factors: the caller then reads and multiplies.
    virtual bool multiply(const Region&, const Region&, std::size_t, std::size_t, double*,
                          std::size_t, Buffer&) const {
        return false;
    }

protected:
    ~Source() = default;
};

// A source's value outside the bound: the region path cannot give the dense
// path's bits, and the caller falls back to it.
struct OutsideBound {};

inline Region whole(const Matrix& m) noexcept { return {m.data.data(), m.cols, m.rows, m.cols}; }

// Row i of x + y (x - y unless `add`) over their bounding rectangle, `cols`
// elements into out, each the IEEE operation the formed operand holds (+0.0
// for a term with no element there). x and y are stored, not both empty.
void form_row(const Region& x, const Region& y, bool add, std::size_t i, std::size_t cols,
              double* out);

// region_product with its top level run on `parallel`. A level that splits
// only rows: its two products as parts of one round, each with a workspace of
// its own. Another level over stored operands: each present product a part,
// from operands all formed first. Over a source, such a level runs on the
// calling thread, one pair of operands at a time: all fourteen at once would
// multiply the memory of a product over a caller's large operand. A part's
// failure (OutsideBound included) is rethrown once every part has ended.
void region_product(const Region& a, const Region& b, std::size_t side, std::size_t rows,
                    std::size_t cols, double* out, std::size_t ldo, Parallel& parallel);

// The top-left rows x cols of A * B (negated if `negate`) into out, row stride
// ldo, where A and B are logical squares of the given side (made even here).
// A and B must not be empty; 1 <= rows, cols <= side.
void region_product(const Region& a, const Region& b, bool negate, std::size_t side,
                    std::size_t rows, std::size_t cols, double* out, std::size_t ldo);

// Whether the region path gives the dense path's bits for these operands:
// every element finite, and within geometry::region_bound of the common
// side, so that no Strassen sum or difference on the way to the leaves can
// overflow.
bool region_path_applies(const Matrix& a, const Matrix& b);

// Throws OutOfMemory when the dense recursion would need more memory than the
// machine has: first naming the size of its padded and fourteen top-level
// operands when those alone are too many, then naming `cause` (what holds the
// value that forces the dense path; "an operand" when null) and an upper bound
// of the parallel recursion's peak, which is what the exact result needs.
void check_dense_fits(const Matrix& a, const Matrix& b, const char* cause = nullptr);

}  // namespace strassen::detail
