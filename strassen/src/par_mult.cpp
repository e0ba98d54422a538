#include "strassen/par_mult.hpp"
#include "strassen/par_mult_jobs.hpp"

#include <new>
#include <utility>

#include "cancel.hpp"
#include "strassen/fault.hpp"
#include "strassen/geometry.hpp"
#include "strassen/mult.hpp"
#include "strassen/parallel.hpp"
#include "strassen/region.hpp"

namespace strassen {

namespace {

namespace geometry = detail::geometry;

void check_conformable(const Matrix& a, const Matrix& b) {
    if (a.cols != b.rows) fault("Matrix sizes do not match");
}

void store_product(ProductSlot& slot, std::optional<Matrix> product) {
    PoisonMutex::Guard guard = slot.lock.lock();
    if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    slot.product = std::move(product);
    guard.done();
}

// Runs one top-level product's job. Its failure reaches the caller only
// through its slot, as the slot's checks in take_product order it: a lack of
// memory is noted there (MemoryError, not a missing product); any other
// failure ends the job and leaves the slot empty.
template <class Body>
void slot_job(ProductSlot& slot, Body&& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        PoisonMutex::Guard guard = slot.lock.lock();
        slot.out_of_memory = true;
        guard.done();
    } catch (...) {
        // Reported as the empty slot.
    }
}

}  // namespace

namespace detail {

Matrix take_product(std::shared_ptr<ProductSlot>& slot) {
    // No lock is taken: the job that shared the slot has let go of it, and
    // join() ordered its store before this read.
    if (slot.use_count() != 1) fault("called `Option::unwrap()` on a `None` value");
    if (slot->lock.broken_unlocked()) fault("called `Result::unwrap()` on an `Err` value");
    if (!slot->product) {
        if (slot->out_of_memory) throw std::bad_alloc();
        fault("called `Option::unwrap()` on a `None` value");
    }
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
        product.emplace(mult_dense(left, right));
    }  // operands released before the store
    store_product(*job.slot, std::move(product));
}

Matrix par_strassen_square(const Matrix& a, const Matrix& b, detail::Parallel& parallel) {
    const std::size_t n = a.rows;
    if (geometry::is_leaf(n)) return naive_mult(a, b);
    const std::size_t h = n / 2;

    // All fourteen exist before the first job is submitted.
    Buffer operands[14];
    detail::strassen_operands(a, b, operands);

    std::shared_ptr<ProductSlot> slots[7];
    for (auto& slot : slots) slot = std::make_shared<ProductSlot>();
    parallel.run(7, [&](std::size_t k) {
        slot_job(*slots[k], [&] {
            product_job(
                ProductJob{std::move(operands[k]), std::move(operands[7 + k]), h, slots[k]});
        });
    });

    // Taken in order, M1 to M7: the first failing slot's fault is the one met.
    std::array<Matrix, 7> m{detail::take_product(slots[0]), detail::take_product(slots[1]),
                            detail::take_product(slots[2]), detail::take_product(slots[3]),
                            detail::take_product(slots[4]), detail::take_product(slots[5]),
                            detail::take_product(slots[6])};
    return detail::combine_products(m, h, n);
}

Matrix par_mult_dense(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    detail::check_dense_fits(a, b);
    const std::size_t d = geometry::common_side(a.rows, a.cols, b.cols);
    // One schoolbook block: no sub-products, so no pool.
    if (geometry::is_leaf(d)) return mult_dense(a, b);
    detail::Parallel parallel(PAR_MULT_WORKERS);
    if (geometry::is_square(a.rows, a.cols, b.cols)) return par_strassen_square(a, b, parallel);
    detail::check_interrupt();
    const Matrix ap = a.pad(d);
    detail::check_interrupt();
    const Matrix bp = b.pad(d);
    const Matrix p = par_strassen_square(ap, bp, parallel);
    return p.reduce(a.rows, b.cols);
}

Matrix par_mult(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    if (!detail::region_path_applies(a, b)) return par_mult_dense(a, b);
    // Small products run on the calling thread (mult takes the same region
    // path). The region path's multiply-adds weigh as the kernel's: it is
    // the dense recursion with zero blocks dropped.
    std::size_t work = 0;
    if (__builtin_mul_overflow(a.rows, a.cols, &work) ||
        __builtin_mul_overflow(work, b.cols, &work))
        work = SIZE_MAX;
    if (!detail::worth_parallel(work)) return mult(a, b);

    detail::Parallel parallel(PAR_MULT_WORKERS);
    Buffer out;
    out.resize(a.rows * b.cols);
    detail::region_product(detail::whole(a), detail::whole(b),
                           geometry::common_side(a.rows, a.cols, b.cols), a.rows, b.cols,
                           out.data(), b.cols, parallel);
    return Matrix(std::move(out), a.rows, b.cols);
}

}  // namespace strassen
