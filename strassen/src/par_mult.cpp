#include "strassen/par_mult.hpp"

#include <utility>

#include "strassen/fault.hpp"
#include "strassen/mult.hpp"

namespace strassen {

namespace detail {

Matrix take_product(std::shared_ptr<ProductSlot>& slot) {
    // No lock is taken: the job that shared the slot has let go of it, and
    // join() ordered its store before this read.
    if (slot.use_count() != 1) fault("called `Option::unwrap()` on a `None` value");
    if (slot->lock.broken_unlocked()) fault("called `Result::unwrap()` on an `Err` value");
    if (!slot->product) fault("called `Option::unwrap()` on a `None` value");
    Matrix product = std::move(*slot->product);
    slot->product.reset();
    return product;
}

}  // namespace detail

void product_job(ProductJob job) {
    std::optional<Matrix> product;
    {
        const Matrix left(std::move(job.left), job.h, job.h);
        const Matrix right(std::move(job.right), job.h, job.h);
        product.emplace(mult(left, right));
    }  // operands released before the store
    PoisonMutex::Guard guard = job.slot->lock.lock();
    if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    job.slot->product = std::move(product);
}

Matrix par_strassen_square(const Matrix& a, const Matrix& b, ThreadPool& pool) {
    const std::size_t n = a.rows;
    if (n <= NAIVE_THRESHOLD) return naive_mult(a, b);
    const std::size_t h = n / 2;

    // All fourteen exist before the first job is submitted.
    Buffer operands[14];
    detail::strassen_operands(a, b, operands);

    std::shared_ptr<ProductSlot> slots[7];
    for (int k = 0; k < 7; ++k) {
        slots[k] = std::make_shared<ProductSlot>();
        ProductJob job{std::move(operands[k]), std::move(operands[7 + k]), h, slots[k]};
        pool.execute([job = std::move(job)]() mutable { product_job(std::move(job)); });
    }
    pool.join();

    Matrix m1 = detail::take_product(slots[0]);
    Matrix m2 = detail::take_product(slots[1]);
    Matrix m3 = detail::take_product(slots[2]);
    Matrix m4 = detail::take_product(slots[3]);
    Matrix m5 = detail::take_product(slots[4]);
    Matrix m6 = detail::take_product(slots[5]);
    Matrix m7 = detail::take_product(slots[6]);

    detail::combine_products(m1, m2, m3, m4, m5, m6, m7);
    return join_quadrants(m7, m5, m4, m1, h, n);
}

Matrix par_mult(const Matrix& a, const Matrix& b) {
    if (a.cols != b.rows) fault("Matrix sizes do not match");
    ThreadPool pool(PAR_MULT_WORKERS);
    const std::size_t d = detail::common_side(a, b);
    if (a.rows == d && a.cols == d && b.cols == d) return par_strassen_square(a, b, pool);
    const Matrix ap = a.pad(d);
    const Matrix bp = b.pad(d);
    const Matrix p = par_strassen_square(ap, bp, pool);
    return p.reduce(a.rows, b.cols);
}

}  // namespace strassen
