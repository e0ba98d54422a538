#include "model.hpp"

#include <climits>
#include <cstddef>
#include <utility>
#include <vector>

#include "lapack.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/view_mult.hpp"

namespace bravolin {

std::optional<Failure> fit(ModelState& state, const strassen::MatrixView& x,
                               const strassen::MatrixView& y) {
    // D = [1 | X] when the model has an intercept, so that the intercept is
    // parameter 0 of B; otherwise X itself. Neither D nor Dᵀ is ever formed:
    // the products read x where it lies, and DᵀY comes from the same pass as
    // DᵀD when y has x's rows.
    strassen::GramProducts products = strassen::gram_products(x, state.fit_intercept, y);

    // Singularity is reported before Y is looked at, so a y of the wrong
    // length on collinear data gives the inversion failure, not a fault.
    const std::optional<strassen::Matrix> g_inv = inverse(products.g);
    if (!g_inv) return Failure::inversion_failed;

    const strassen::Matrix r = products.r ? std::move(*products.r)
                                          : strassen::cross_product(x, state.fit_intercept, y);
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

std::variant<strassen::Buffer, Failure> predict(const ModelState& state,
                                                    const strassen::MatrixView& x) {
    if (!state.coefficients) return Failure::not_fitted;
    // Added even without an intercept, as 0.0, so that both kinds of model take
    // one path: x + 0.0 is x for every x but -0.0, which the product never gives.
    const double b = state.intercept.value_or(0.0);

    const std::size_t k = state.coefficients->size();
    const strassen::Matrix w(strassen::Buffer(*state.coefficients), k, 1);
    // The product's buffer becomes the result, so a prediction needs no
    // memory beyond its output.
    return std::move(strassen::view_mult_plus(x, w, b).data);
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
