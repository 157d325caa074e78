// The child starter against real programs of the system: sh (and the tools it runs) and sleep.
#include "tools/child.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tools/os_error.hpp"

namespace kestrin {
namespace {

TEST(ChildStarter, DrainsMegabytesOnBothStreamsWithoutStalling) {
    std::size_t output = 0, error = 0;
    auto status = run_draining({"sh", "-c",
                                "head -c 3000000 /dev/zero; head -c 4000000 /dev/zero >&2; "
                                "head -c 1000000 /dev/zero"},
                               [&](std::string_view bytes) { output += bytes.size(); },
                               [&](std::string_view bytes) { error += bytes.size(); });
    ASSERT_TRUE(status.ok()) << status.failure().message;
    EXPECT_EQ(output, 4000000u);
    EXPECT_EQ(error, 4000000u);
    EXPECT_TRUE(wait_status_succeeded(status.value()));
}

TEST(ChildStarter, CollectingRunGivesTheNullDeviceAsInputAndDropsStandardError) {
    auto run = run_collecting({"sh", "-c", "stat -L -c %t:%T /dev/stdin; cat; echo x >&2"},
                              PipeSize::standard);
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(run.value().output.view(), "1:3\n");  // major 1, minor 3: /dev/null
}

TEST(ChildStarter, KilledChildIsAFailure) {
    auto run = run_collecting({"sh", "-c", "kill -TERM $$"}, PipeSize::standard);
    ASSERT_TRUE(run.ok());
    EXPECT_TRUE(WIFSIGNALED(run.value().wait_status));
    EXPECT_FALSE(wait_status_succeeded(run.value().wait_status));
}

struct ExitCase {
    int code;
    bool succeeded;
    // The kernel then reaps children itself: a keeper must wait for ours, or the status is lost.
    bool sigchld_ignored = false;
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << "exit " << c.code << (c.sigchld_ignored ? ", SIGCHLD ignored" : "");
}

// The caller's SIGCHLD ignored for one test.
class IgnoredSigchld {
public:
    explicit IgnoredSigchld(bool ignored)
        : previous_(ignored ? std::signal(SIGCHLD, SIG_IGN) : SIG_ERR) {}
    ~IgnoredSigchld() {
        if (previous_ != SIG_ERR) std::signal(SIGCHLD, previous_);
    }

private:
    void (*previous_)(int);
};

class ExitStatus : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitStatus, DecidesSuccess) {
    IgnoredSigchld ignored(GetParam().sigchld_ignored);
    auto status = run_pass_through({"sh", "-c", "exit " + std::to_string(GetParam().code)});
    ASSERT_TRUE(status.ok()) << status.failure().message;
    EXPECT_EQ(wait_status_succeeded(status.value()), GetParam().succeeded);
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitStatus,
                         testing::Values(ExitCase{0, true}, ExitCase{1, false},
                                         ExitCase{8, false}, ExitCase{255, false},
                                         ExitCase{0, true, true}, ExitCase{8, false, true}));

TEST(ChildStarter, AKeptChildStillFailsToStartAndStops) {
    IgnoredSigchld ignored(true);
    auto missing = run_pass_through({"kestrin-no-such-program-anywhere"});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure().message, "No such file or directory (os error 2)");
    auto started = start_streaming({"sleep", "30"}, StandardInput::null_device, true);
    ASSERT_TRUE(started.ok());
    auto status = started.value().stop();
    ASSERT_TRUE(status.ok()) << status.failure().message;
    EXPECT_TRUE(WIFSIGNALED(status.value()) && WTERMSIG(status.value()) == SIGTERM);
}

TEST(ChildStarter, MissingProgramIsAnOsErrorNamingEnoent) {
    auto run = run_collecting({"kestrin-no-such-program-anywhere"}, PipeSize::standard);
    ASSERT_FALSE(run.ok());
    EXPECT_EQ(run.failure().kind, FailureKind::os_error);
    EXPECT_EQ(run.failure().message, "No such file or directory (os error 2)");
}

TEST(ChildStarter, NonExecutableProgramIsAnOsError) {
    const auto folder = std::filesystem::temp_directory_path() / "kestrin-child-test";
    std::filesystem::create_directories(folder);
    const auto script = folder / "not-executable";
    std::ofstream(script) << "#!/bin/sh\nexit 0\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_read);
    auto run = run_pass_through({script.string()});
    std::filesystem::remove_all(folder);
    ASSERT_FALSE(run.ok());
    EXPECT_EQ(run.failure().message, "Permission denied (os error 13)");
}

TEST(ChildStarter, NulInAnyArgumentStartsNothing) {
    auto run = run_pass_through({"sh", "-c", std::string("touch /tmp/x\0y", 14)});
    ASSERT_FALSE(run.ok());
    EXPECT_EQ(run.failure().kind, FailureKind::os_error);
    EXPECT_EQ(run.failure().message, "nul byte found in provided data");
}

TEST(ChildStarter, ArgumentsArriveUnsplitAndUnquoted) {
    const std::string odd = "-a path with 'quotes' and \"more\" $HOME";
    auto run = run_collecting({"sh", "-c", "printf '%s|' \"$@\"", "sh", odd, "", "--"},
                              PipeSize::standard);
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(run.value().output.view(), odd + "||--|");
}

TEST(ChildStarter, ChildHasEmptySignalMaskAndDefaultSigpipe) {
    sigset_t blocked, previous;
    sigfillset(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    auto old_handler = std::signal(SIGPIPE, SIG_IGN);
    auto run = run_collecting({"sh", "-c", "grep -E '^(SigBlk|SigIgn)' /proc/self/status"},
                              PipeSize::standard);
    std::signal(SIGPIPE, old_handler);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(run.ok());
    EXPECT_NE(run.value().output.view().find("SigBlk:\t0000000000000000"), std::string::npos)
        << run.value().output.view();
    // SIGPIPE is signal 13: bit 12 of the ignored set must be clear.
    const auto at = run.value().output.view().find("SigIgn:\t");
    ASSERT_NE(at, std::string::npos);
    const unsigned long long ignored =
        std::stoull(std::string(run.value().output.view().substr(at + 8, 16)), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << 12), 0u);
}

TEST(ChildStarter, StreamingRunPipesOnlyStandardError) {
    auto started = start_streaming({"sh", "-c", "echo out; echo err >&2; exit 3"},
                                   StandardInput::null_device);
    ASSERT_TRUE(started.ok());
    std::string error;
    auto drained =
        drain({{started.value().error_pipe().get(), [&](std::string_view b) { error += b; }}});
    ASSERT_TRUE(drained.ok());
    auto status = started.value().wait();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(error, "err\n");
    EXPECT_EQ(WEXITSTATUS(status.value()), 3);
}

TEST(ChildStarter, NoPipeEndLeaksIntoAChild) {
    // Started while the pipe of another child is open in this process: the second child must
    // not see it. The first child's own life does not matter, only our read end of its pipe.
    auto first = start_streaming({"true"}, StandardInput::null_device);
    ASSERT_TRUE(first.ok());
    char target[64] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(first.value().error_pipe().get());
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    auto run = run_collecting({"sh", "-c", "for f in /proc/self/fd/*; do readlink $f; done"},
                              PipeSize::standard);
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(run.value().output.view().find(target), std::string::npos) << run.value().output.view();
}

// Following a child: cancelled at each stage, a sink that throws, a pipe that outlives it.
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

pid_t pid_from(const std::string& text) { return static_cast<pid_t>(std::stoi(text)); }

enum class CancelAt { before_start, while_running };

class FollowCancelled : public testing::TestWithParam<CancelAt> {};

TEST_P(FollowCancelled, StopsAndReapsTheChildAtOnce) {
    Cancellation cancellation;
    // A child that ignores the polite signal: only the kill after the grace ends it.
    auto started = start_streaming({"sh", "-c", "trap '' TERM; echo $$ >&2; exec sleep 30"},
                                   StandardInput::null_device);
    ASSERT_TRUE(started.ok());
    if (GetParam() == CancelAt::before_start) cancellation.trip();
    std::string error;
    std::jthread tripper;
    if (GetParam() == CancelAt::while_running) {
        tripper = std::jthread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            cancellation.trip();
        });
    }
    const auto began = std::chrono::steady_clock::now();
    auto end = follow(started.value(), [&](std::string_view b) { error += b; },
                      FollowWatch{&cancellation, {}});
    ASSERT_TRUE(end.ok());
    EXPECT_TRUE(end.value().cancelled);
    EXPECT_LT(seconds_since(began), 0.2 + ChildProcess::stop_grace_ms / 1000.0 + 1.0);
    EXPECT_TRUE(WIFSIGNALED(end.value().wait_status));
    if (!error.empty()) {
        EXPECT_FALSE(alive(pid_from(error)));
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, FollowCancelled,
                         testing::Values(CancelAt::before_start, CancelAt::while_running));

TEST(Follow, ATripAfterTheEndChangesNothing) {
    Cancellation cancellation;
    auto started = start_streaming({"sh", "-c", "exit 0"}, StandardInput::null_device);
    ASSERT_TRUE(started.ok());
    auto end = follow(started.value(), discard, FollowWatch{&cancellation, {}});
    cancellation.trip();
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end.value().cancelled);
    EXPECT_TRUE(wait_status_succeeded(end.value().wait_status));
}

TEST(Follow, ASinkThatThrowsStopsTheChild) {
    std::string pid;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_THROW(
        {
            auto started = start_streaming({"sh", "-c", "echo $$ >&2; exec sleep 30"},
                                           StandardInput::null_device);
            ASSERT_TRUE(started.ok());
            (void)follow(started.value(),
                         [&](std::string_view bytes) {
                             pid = std::string(bytes);
                             throw std::runtime_error("enough");
                         },
                         FollowWatch{});
        },
        std::runtime_error);
    EXPECT_LT(seconds_since(began), 5.0);
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(alive(pid_from(pid)));
}

TEST(Follow, EndsWhenTheChildExitsWhateverInheritedItsPipe) {
    auto started = start_streaming({"sh", "-c", "sleep 5 >&2 & echo done >&2; exit 4"},
                                   StandardInput::null_device);
    ASSERT_TRUE(started.ok());
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    auto end = follow(started.value(), [&](std::string_view b) { error += b; }, FollowWatch{});
    ASSERT_TRUE(end.ok());
    EXPECT_LT(seconds_since(began), 3.0);
    EXPECT_EQ(error, "done\n");
    EXPECT_EQ(WEXITSTATUS(end.value().wait_status), 4);
}

TEST(OsErrorText, HasTheMessageThenTheNumber) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(EPIPE), "Broken pipe (os error 32)");
}

}  // namespace
}  // namespace kestrin

namespace kestrin {
namespace {

TEST(ByteBuffer, KeepsEveryByteAcrossGrowth) {
    ByteBuffer buffer;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::string piece(static_cast<std::size_t>(i % 97 + 1), static_cast<char>(i));
        buffer.append(piece);
        expected += piece;
    }
    buffer.append(std::string(200000, 'z'));  // more than one doubling at once
    expected += std::string(200000, 'z');
    EXPECT_EQ(buffer.view(), expected);
    EXPECT_EQ(ByteBuffer().view(), "");
}

}  // namespace
}  // namespace kestrin
