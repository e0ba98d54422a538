// Internal: the dense parallel product's jobs and the slots they leave their
// products in.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "strassen/matrix.hpp"
#include "strassen/par_mult.hpp"
#include "strassen/poison_lock.hpp"
#include "strassen/parallel.hpp"

namespace strassen {

// Where one job leaves its product. Shared by the submitting side and the job;
// the job holds `lock` only while it stores, and a job that fails while
// holding it breaks it.
struct ProductSlot {
    PoisonMutex lock;
    std::optional<Matrix> product;
    // The job ran out of memory instead of storing its product (written under
    // `lock`, read by take_product only).
    bool out_of_memory = false;
};

// One top-level product, owning its two h x h row-major operands and one share
// of its slot.
struct ProductJob {
    Buffer left;
    Buffer right;
    std::size_t h;
    std::shared_ptr<ProductSlot> slot;
};

// One dense Strassen level on two n x n operands (n even) with the seven
// products as one round of `parallel`.
Matrix par_strassen_square(const Matrix& a, const Matrix& b, detail::Parallel& parallel);

// The body a worker runs for one job: the dense sequential product of the
// operands, stored into the slot. Faults with "called `Result::unwrap()` on an `Err`
// value" if the slot is broken.
void product_job(ProductJob job);

namespace detail {
// Takes the product out of a slot whose job has finished, checking in this
// order: the caller must be the only holder ("called `Option::unwrap()` on a
// `None` value"), the slot must not be broken ("called `Result::unwrap()` on
// an `Err` value"), and it must hold a product: std::bad_alloc (MemoryError
// in Python) when its job ran out of memory, else "called `Option::unwrap()`
// on a `None` value".
Matrix take_product(std::shared_ptr<ProductSlot>& slot);
}  // namespace detail

}  // namespace strassen
