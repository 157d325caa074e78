// Every task is its own unit of work. Encodes last minutes to hours, so claiming tasks one by
// one costs nothing measurable, and it never leaves a worker with a queue of long tasks while
// another sits idle, as cutting the list into pieces up front can.
#include "batch/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <exception>
#include <new>
#include <optional>
#include <system_error>

namespace kestrin {
namespace {

// What one task came to. A fault (internal, or a lack of memory) is kept apart from the flag so
// that the batch can report it after the other tasks have ended.
struct TaskOutcome {
    bool flag = false;
    std::optional<Failure> fault;
};

// A lack of memory carries no text, so reporting it allocates nothing.
TaskOutcome memory_outcome() noexcept {
    return TaskOutcome{false, Failure{FailureKind::out_of_memory, Text()}};
}

// A fault's description as an outcome, on a worker where nothing may throw any more. Should
// copying it run out of memory, that is what the task came to instead.
TaskOutcome fault_outcome(const char* description) noexcept {
    try {
        return TaskOutcome{false, Failure{FailureKind::internal, Text(description)}};
    } catch (...) {
        return memory_outcome();
    }
}

TaskOutcome run_guarded(const EncodeTask& task, const TaskRunner& runner) noexcept {
    try {
        EncodeResult result = runner(task);
        if (result.ok()) return TaskOutcome{result.value(), {}};
        // A failure to start or wait for ffmpeg is the task's false; a broken invariant or a lack
        // of memory is not.
        const FailureKind kind = result.failure().kind;
        if (kind == FailureKind::internal || kind == FailureKind::out_of_memory)
            return TaskOutcome{false, result.failure()};
        return TaskOutcome{false, {}};
    } catch (const std::bad_alloc&) {
        return memory_outcome();
    } catch (const std::exception& fault) {
        return fault_outcome(fault.what());
    } catch (...) {
        return fault_outcome("unknown internal fault");
    }
}

Failure batch_failure(const Failure& fault) {
    if (fault.kind == FailureKind::out_of_memory) return fault;
    return Failure{FailureKind::internal, "a batch task failed internally: " + fault.message};
}

// Blocks every signal that can be blocked usefully; the synchronous ones (a fault in the
// thread itself) must stay deliverable or the process would hang or die silently instead.
sigset_t asynchronous_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
        sigdelset(&set, synchronous);
    return set;
}

}  // namespace

struct WorkerPool::Batch {
    const std::vector<EncodeTask>& tasks;
    const TaskRunner& runner;
    // One byte per task, never a bit: two workers writing neighbouring bits of one word would
    // race, while distinct bytes are distinct memory locations.
    std::vector<unsigned char> flags;
    std::size_t next_unclaimed = 0;
    std::size_t unfinished;
    std::optional<Failure> first_fault;
    std::condition_variable all_ended;

    Batch(const std::vector<EncodeTask>& tasks, const TaskRunner& runner)
        : tasks(tasks), runner(runner), flags(tasks.size(), 0), unfinished(tasks.size()) {}
};

Result<std::unique_ptr<WorkerPool>> WorkerPool::start(unsigned workers) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool());
    pool->workers_.reserve(workers);

    // Threads inherit the mask of the thread that creates them: block, create, restore.
    const sigset_t blocked = asynchronous_signals();
    sigset_t caller_mask;
    pthread_sigmask(SIG_SETMASK, &blocked, &caller_mask);
    // Whatever goes wrong, the caller's mask comes back before anything is reported: left
    // blocked, Ctrl-C would never reach the interpreter's main thread again.
    std::exception_ptr start_error;
    try {
        for (unsigned i = 0; i < workers; ++i) {
            pool->workers_.emplace_back([raw = pool.get()] { raw->work(); });
            pthread_setname_np(pool->workers_.back().native_handle(), "kestrin-worker");
        }
    } catch (...) {
        start_error = std::current_exception();
    }
    pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);

    // The destructor stops and joins the threads that did start.
    if (start_error) {
        try {
            std::rethrow_exception(start_error);
        } catch (const std::system_error& error) {
            return Failure{FailureKind::internal,
                           "the batch worker pool could not start: " + Text(error.what())};
        }
    }
    return pool;
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return stopping_ || !open_batches_.empty(); });
        if (open_batches_.empty()) return;  // stopping, and nothing left to claim
        Batch& batch = *open_batches_.front();
        const std::size_t index = batch.next_unclaimed++;
        if (batch.next_unclaimed == batch.tasks.size()) open_batches_.pop_front();

        lock.unlock();
        TaskOutcome outcome = run_guarded(batch.tasks[index], batch.runner);
        lock.lock();

        batch.flags[index] = outcome.flag;
        if (outcome.fault && !batch.first_fault) batch.first_fault = std::move(outcome.fault);
        // Notified under the lock: once unfinished reaches zero and the lock is released, the
        // caller may return and destroy the batch, so nothing of it is touched after this.
        if (--batch.unfinished == 0) batch.all_ended.notify_one();
    }
}

Result<std::vector<bool>> WorkerPool::run(const std::vector<EncodeTask>& tasks,
                                          const TaskRunner& runner) {
    // An empty batch would stay listed as open with nothing to claim, after its caller is gone.
    if (tasks.empty()) return std::vector<bool>{};
    Batch batch(tasks, runner);
    std::unique_lock lock(mutex_);
    open_batches_.push_back(&batch);
    lock.unlock();
    work_ready_.notify_all();
    lock.lock();
    batch.all_ended.wait(lock, [&] { return batch.unfinished == 0; });
    if (batch.first_fault) return batch_failure(*batch.first_fault);
    return std::vector<bool>(batch.flags.begin(), batch.flags.end());
}

Result<bool> run_task_here(const EncodeTask& task, const TaskRunner& runner) {
    TaskOutcome outcome = run_guarded(task, runner);
    if (outcome.fault) return batch_failure(*outcome.fault);
    return outcome.flag;
}

}  // namespace kestrin
