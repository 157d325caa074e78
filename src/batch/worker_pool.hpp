// The worker pool behind batch: P threads that take the tasks of every running batch one at a
// time, so at most P tasks run at once however many batches share the pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kestrin.hpp"

namespace kestrin {

// Carries out one task. The shipped runner is the encode routine; tests pass their own.
// std::bad_alloc out of a runner, or a failure of kind out_of_memory, is a lack of memory; any
// other C++ exception, or a failure of kind internal, is an internal fault.
using TaskRunner = std::function<EncodeResult(const EncodeTask&)>;

class WorkerPool {
public:
    // Starts all `workers` threads at once, every asynchronous signal blocked in them so that
    // signals reach the interpreter's main thread. Fails, with no thread left running, when a
    // thread can't be started.
    static Result<std::unique_ptr<WorkerPool>> start(unsigned workers);

    // Stops and joins the workers once no batch is running. The process-wide pool is never
    // destroyed; only the pools of tests end.
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs every task on the workers and blocks the calling thread until all have ended. One
    // flag per task, in task order; a runner's failure counts as false. An internal fault or a
    // lack of memory in any task lets the others run to their end and then gives the first of
    // them as a failure of kind internal or out_of_memory.
    Result<std::vector<bool>> run(const std::vector<EncodeTask>& tasks, const TaskRunner& runner);

private:
    struct Batch;

    WorkerPool() = default;
    void work();

    std::mutex mutex_;
    std::condition_variable work_ready_;
    // Batches with tasks not yet claimed, oldest first; a batch leaves once its last task is
    // claimed, and its caller wakes once its last task has ended.
    std::deque<Batch*> open_batches_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// One task on the calling thread, with the same outcome rules as a task on a worker: the flag,
// false for a runner's failure, or the internal fault or lack of memory.
Result<bool> run_task_here(const EncodeTask& task, const TaskRunner& runner);

}  // namespace kestrin
