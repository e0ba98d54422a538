#include "strassen/mult.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "cancel.hpp"
#include "level.hpp"
#include "strassen/fault.hpp"
#include "strassen/geometry.hpp"
#include "strassen/kernel.hpp"
#include "strassen/region.hpp"

namespace strassen {

namespace {

void check_conformable(const Matrix& a, const Matrix& b) {
    if (a.cols != b.rows) fault("Matrix sizes do not match");
}

using detail::level::Op;
namespace level = detail::level;
namespace geometry = detail::geometry;

// One h x h operand, element by element straight from the parent's rows; the
// left term of a sum or difference is always the left IEEE operand.
Buffer quadrant_operand(const Matrix& m, std::size_t h, const level::OperandSpec& spec) {
    Buffer out;
    out.resize(h * h);
    double* o = out.data();
    const std::size_t ld = m.cols;
    const double* x = m.data.data() + level::offset(spec.q1, h, ld);
    const double* y = m.data.data() + level::offset(spec.q2, h, ld);
    if (spec.op != Op::copy)
        detail::sum_elements(o, h, x, ld, y, ld, h, h, spec.op == Op::sub);
    else
        for (std::size_t r = 0; r < h; ++r, x += ld) o = std::copy(x, x + h, o);
    return out;
}

// The dense recursion's entry for every sub-product: no conformance or
// memory check.
Matrix mult_unchecked(const Matrix& a, const Matrix& b) {
    if (geometry::is_square(a.rows, a.cols, b.cols)) return strassen_square(a, b);
    const std::size_t d = geometry::common_side(a.rows, a.cols, b.cols);
    const Matrix ap = a.pad(d);
    const Matrix bp = b.pad(d);
    const Matrix cp = strassen_square(ap, bp);
    return cp.reduce(a.rows, b.cols);
}

}  // namespace

namespace detail {

void strassen_operands(const Matrix& a, const Matrix& b, Buffer (&out)[14]) {
    const std::size_t h = a.rows / 2;
    // A large level takes a while to build: a user's interrupt (on the
    // calling thread) or a cancelled call (in a job) is answered between
    // operands.
    for (std::size_t k = 0; k < 7; ++k) {
        check_stop();
        out[k] = quadrant_operand(a, h, level::LEFT[k]);
    }
    for (std::size_t k = 0; k < 7; ++k) {
        check_stop();
        out[7 + k] = quadrant_operand(b, h, level::RIGHT[k]);
    }
    check_interrupt();
}

Matrix combine_products(std::array<Matrix, 7>& m, std::size_t h, std::size_t n) {
    // Each chain into its first product, in quadrant order: a product is
    // overwritten only after every chain that reads it (level.hpp).
    for (const level::Chain& chain : level::CHAINS) {
        Matrix& target = m[chain.terms[0].product];
        for (std::size_t t = 1; t < chain.length; ++t) {
            if (chain.terms[t].sign > 0)
                target.add(m[chain.terms[t].product]);
            else
                target.sub(m[chain.terms[t].product]);
        }
    }
    return join_quadrants(m[level::result_of(level::X11)], m[level::result_of(level::X12)],
                          m[level::result_of(level::X21)], m[level::result_of(level::X22)], h, n);
}

}  // namespace detail

Matrix naive_mult(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    // The kernel reads b's rows directly; transposing b first would only
    // change the memory access, not a single sum or its order.
    Buffer out;
    out.resize(a.rows * b.cols);
    kernel_mult(a.data.data(), a.cols, b.data.data(), b.cols, out.data(), b.cols, a.rows, b.cols,
                a.cols);
    return Matrix(std::move(out), a.rows, b.cols);
}

Matrix mult(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    if (!detail::region_path_applies(a, b)) return mult_dense(a, b);
    Buffer out;
    out.resize(a.rows * b.cols);
    detail::region_product(detail::whole(a), detail::whole(b), false,
                           geometry::common_side(a.rows, a.cols, b.cols), a.rows, b.cols,
                           out.data(), b.cols);
    return Matrix(std::move(out), a.rows, b.cols);
}

Matrix mult_dense(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    detail::check_dense_fits(a, b);
    return mult_unchecked(a, b);
}

Matrix strassen_square(const Matrix& a, const Matrix& b) {
    const std::size_t n = a.rows;
    if (geometry::is_leaf(n)) return naive_mult(a, b);
    // A job of a cancelled call stops here, between blocks of its work.
    detail::throw_if_cancelled();
    const std::size_t h = n / 2;

    Buffer operands[14];
    detail::strassen_operands(a, b, operands);

    // Each operand pair is released as soon as its product exists.
    auto product = [&](int k) {
        Matrix left(std::move(operands[k]), h, h);
        Matrix right(std::move(operands[7 + k]), h, h);
        return mult_unchecked(left, right);
    };
    // A braced list is evaluated in order: M1 to M7.
    std::array<Matrix, 7> m{product(0), product(1), product(2), product(3),
                            product(4), product(5), product(6)};
    return detail::combine_products(m, h, n);
}

Matrix join_quadrants(const Matrix& c11, const Matrix& c12, const Matrix& c21, const Matrix& c22,
                      std::size_t half, std::size_t n) {
    Buffer out;
    out.resize(n * n);
    double* o = out.data();
    for (const auto& [left, right] : {std::pair{&c11, &c12}, std::pair{&c21, &c22}}) {
        const double* l = left->data.data();
        const double* r = right->data.data();
        for (std::size_t row = 0; row < half; ++row, l += half, r += half) {
            o = std::copy(l, l + half, o);
            o = std::copy(r, r + half, o);
        }
    }
    return Matrix(std::move(out), n, n);
}

}  // namespace strassen
