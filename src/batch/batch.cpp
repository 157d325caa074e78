// The process-wide pool lives behind one guard. After fork() the child has the pool object
// but none of its threads, so a batch there would wait forever: the child forgets the pool
// and makes its own at its first batch.
#include "batch/batch.hpp"

#include <pthread.h>

#include <cstdlib>
#include <mutex>

#include "batch/processors.hpp"
#include "tools/text.hpp"

namespace kestrin {
namespace {

pthread_mutex_t pool_guard = PTHREAD_MUTEX_INITIALIZER;
// Never destroyed: the workers sleep on its lock until the process ends.
WorkerPool* process_pool = nullptr;
// A fork child's inherited pool, kept reachable so that leak checkers don't report it.
WorkerPool* pool_of_parent = nullptr;

// fork() takes the guard first, so the child can't inherit it locked by a thread that is
// half-way through creating the pool.
void before_fork() { pthread_mutex_lock(&pool_guard); }
void after_fork_in_parent() { pthread_mutex_unlock(&pool_guard); }
void after_fork_in_child() {
    // The old pool is abandoned, not destroyed: its threads do not exist here to be joined.
    if (process_pool != nullptr) pool_of_parent = process_pool;
    process_pool = nullptr;
    pthread_mutex_unlock(&pool_guard);
}

struct GuardLock {
    GuardLock() { pthread_mutex_lock(&pool_guard); }
    ~GuardLock() { pthread_mutex_unlock(&pool_guard); }
    GuardLock(const GuardLock&) = delete;
    GuardLock& operator=(const GuardLock&) = delete;
};

Result<unsigned> configured_worker_count() {
    const char* value = std::getenv(batch_workers_variable);
    if (value == nullptr || *value == '\0') return processors_available();
    if (auto count = parse_worker_count(value)) return *count;
    return Failure{FailureKind::value_error,
                   Text(batch_workers_variable) + " must be a whole number from 1 to 1024 in "
                       "ASCII digits, not '" + decode_utf8_lossy(value) + "'"};
}

Result<WorkerPool*> process_wide_pool() {
    static std::once_flag handlers_registered;
    std::call_once(handlers_registered, [] {
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    });
    GuardLock lock;
    if (process_pool != nullptr) return process_pool;
    auto workers = configured_worker_count();
    if (!workers) return workers.failure();
    auto pool = WorkerPool::start(workers.value());
    if (!pool) return pool.failure();
    process_pool = pool.value().release();
    return process_pool;
}

}  // namespace

std::optional<unsigned> parse_worker_count(std::string_view text) {
    if (text.empty()) return {};
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return {};
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 1024) return {};  // also keeps a long run of digits from overflowing
    }
    if (value == 0) return {};
    return value;
}

Result<std::vector<bool>> run_batch(const std::vector<EncodeTask>& tasks,
                                    const TaskRunner& runner) {
    auto pool = process_wide_pool();
    if (!pool) return pool.failure();
    if (tasks.empty()) return std::vector<bool>{};
    // One task needs no thread switch: it runs right here, as transform would.
    if (tasks.size() == 1) {
        auto flag = run_task_here(tasks.front(), runner);
        if (!flag) return flag.failure();
        return std::vector<bool>{flag.value()};
    }
    return pool.value()->run(tasks, runner);
}

}  // namespace kestrin
