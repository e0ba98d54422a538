#include "model.hpp"

#include <climits>
#include <cstddef>
#include <utility>
#include <vector>

#include "lapack.hpp"
#include "strassen/par_mult.hpp"

namespace bravolin {

namespace {

// D = [1 | X] row by row when the model has an intercept, so that the
// intercept is parameter 0 of B; otherwise X itself.
strassen::Matrix design_matrix(strassen::Matrix x, bool fit_intercept) {
    if (!fit_intercept) return x;
    const std::size_t k = x.cols + 1;
    strassen::Buffer d;
    d.reserve(x.rows * k);
    const double* row = x.data.data();
    for (std::size_t i = 0; i < x.rows; ++i, row += x.cols) {
        d.push_back(1.0);
        d.insert(d.end(), row, row + x.cols);
    }
    return strassen::Matrix(std::move(d), x.rows, k);
}

}  // namespace

std::optional<std::string> fit(ModelState& state, strassen::Matrix x, strassen::Matrix y) {
    const strassen::Matrix d = design_matrix(std::move(x), state.fit_intercept);
    const strassen::Matrix dt = d.transpose();
    const strassen::Matrix g = strassen::par_mult(dt, d);

    // Singularity is reported before Y is looked at, so a y of the wrong
    // length on collinear data gives the inversion failure, not a fault.
    const std::optional<strassen::Matrix> g_inv = inverse(g);
    if (!g_inv) return std::string(INVERSION_FAILED);

    const strassen::Matrix r = strassen::par_mult(dt, y);
    // G⁻¹·(DᵀY): the k x n product G⁻¹Dᵀ is never formed.
    strassen::Matrix b = strassen::par_mult(*g_inv, r);

    // Nothing above touched the state, so every failure so far leaves the
    // previous fit in place. The one allocation left comes before the first
    // field is written; the writes themselves cannot fail.
    if (state.fit_intercept) {
        strassen::Buffer coefficients(b.data.begin() + 1, b.data.end());
        state.coefficients = std::move(coefficients);
        state.intercept = b.data[0];
    } else {
        state.coefficients = std::move(b.data);
    }
    return std::nullopt;
}

std::variant<strassen::Buffer, std::string> predict(const ModelState& state, strassen::Matrix x) {
    if (!state.coefficients) return std::string(NOT_FITTED);
    // Added even without an intercept, as 0.0, so that both kinds of model take
    // one path: x + 0.0 is x for every x but -0.0, which the product never gives.
    const double b = state.intercept.value_or(0.0);

    const std::size_t k = state.coefficients->size();
    const strassen::Matrix w(strassen::Buffer(*state.coefficients), k, 1);
    const strassen::Matrix p = strassen::par_mult(x, w);

    strassen::Buffer result;
    result.reserve(p.size);
    for (std::size_t i = 0; i < p.size; ++i) result.push_back(p.data[i] + b);
    return result;
}

std::optional<strassen::Matrix> inverse(const strassen::Matrix& g) {
    if (g.rows != g.cols) return std::nullopt;
    // LAPACK counts in 32-bit ints. A side it cannot be told is a matrix it
    // cannot invert, reported like any argument LAPACK would reject.
    if (g.rows > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const std::size_t k = g.rows;
    const int n = static_cast<int>(k);

    // Handed over row-major: LAPACK reads it as column-major, that is as Gᵀ,
    // and returns (Gᵀ)⁻¹ = (G⁻¹)ᵀ column-major, which read row-major is G⁻¹.
    // So no transposition is needed on either side, symmetric G or not.
    strassen::Buffer a = g.data;
    std::vector<int> ipiv(k, 0);
    if (lapack::dgetrf(n, n, a.data(), n, ipiv.data()) != 0) return std::nullopt;

    // The smallest workspace dgetri accepts, with no size query: it then takes
    // its unblocked path, whatever LAPACK's preferred block size.
    std::vector<double> work(k, 0.0);
    if (lapack::dgetri(n, a.data(), n, ipiv.data(), work.data(), n) != 0) return std::nullopt;

    return strassen::Matrix(std::move(a), k, k);
}

}  // namespace bravolin
