// The worker pool and the batch around it, driven by fake task runners instead of ffmpeg.
#include "batch/batch.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "batch/processors.hpp"
#include "batch/worker_pool.hpp"

namespace kestrin {
namespace {

using namespace std::chrono_literals;

// Tasks whose input names their position and whose output carries what the runner should do.
std::vector<EncodeTask> numbered_tasks(std::size_t count, const std::string& behaviour = "") {
    std::vector<EncodeTask> tasks;
    for (std::size_t i = 0; i < count; ++i)
        tasks.push_back(EncodeTask{std::to_string(i), behaviour, "", "", "", ""});
    return tasks;
}

std::unique_ptr<WorkerPool> started_pool(unsigned workers) {
    auto pool = WorkerPool::start(workers);
    EXPECT_TRUE(pool.ok());
    return std::move(pool).value();
}

// Counts the tasks running at once and remembers the most seen.
struct ConcurrencyProbe {
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    void enter() {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    }
    void leave() { --running; }
};

TEST(WorkerPool, FlagsComeBackInTaskOrderWhenTasksEndInReverse) {
    auto pool = started_pool(4);
    // Task i sleeps longer the earlier it is, so the last ends first.
    auto flags = pool->run(numbered_tasks(4), [](const EncodeTask& task) -> EncodeResult {
        const int index = std::stoi(task.input);
        std::this_thread::sleep_for(std::chrono::milliseconds(40 * (4 - index)));
        if (index == 1) return Failure{FailureKind::os_error, "No such file or directory"};
        return index != 2;
    });
    ASSERT_TRUE(flags.ok());
    EXPECT_EQ(flags.value(), (std::vector<bool>{true, false, false, true}));
}

TEST(WorkerPool, OneWorkerClaimsTasksInTaskOrder) {
    auto pool = started_pool(1);
    std::mutex lock;
    std::vector<std::string> order;
    auto flags = pool->run(numbered_tasks(6), [&](const EncodeTask& task) -> EncodeResult {
        std::lock_guard guard(lock);
        order.push_back(task.input);
        return true;
    });
    ASSERT_TRUE(flags.ok());
    EXPECT_EQ(order, (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
}

TEST(WorkerPool, RunsAtMostItsSizeAtOnceAndReachesIt) {
    auto pool = started_pool(3);
    ConcurrencyProbe probe;
    auto flags = pool->run(numbered_tasks(12), [&](const EncodeTask&) -> EncodeResult {
        probe.enter();
        // Hold on until all three workers are busy (or give up), so reaching 3 is no accident.
        for (int i = 0; i < 200 && probe.running.load() < 3; ++i) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(5ms);
        probe.leave();
        return true;
    });
    ASSERT_TRUE(flags.ok());
    EXPECT_EQ(flags.value(), std::vector<bool>(12, true));
    EXPECT_EQ(probe.most.load(), 3);
}

TEST(WorkerPool, AFaultLetsEveryOtherTaskRunToItsEnd) {
    auto pool = started_pool(2);
    std::atomic<int> finished{0};
    auto flags = pool->run(numbered_tasks(6), [&](const EncodeTask& task) -> EncodeResult {
        if (task.input == "2") throw std::logic_error("slot index out of range");
        std::this_thread::sleep_for(10ms);
        ++finished;
        return true;
    });
    ASSERT_FALSE(flags.ok());
    EXPECT_EQ(flags.failure().kind, FailureKind::internal);
    EXPECT_EQ(flags.failure().message, "a batch task failed internally: slot index out of range");
    EXPECT_EQ(finished.load(), 5);
}

TEST(WorkerPool, RunningOutOfMemoryInATaskIsALackOfMemoryAfterTheOtherTasks) {
    auto pool = started_pool(2);
    std::atomic<int> finished{0};
    auto flags = pool->run(numbered_tasks(4), [&](const EncodeTask& task) -> EncodeResult {
        if (task.input == "1") throw std::bad_alloc();
        ++finished;
        return true;
    });
    ASSERT_FALSE(flags.ok());
    EXPECT_EQ(flags.failure().kind, FailureKind::out_of_memory);
    EXPECT_EQ(finished.load(), 3);
}

TEST(WorkerPool, AnInternalFailureFromTheRunnerIsAFaultButAnOsFailureIsFalse) {
    auto pool = started_pool(2);
    auto os_only = pool->run(numbered_tasks(2), [](const EncodeTask&) -> EncodeResult {
        return Failure{FailureKind::os_error, "Permission denied (os error 13)"};
    });
    ASSERT_TRUE(os_only.ok());
    EXPECT_EQ(os_only.value(), (std::vector<bool>{false, false}));
    auto internal = pool->run(numbered_tasks(2), [](const EncodeTask& task) -> EncodeResult {
        if (task.input == "1") return Failure{FailureKind::internal, "child already waited for"};
        return true;
    });
    ASSERT_FALSE(internal.ok());
    EXPECT_EQ(internal.failure().message,
              "a batch task failed internally: child already waited for");
}

TEST(WorkerPool, BatchesFromSeveralThreadsShareTheWorkers) {
    auto pool = started_pool(2);
    ConcurrencyProbe probe;
    std::vector<std::thread> callers;
    std::vector<Result<std::vector<bool>>> results(4, Failure{FailureKind::internal, "not run"});
    for (int caller = 0; caller < 4; ++caller) {
        callers.emplace_back([&, caller] {
            // Each caller's tasks fail at a different position, so mixed-up slots would show.
            results[caller] = pool->run(numbered_tasks(5), [&, caller](const EncodeTask& task) {
                probe.enter();
                std::this_thread::sleep_for(3ms);
                probe.leave();
                return EncodeResult(std::stoi(task.input) != caller);
            });
        });
    }
    for (std::thread& caller : callers) caller.join();
    for (int caller = 0; caller < 4; ++caller) {
        ASSERT_TRUE(results[caller].ok());
        std::vector<bool> expected(5, true);
        expected[caller] = false;
        EXPECT_EQ(results[caller].value(), expected) << "caller " << caller;
    }
    EXPECT_LE(probe.most.load(), 2);
}

TEST(WorkerPool, WorkersBlockAsynchronousSignals) {
    auto pool = started_pool(2);
    std::mutex lock;
    std::vector<bool> interrupt_blocked;
    auto flags = pool->run(numbered_tasks(2), [&](const EncodeTask&) -> EncodeResult {
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        std::lock_guard guard(lock);
        interrupt_blocked.push_back(sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) &&
                                    sigismember(&mask, SIGCHLD) && !sigismember(&mask, SIGSEGV));
        return true;
    });
    ASSERT_TRUE(flags.ok());
    EXPECT_EQ(interrupt_blocked, (std::vector<bool>{true, true}));
    sigset_t own;
    pthread_sigmask(SIG_SETMASK, nullptr, &own);
    EXPECT_FALSE(sigismember(&own, SIGINT)) << "starting the pool must restore the caller's mask";
}

TEST(Batch, OneTaskRunsOnTheCallingThreadAndTwoDoNot) {
    std::mutex lock;
    std::set<std::thread::id> threads;
    const TaskRunner record_thread = [&](const EncodeTask&) -> EncodeResult {
        std::lock_guard guard(lock);
        threads.insert(std::this_thread::get_id());
        return true;
    };
    auto one = run_batch(numbered_tasks(1), record_thread);
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value(), std::vector<bool>{true});
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});

    threads.clear();
    auto two = run_batch(numbered_tasks(2), record_thread);
    ASSERT_TRUE(two.ok());
    EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

TEST(Batch, EmptyListGivesNoFlagAndRunsNothing) {
    auto flags = run_batch({}, [](const EncodeTask&) -> EncodeResult {
        throw std::logic_error("must not run");
    });
    ASSERT_TRUE(flags.ok());
    EXPECT_TRUE(flags.value().empty());
}

TEST(Batch, AFaultInAOneTaskListIsAFault) {
    auto flags = run_batch(numbered_tasks(1), [](const EncodeTask&) -> EncodeResult {
        throw std::runtime_error("broken");
    });
    ASSERT_FALSE(flags.ok());
    EXPECT_EQ(flags.failure().message, "a batch task failed internally: broken");
}

struct WorkerCountCase {
    const char* text;
    std::optional<unsigned> count;
};

class WorkerCount : public testing::TestWithParam<WorkerCountCase> {};

TEST_P(WorkerCount, AcceptsOnlyAsciiDigitsFromOneTo1024) {
    EXPECT_EQ(parse_worker_count(GetParam().text), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WorkerCount,
    testing::Values(WorkerCountCase{"1", 1u}, WorkerCountCase{"8", 8u},
                    WorkerCountCase{"1024", 1024u}, WorkerCountCase{"007", 7u},
                    WorkerCountCase{"0", {}}, WorkerCountCase{"000", {}},
                    WorkerCountCase{"1025", {}}, WorkerCountCase{"99999999999999999999", {}},
                    WorkerCountCase{"+4", {}}, WorkerCountCase{"-4", {}},
                    WorkerCountCase{" 4", {}}, WorkerCountCase{"4\n", {}},
                    WorkerCountCase{"4.0", {}}, WorkerCountCase{"0x10", {}},
                    WorkerCountCase{"\xd9\xa3", {}},  // ARABIC-INDIC DIGIT THREE
                    WorkerCountCase{"", {}}));

struct QuotaCase {
    const char* contents;
    std::optional<unsigned> processors;
};

class CpuMax : public testing::TestWithParam<QuotaCase> {};

TEST_P(CpuMax, RoundsTheQuotaUp) {
    EXPECT_EQ(cpu_max_processors(GetParam().contents), GetParam().processors);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, CpuMax,
    testing::Values(QuotaCase{"max 100000\n", {}}, QuotaCase{"200000 100000\n", 2u},
                    QuotaCase{"150000 100000\n", 2u}, QuotaCase{"50000 100000", 1u},
                    QuotaCase{"1000 100000\n", 1u}, QuotaCase{"400000 50000\n", 8u},
                    QuotaCase{"0 100000\n", {}}, QuotaCase{"", {}}, QuotaCase{"garbage", {}}));

TEST(CfsQuota, MinusOneMeansNoQuota) {
    EXPECT_EQ(quota_processors("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(quota_processors("300000\n", "100000\n"), 3u);
    EXPECT_EQ(quota_processors("250000\n", "100000\n"), 3u);
    EXPECT_EQ(quota_processors("100000\n", "0\n"), std::nullopt);
}

struct FolderCase {
    const char* name;
    const char* cgroup;
    const char* mountinfo;
    std::optional<std::pair<Text, Text>> unified;
    std::optional<std::pair<Text, Text>> cpu_controller;
};

class QuotaFolderSearch : public testing::TestWithParam<FolderCase> {};

TEST_P(QuotaFolderSearch, FindsTheProcessGroupUnderEachMount) {
    const QuotaFolders folders = find_quota_folders(GetParam().cgroup, GetParam().mountinfo);
    const auto pair = [](const std::optional<CgroupFolder>& folder) {
        return folder ? std::optional(std::pair{folder->mount_point, folder->relative})
                      : std::nullopt;
    };
    EXPECT_EQ(pair(folders.unified), GetParam().unified);
    EXPECT_EQ(pair(folders.cpu_controller), GetParam().cpu_controller);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, QuotaFolderSearch,
    testing::Values(
        FolderCase{"UnifiedOnlySystemdService",
                   "0::/system.slice/encoder.service\n",
                   "24 30 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n"
                   "30 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n",
                   std::pair{Text("/sys/fs/cgroup"), Text("/system.slice/encoder.service")},
                   std::nullopt},
        FolderCase{"ContainerWithCgroupNamespace", "0::/\n",
                   "612 600 0:29 / /sys/fs/cgroup ro,nosuid - cgroup2 cgroup rw\n",
                   std::pair{Text("/sys/fs/cgroup"), Text("")}, std::nullopt},
        FolderCase{"ContainerSeeingItsOwnSubtree", "0::/docker/4f2a\n",
                   "612 600 0:29 /docker/4f2a /sys/fs/cgroup ro - cgroup2 cgroup rw\n",
                   std::pair{Text("/sys/fs/cgroup"), Text("")}, std::nullopt},
        FolderCase{"HybridV1WithCpuAndCpuacctTogether",
                   "12:cpu,cpuacct:/user/job7\n4:memory:/user/job7\n0::/user/job7\n",
                   "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
                   "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
                   "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n"
                   "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
                   std::pair{Text("/sys/fs/cgroup/unified"), Text("/user/job7")},
                   std::pair{Text("/sys/fs/cgroup/cpu,cpuacct"), Text("/user/job7")}},
        FolderCase{"CpusetIsNotCpu", "3:cpuset:/a\n",
                   "34 31 0:31 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n",
                   std::nullopt, std::nullopt},
        FolderCase{"MountOfAnotherSubtree", "0::/user.slice\n",
                   "24 30 0:22 /system.slice /mnt/cg rw - cgroup2 cgroup2 rw\n", std::nullopt,
                   std::nullopt},
        FolderCase{"EscapedSpaceInMountPoint", "0::/\n",
                   "24 30 0:22 / /mnt/my\\040groups rw - cgroup2 cgroup2 rw\n",
                   std::pair{Text("/mnt/my groups"), Text("")}, std::nullopt}),
    [](const testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrin
