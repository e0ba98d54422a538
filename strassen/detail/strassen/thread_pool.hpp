// Fixed-size pool of detached worker threads fed by a FIFO job queue.
//
// The pool never waits for its workers: destroying it closes the queue, the
// workers drain what is left and then end on their own. Everything a worker
// touches lives in the reference-counted `PoolShared`, never in statics, so a
// worker that outlives the pool (or main) stays on valid memory.
#pragma once

#include <chrono>
#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace strassen {

// A callable run at most once, owning whatever it uses. Move-only, so that a
// job can own buffers and other move-only state.
class Job {
public:
    Job() noexcept = default;
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, Job> &&
                 std::invocable<std::remove_cvref_t<F>&>)
    Job(F&& f)  // NOLINT(google-explicit-constructor): jobs are made from lambdas
        : body_(std::make_unique<Body<std::remove_cvref_t<F>>>(std::forward<F>(f))) {}

    Job(Job&&) noexcept = default;
    Job& operator=(Job&&) noexcept = default;

    explicit operator bool() const noexcept { return body_ != nullptr; }
    void operator()() { body_->run(); }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void run() = 0;
    };
    template <class F>
    struct Body final : Base {
        explicit Body(F&& g) : f(std::move(g)) {}
        explicit Body(const F& g) : f(g) {}
        void run() override { f(); }
        F f;
    };
    std::unique_ptr<Base> body_;
};

struct PoolShared;

namespace detail {
struct JobChannel;

// The queue's only sending end. Destroying it closes the queue.
class JobSender {
public:
    explicit JobSender(std::shared_ptr<JobChannel> channel) noexcept;
    ~JobSender();
    JobSender(const JobSender&) = delete;
    JobSender& operator=(const JobSender&) = delete;

    // Appends `job`; false (and the job is destroyed unrun) if the queue is closed.
    bool send(Job job);

private:
    std::shared_ptr<JobChannel> channel_;
};
}  // namespace detail

class ThreadPool {
public:
    // Starts `num_threads` detached workers. Faults with
    // "assertion failed: num_threads > 0" for 0, and with
    // "called `Result::unwrap()` on an `Err` value" when a thread cannot be
    // started (the workers already started then find the queue closed and end).
    explicit ThreadPool(std::size_t num_threads);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Closes the queue and returns at once: queued jobs still run, and each
    // worker ends by itself once the queue is closed and empty.
    ~ThreadPool();

    // Counts the job as queued, then queues it; returns without waiting for it.
    // Faults with "ThreadPool::execute unable to send job into queue." if the
    // queue is closed (impossible while the pool exists).
    void execute(Job job);

    // Returns once no job is queued or running; at once, taking no lock, when
    // that already holds. Any number of threads may wait; the first to leave a
    // round lets the others of the same round leave too, even if new jobs
    // arrived meanwhile. Everything the finished jobs did happens before the
    // return. Faults with "called `Result::unwrap()` on an `Err` value" if
    // `idle_lock` is broken.
    void join();

    // join() with a time limit: true once no job is queued or running (the
    // round then ends as in join), false when `timeout` passed first (the
    // round goes on). Same lock and fault as join.
    bool join_for(std::chrono::milliseconds timeout);

private:
    // Declared in this order so that destruction first closes the queue, then
    // lets go of the shared state.
    std::shared_ptr<PoolShared> shared_;
    detail::JobSender job_sender_;
};

}  // namespace strassen
