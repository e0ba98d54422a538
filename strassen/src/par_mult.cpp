#include "strassen/par_mult.hpp"
#include "strassen/par_mult_jobs.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>

#include "cancel.hpp"
#include "strassen/fault.hpp"
#include "strassen/geometry.hpp"
#include "strassen/mult.hpp"
#include "strassen/region.hpp"

namespace strassen {

namespace {

namespace geometry = detail::geometry;

// Multiply-adds of the region path's data below which a product runs on the
// calling thread: seven workers take about 0.1 to 0.2 ms to start and join
// here, as long as some 2^21 multiply-adds of the kernel.
constexpr std::size_t SEQUENTIAL_WORK = std::size_t{1} << 21;

void check_conformable(const Matrix& a, const Matrix& b) {
    if (a.cols != b.rows) fault("Matrix sizes do not match");
}

void store_product(ProductSlot& slot, std::optional<Matrix> product) {
    PoisonMutex::Guard guard = slot.lock.lock();
    if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    slot.product = std::move(product);
    guard.done();
}

// Runs a job's body; a lack of memory is noted in the slot instead of ending
// the worker, so that the caller reports it as such (MemoryError), not as a
// missing product.
template <class Body>
void noting_out_of_memory(ProductSlot& slot, Body&& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        PoisonMutex::Guard guard = slot.lock.lock();
        slot.out_of_memory = true;
        guard.done();
    }
}

// Submits one top-level product: the job runs body on what it owns, under
// the call's cancel flag, with a lack of memory noted in its slot.
template <class Job>
void submit(ThreadPool& pool, const std::shared_ptr<std::atomic<bool>>& cancel, Job job,
            void (*body)(Job)) {
    pool.execute([job = std::move(job), cancel, body]() mutable {
        detail::CancelScope scope(cancel.get());
        const std::shared_ptr<ProductSlot> slot = job.slot;
        noting_out_of_memory(*slot, [&] { body(std::move(job)); });
    });
}

// Counts the jobs that still read the caller's operands through views. The
// region path's jobs borrow a and b instead of copying them, so par_mult must
// not return, normally or by an exception, while one of them may still read.
class Borrows {
public:
    class Ticket {
    public:
        explicit Ticket(std::shared_ptr<Borrows> owner) : owner_(std::move(owner)) {}
        Ticket(Ticket&&) noexcept = default;
        Ticket& operator=(Ticket&&) = delete;
        ~Ticket() {
            if (owner_) owner_->release();
        }

    private:
        std::shared_ptr<Borrows> owner_;
    };

    static Ticket take(const std::shared_ptr<Borrows>& self) {
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            ++self->count_;
        }
        return Ticket(self);
    }

    void wait_all() {
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait(lock, [&] { return count_ == 0; });
    }

private:
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--count_ == 0) released_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable released_;
    std::size_t count_ = 0;  // guarded by mutex_
};

// Declared before the pool in par_mult, so it waits after the pool is gone:
// by then a queued job either runs on a worker still draining the queue, or
// is destroyed with the queue; either way its ticket is released.
struct WaitForBorrows {
    std::shared_ptr<Borrows> borrows;
    ~WaitForBorrows() { borrows->wait_all(); }
};

// One top-level product of the region path.
struct RegionJob {
    detail::Operand left;
    detail::Operand right;
    std::size_t side;
    std::size_t rows;
    std::size_t cols;
    std::shared_ptr<ProductSlot> slot;
    Borrows::Ticket ticket;  // released last, when the job is destroyed
};

void region_job(RegionJob job) {
    std::optional<Matrix> product;
    {
        Buffer out;
        out.resize(job.rows * job.cols);
        detail::region_product(job.left.region, job.right.region,
                               job.left.negated != job.right.negated, job.side, job.rows,
                               job.cols, out.data(), job.cols);
        product.emplace(std::move(out), job.rows, job.cols);
        job.left = detail::Operand{};
        job.right = detail::Operand{};
    }
    store_product(*job.slot, std::move(product));
}

// The region path's top level: C's needed a.rows x b.cols into out.
//
// A product that is empty (a factor is all implicit zeros) or that no needed
// quadrant reads gets no job at all: it is known to be +0.0 or never read, so
// a job would carry no operands and deliver nothing, and its slot would have
// nothing to check. The pool still gets one job per product that is computed.
void par_region_level(const Matrix& a, const Matrix& b, std::size_t d, ThreadPool& pool,
                      const std::shared_ptr<Borrows>& borrows, double* out) {
    // No direct writes: every product comes back as its job's own matrix.
    detail::LevelPlan plan =
        detail::plan_level(detail::whole(a), detail::whole(b), d, a.rows, b.cols, false);

    std::shared_ptr<ProductSlot> slots[7];
    for (std::size_t k = 0; k < 7; ++k)
        if (plan.present[k]) slots[k] = std::make_shared<ProductSlot>();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    for (std::size_t k = 0; k < 7; ++k) {
        if (!plan.present[k]) continue;
        submit(pool, cancel,
               RegionJob{std::move(plan.left[k]), std::move(plan.right[k]), plan.half,
                         plan.rows[k], plan.cols[k], slots[k], Borrows::take(borrows)},
               region_job);
    }
    detail::join_interruptible(pool, *cancel);

    std::optional<Matrix> products[7];
    std::array<const double*, 7> data{};
    std::array<std::size_t, 7> lds{};
    for (std::size_t k = 0; k < 7; ++k) {
        if (!plan.present[k]) continue;
        products[k].emplace(detail::take_product(slots[k]));
        data[k] = products[k]->data.data();
        lds[k] = products[k]->cols;
    }
    detail::combine_level(plan, data, lds, out, b.cols);
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

Matrix par_strassen_square(const Matrix& a, const Matrix& b, ThreadPool& pool) {
    const std::size_t n = a.rows;
    if (geometry::is_leaf(n)) return naive_mult(a, b);
    const std::size_t h = n / 2;

    // All fourteen exist before the first job is submitted.
    Buffer operands[14];
    detail::strassen_operands(a, b, operands);

    std::shared_ptr<ProductSlot> slots[7];
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    for (int k = 0; k < 7; ++k) {
        slots[k] = std::make_shared<ProductSlot>();
        submit(pool, cancel,
               ProductJob{std::move(operands[k]), std::move(operands[7 + k]), h, slots[k]},
               product_job);
    }
    detail::join_interruptible(pool, *cancel);

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
    ThreadPool pool(PAR_MULT_WORKERS);
    if (geometry::is_square(a.rows, a.cols, b.cols)) return par_strassen_square(a, b, pool);
    detail::check_interrupt();
    const Matrix ap = a.pad(d);
    detail::check_interrupt();
    const Matrix bp = b.pad(d);
    const Matrix p = par_strassen_square(ap, bp, pool);
    return p.reduce(a.rows, b.cols);
}

Matrix par_mult(const Matrix& a, const Matrix& b) {
    check_conformable(a, b);
    if (!detail::region_path_applies(a, b)) return par_mult_dense(a, b);
    // Small products run on the calling thread: starting the workers would
    // cost more than they save. mult takes the same region path.
    std::size_t work = 0;
    if (__builtin_mul_overflow(a.rows, a.cols, &work) ||
        __builtin_mul_overflow(work, b.cols, &work))
        work = SIZE_MAX;
    if (work < SEQUENTIAL_WORK) return mult(a, b);

    const WaitForBorrows wait{std::make_shared<Borrows>()};
    ThreadPool pool(PAR_MULT_WORKERS);
    const std::size_t d = geometry::common_side(a.rows, a.cols, b.cols);
    Buffer out;
    out.resize(a.rows * b.cols);
    if (geometry::is_leaf(d))
        detail::region_product(detail::whole(a), detail::whole(b), false, d, a.rows, b.cols,
                               out.data(), b.cols);
    else
        par_region_level(a, b, d, pool, wait.borrows, out.data());
    return Matrix(std::move(out), a.rows, b.cols);
}

}  // namespace strassen
