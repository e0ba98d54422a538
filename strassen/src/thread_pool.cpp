#include "strassen/thread_pool.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "strassen/fault.hpp"
#include "strassen/poison_lock.hpp"

namespace strassen {

namespace detail {

// Unbounded FIFO. `closed` is set once, when the only sender goes away; takers
// still drain what is queued and see the close only on an empty queue.
struct JobChannel {
    std::mutex mutex;
    std::condition_variable ready;  // signalled on every send and on close
    std::deque<Job> jobs;           // guarded by mutex
    bool closed = false;            // guarded by mutex
};

JobSender::JobSender(std::shared_ptr<JobChannel> channel) noexcept
    : channel_(std::move(channel)) {}

JobSender::~JobSender() {
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        channel_->closed = true;
    }
    channel_->ready.notify_all();
}

bool JobSender::send(Job job) {
    {
        std::lock_guard<std::mutex> lock(channel_->mutex);
        if (channel_->closed) return false;
        channel_->jobs.push_back(std::move(job));
    }
    channel_->ready.notify_one();
    return true;
}

// The receiving end. Blocks while the queue is empty and open; nullopt means
// closed and drained.
class JobReceiver {
public:
    explicit JobReceiver(std::shared_ptr<JobChannel> channel) : channel_(std::move(channel)) {}

    std::optional<Job> recv() {
        std::unique_lock<std::mutex> lock(channel_->mutex);
        channel_->ready.wait(lock, [&] { return !channel_->jobs.empty() || channel_->closed; });
        if (channel_->jobs.empty()) return std::nullopt;
        Job job = std::move(channel_->jobs.front());
        channel_->jobs.pop_front();
        return job;
    }

    const std::shared_ptr<JobChannel>& channel() const noexcept { return channel_; }

private:
    std::shared_ptr<JobChannel> channel_;
};

}  // namespace detail

struct PoolShared {
    explicit PoolShared(std::shared_ptr<detail::JobChannel> channel)
        : job_receiver(std::move(channel)) {}

    // job_receiver is used only by the worker holding job_receiver_lock, so at
    // most one idle worker waits on the queue; the others wait for this lock.
    PoisonMutex job_receiver_lock;
    detail::JobReceiver job_receiver;

    // Workers announce idleness under idle_lock so that a joiner cannot miss
    // the wake-up between testing the counters and starting to wait.
    PoisonMutex idle_lock;
    std::condition_variable idle_signal;

    // All three: every access sequentially consistent (the default order).
    std::atomic<std::size_t> join_round{0};    // finished join rounds; wraps
    std::atomic<std::size_t> queued_jobs{0};   // submitted, not yet taken
    std::atomic<std::size_t> running_jobs{0};  // taken, not yet finished

    bool has_work() const noexcept { return queued_jobs.load() > 0 || running_jobs.load() > 0; }
};

namespace {

void worker_loop(std::shared_ptr<PoolShared> shared) noexcept;

// Throws Fault when the thread cannot be started.
void start_worker(const std::shared_ptr<PoolShared>& shared) {
    try {
        std::thread(worker_loop, shared).detach();
    } catch (const std::system_error&) {
        fault("called `Result::unwrap()` on an `Err` value");
    }
}

void announce_idle(PoolShared& shared) {
    if (shared.has_work()) return;
    {
        PoisonMutex::Guard guard = shared.idle_lock.lock();
        if (guard.broken()) fault("Unable to notify all joining threads");
        guard.done();
    }
    shared.idle_signal.notify_all();
}

// Nothing may leave this function by an exception: it is the whole life of a
// detached thread. Faults met here have already been reported by `fault`.
void worker_loop(std::shared_ptr<PoolShared> shared) noexcept {
    for (;;) {
        std::optional<Job> job;
        try {
            PoisonMutex::Guard guard = shared->job_receiver_lock.lock();
            if (guard.broken()) fault("Worker thread unable to lock job_receiver");
            job = shared->job_receiver.recv();
            guard.done();
        } catch (...) {
            return;
        }
        if (!job) return;  // closed and drained

        // Raise running before lowering queued: a job in hand is always counted
        // in one of the two, so join never sees both at 0 too early.
        shared->running_jobs.fetch_add(1);
        shared->queued_jobs.fetch_sub(1);

        bool failed = false;
        try {
            if (*job) (*job)();
        } catch (...) {
            failed = true;
        }
        // The job and what it owns go before running_jobs drops, so that a
        // joiner that sees the pool idle also sees every job released.
        job.reset();
        shared->running_jobs.fetch_sub(1);

        try {
            announce_idle(*shared);
        } catch (...) {
            return;
        }
        if (failed) {
            // The failed job ends this thread; a fresh one takes its place so
            // the pool keeps its size. If none can be started the report has
            // been written and the pool runs one worker short.
            try {
                start_worker(shared);
            } catch (...) {
            }
            return;
        }
    }
}

std::shared_ptr<PoolShared> make_shared_state(std::size_t num_threads) {
    if (num_threads == 0) fault("assertion failed: num_threads > 0");
    return std::make_shared<PoolShared>(std::make_shared<detail::JobChannel>());
}

}  // namespace

ThreadPool::ThreadPool(std::size_t num_threads)
    : shared_(make_shared_state(num_threads)), job_sender_(shared_->job_receiver.channel()) {
    for (std::size_t i = 0; i < num_threads; ++i) start_worker(shared_);
}

ThreadPool::~ThreadPool() = default;

void ThreadPool::execute(Job job) {
    shared_->queued_jobs.fetch_add(1);
    if (!job_sender_.send(std::move(job))) fault("ThreadPool::execute unable to send job into queue.");
}

void ThreadPool::join() {
    PoolShared& s = *shared_;
    if (!s.has_work()) return;

    std::size_t round = s.join_round.load();
    PoisonMutex::Guard guard = s.idle_lock.lock();
    if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    while (s.join_round.load() == round && s.has_work()) {
        s.idle_signal.wait(guard.native());
        if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    }
    // The first waiter out ends the round; a failed exchange means another did.
    s.join_round.compare_exchange_strong(round, round + 1);
    guard.done();
}

bool ThreadPool::join_for(std::chrono::milliseconds timeout) {
    PoolShared& s = *shared_;
    if (!s.has_work()) return true;

    std::size_t round = s.join_round.load();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    PoisonMutex::Guard guard = s.idle_lock.lock();
    if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
    while (s.join_round.load() == round && s.has_work()) {
        const bool timed_out =
            s.idle_signal.wait_until(guard.native(), deadline) == std::cv_status::timeout;
        if (guard.broken()) fault("called `Result::unwrap()` on an `Err` value");
        if (timed_out && s.join_round.load() == round && s.has_work()) {
            guard.done();
            return false;
        }
    }
    s.join_round.compare_exchange_strong(round, round + 1);
    guard.done();
    return true;
}

}  // namespace strassen
