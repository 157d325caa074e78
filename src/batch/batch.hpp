// batch: many encode tasks side by side on the process-wide worker pool, one flag per task in
// task order.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "batch/worker_pool.hpp"
#include "kestrin.hpp"

namespace kestrin {

// The environment variable that sets the pool's size, read once, when the pool is created.
inline constexpr const char* batch_workers_variable = "KESTRIN_BATCH_WORKERS";

// A worker count written in ASCII digits only, with a value from 1 to 1024 (leading zeros
// allowed); nothing for any other text.
std::optional<unsigned> parse_worker_count(std::string_view text);

// Makes sure the process-wide pool exists (also for no task or one), then runs the tasks: none
// gives no flag, one runs on the calling thread, more run on the pool while the caller sleeps.
// Fails with a value error when the worker count variable is invalid (no pool is made then),
// or with an internal fault or a lack of memory from a task, or an internal fault from starting
// the pool.
Result<std::vector<bool>> run_batch(const std::vector<EncodeTask>& tasks,
                                    const TaskRunner& runner);

}  // namespace kestrin
