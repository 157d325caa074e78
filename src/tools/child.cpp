// Starts children with clone, sharing our memory until their exec (no fork of its address space,
// so the cost does not grow with the size of the Python process), and all set-up decided before
// the child exists; where the caller's SIGCHLD could take a child's status, through a keeper.
#include "tools/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/os_error.hpp"

extern char** environ;

namespace kestrin {
namespace {

const Text nul_message = "nul byte found in provided data";

Result<std::pair<UniqueFd, UniqueFd>> make_pipe(PipeSize size) {
    int ends[2];
    // Close-on-exec from birth: a child started at the same moment on another thread must not
    // inherit our pipe ends, or our read would not see end of file until that stranger exits.
    if (::pipe2(ends, O_CLOEXEC) != 0) return os_failure(errno);
    // Where the system refuses the roomy size, the default serves.
    if (size == PipeSize::roomy) (void)::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    return std::pair{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// What the child does between its clone and its exec. It shares our memory, and the keeper that
// starts it is suspended meanwhile, so it makes only system calls: no allocation, no lock. Its
// failure comes back through `error`.
struct ChildStart {
    const std::vector<Text>* candidates;  // the program's paths to try, in PATH order
    char* const* argv;
    int null_input;  // the null device opened by the parent, or -1 to inherit
    int output_end;
    int error_end;
    bool die_with_keeper;
    pid_t keeper = 0;
    volatile int error = 0;
};

// Not instrumented: it runs on a stack of its own, on the memory of a thread that is not its.
__attribute__((noinline, no_sanitize("address", "undefined"))) int run_started_child(void* argument) {
    auto* start = static_cast<ChildStart*>(argument);
    // A handler of the parent's must not run on its memory: every caught signal goes back to its
    // default action (ignored ones stay ignored, as exec keeps them), SIGPIPE and SIGXFSZ too,
    // which Python ignores and ffmpeg must not.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction action {};
        if (::sigaction(signal_number, nullptr, &action) != 0) continue;
        const bool caught = action.sa_handler != SIG_IGN && action.sa_handler != SIG_DFL;
        if (caught || signal_number == SIGPIPE || signal_number == SIGXFSZ) {
            struct sigaction reset {};
            reset.sa_handler = SIG_DFL;
            (void)::sigaction(signal_number, &reset, nullptr);
        }
    }
    if (start->die_with_keeper &&
        (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != start->keeper)) {
        start->error = ESRCH;  // the caller is gone already: nobody would stop this child
        ::_exit(127);
    }
    // dup2 clears close-on-exec on the target, so only 0, 1 and 2 survive the exec; the rest
    // goes too (Python's subprocess closes it as well: a server's listening socket or a
    // library's log file opened without close-on-exec must not live on in ffmpeg).
    if ((start->null_input >= 0 && ::dup2(start->null_input, STDIN_FILENO) < 0) ||
        (start->output_end >= 0 && ::dup2(start->output_end, STDOUT_FILENO) < 0) ||
        (start->error_end >= 0 && ::dup2(start->error_end, STDERR_FILENO) < 0)) {
        start->error = errno;
        ::_exit(127);
    }
#ifdef SYS_close_range
    (void)::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0);
#endif
    // Worker threads block signals, and ffmpeg must still stop on Ctrl-C.
    sigset_t empty;
    sigemptyset(&empty);
    (void)::sigprocmask(SIG_SETMASK, &empty, nullptr);
    // As execvp does: a candidate that is not there, or not ours to run, lets the next one try.
    int error = ENOENT;
    for (const Text& candidate : *start->candidates) {
        ::execve(candidate.c_str(), start->argv, environ);
        if (errno == EACCES) error = EACCES;
        else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != ENODEV &&
                 errno != ETIMEDOUT) {
            error = errno;
            break;
        }
    }
    start->error = error;
    ::_exit(127);
}

// The paths execvp would try for `program`, made before the child exists.
std::vector<Text> program_candidates(const Text& program) {
    if (program.find('/') != Text::npos) return {program};
    const char* path = std::getenv("PATH");
    const std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<Text> candidates;
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = folders.find(':', from);
        const std::string_view folder = folders.substr(from, colon - from);
        candidates.push_back((folder.empty() ? Text(".") : Text(folder)) + "/" + program);
        if (colon == std::string_view::npos) break;
        from = colon + 1;
    }
    return candidates;
}

}  // namespace

// What one start shares with the processes it makes: the child's set-up, their stacks, and what
// a keeper, where one waits for the child, hands over. At a fixed place until the process we
// wait for (the keeper, or else the child) has been reaped.
struct ChildKeeper {
    static constexpr std::size_t stack_size = 128 * 1024;  // each, the keeper's and the child's

    ChildStart start;
    void* stacks = MAP_FAILED;
    std::atomic<int> phase{0};  // 1 once the child has exec'd or failed to (futex word)
    std::atomic<int> status{0};
    pid_t caller = -1;  // our process, which the keeper must outlive by no moment
    pid_t pid = -1;     // the keeper's, or the child's where it has none
    bool kept = false;  // whether a keeper waits for the child
    pid_t child = -1;
    int exit_watch = -1;  // a pidfd of the child, opened by the keeper before it could be reaped
    std::atomic<bool> reaped{false};

    explicit ChildKeeper(const ChildStart& child_start) : start(child_start) {
        stacks = ::mmap(nullptr, 2 * stack_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    }
    ~ChildKeeper() {
        if (stacks != MAP_FAILED) (void)::munmap(stacks, 2 * stack_size);
    }
    ChildKeeper(const ChildKeeper&) = delete;
    ChildKeeper& operator=(const ChildKeeper&) = delete;

    void* keeper_stack_top() const { return static_cast<char*>(stacks) + stack_size; }
    void* child_stack_top() const { return static_cast<char*>(stacks) + 2 * stack_size; }
};

namespace {

// The keeper's word to the starting thread: the child has exec'd, or `error` says why not.
__attribute__((noinline, no_sanitize("address", "undefined"))) void publish(ChildKeeper* keeper,
                                                                           int error) {
    if (error != 0) keeper->start.error = error;
    keeper->phase.store(1, std::memory_order_release);
    (void)::syscall(SYS_futex, reinterpret_cast<int*>(&keeper->phase), FUTEX_WAKE, INT32_MAX,
                    nullptr, nullptr, 0);
}

// The keeper: a process of our memory (so its start costs the same whatever our size) with a
// signal table of its own and no exit signal, which never execs. It starts the child, hands
// over a pidfd of it, waits for it and leaves its wait status behind.
//
// A child of ours would be reaped by the kernel itself, its status lost, wherever the caller
// ignores SIGCHLD (a successful ffmpeg would look failed), or by a caller's SIGCHLD handler that
// waits for any child; exec gives every child SIGCHLD as its exit signal whatever clone was
// told. The keeper is not reaped by either: no exit signal, and invisible to any wait without
// __WALL; and the child's parent is the keeper, whose SIGCHLD is at its default.
//
// It runs on the thread-local storage of the starting thread, which waits in a futex until the
// child has exec'd: only then could a failing call's errno clash, and after it nothing the
// keeper calls can fail. All signals stay blocked in it (they were when it was cloned), and it
// dies with the starting thread, so it never holds our memory after we are gone.
__attribute__((noinline, no_sanitize("address", "undefined"))) int run_keeper(void* argument) {
    auto* keeper = static_cast<ChildKeeper*>(argument);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    (void)::sigaction(SIGCHLD, &default_action, nullptr);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != keeper->caller) {
        publish(keeper, ESRCH);  // the caller is gone already
        ::_exit(0);
    }
    keeper->start.keeper = static_cast<pid_t>(::syscall(SYS_getpid));
    // CLONE_VFORK: the keeper goes on once the child has exec'd or exited.
    const pid_t child = ::clone(run_started_child, keeper->child_stack_top(),
                                CLONE_VM | CLONE_VFORK | SIGCHLD, &keeper->start);
    if (child < 0) {
        publish(keeper, errno);
        ::_exit(0);
    }
#ifdef SYS_pidfd_open
    keeper->exit_watch = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
#endif
    keeper->child = child;
    int status = 0;
    const bool failed = keeper->start.error != 0;
    publish(keeper, 0);
    while (::syscall(SYS_wait4, child, &status, 0, nullptr) < 0) {
    }
    keeper->status.store(failed ? 0 : status, std::memory_order_release);
    keeper->reaped.store(true, std::memory_order_release);
    ::_exit(0);
}

// Whether the child's exit status could be taken from us: the kernel reaps children itself where
// SIGCHLD is ignored (or SA_NOCLDWAIT set), and a handler may wait for any child. Only then is
// a keeper worth its cost (about half a millisecond a start).
bool status_at_risk() {
    struct sigaction action {};
    if (::sigaction(SIGCHLD, nullptr, &action) != 0) return true;
    return action.sa_handler != SIG_DFL || (action.sa_flags & SA_NOCLDWAIT) != 0;
}

Result<std::unique_ptr<ChildKeeper>> start_kept(char* const* argv, const ChildWiring& wiring,
                                                int output_end, int error_end) {
    const std::vector<Text> candidates = program_candidates(argv[0]);
    UniqueFd null_input;
    if (wiring.input == StandardInput::null_device) {
        null_input = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!null_input.valid()) return os_failure(errno);
    }
    auto keeper = std::make_unique<ChildKeeper>(ChildStart{
        &candidates, argv, null_input.get(), output_end, error_end, wiring.die_with_caller});
    if (keeper->stacks == MAP_FAILED) return os_failure(errno);
    keeper->caller = ::getpid();
    keeper->kept = status_at_risk();
    // No signal may reach the keeper or the child before its handlers are reset; the keeper
    // keeps them all blocked.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t pid;
    int clone_error;
    if (keeper->kept) {
        // CLONE_FILES: the pidfd it opens is ours. The low byte, the exit signal, is 0.
        pid = ::clone(run_keeper, keeper->keeper_stack_top(), CLONE_VM | CLONE_FILES,
                      keeper.get());
        clone_error = errno;
        // A keeper killed from outside before its word must not leave us waiting for good.
        while (pid > 0 && keeper->phase.load(std::memory_order_acquire) == 0) {
            timespec pause{0, 100'000'000};
            (void)::syscall(SYS_futex, reinterpret_cast<int*>(&keeper->phase), FUTEX_WAIT, 0,
                            &pause, nullptr, 0);
            int status = 0;
            if (keeper->phase.load(std::memory_order_acquire) == 0 &&
                ::waitpid(pid, &status, WNOHANG | __WALL) == pid) {
                pthread_sigmask(SIG_SETMASK, &previous, nullptr);
                // A child between its clone and its exec may still use the record: it stays.
                (void)keeper.release();
                return Failure{FailureKind::internal, "the child's keeper ended before it"};
            }
        }
    } else {
        // As posix_spawn does: we go on once the child has exec'd or exited.
        keeper->start.keeper = keeper->caller;
        pid = ::clone(run_started_child, keeper->child_stack_top(),
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &keeper->start);
        clone_error = errno;
        if (pid > 0) keeper->child = pid;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return os_failure(clone_error);
    keeper->pid = pid;
    if (keeper->start.error != 0) {
        const int error = keeper->start.error;
        if (keeper->exit_watch >= 0) ::close(keeper->exit_watch);
        int status = 0;
        while (::waitpid(pid, &status, __WALL) < 0 && errno == EINTR) {
        }
        return os_failure(error);
    }
#ifdef SYS_pidfd_open
    // Not reaped yet, so its number can't have passed to another process.
    if (!keeper->kept) keeper->exit_watch = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    return keeper;
}

// A poll that can't be made is tried again this often, with this pause, before reading is given
// up: poll fails only while the process may hold no descriptor at all (RLIMIT_NOFILE at 0),
// which passes when the limit is raised again.
constexpr int poll_attempts = 100;
constexpr auto poll_retry_pause = std::chrono::milliseconds(10);

}  // namespace

bool wait_status_succeeded(int wait_status) {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

ChildProcess::ChildProcess(std::unique_ptr<ChildKeeper> keeper, UniqueFd output, UniqueFd error)
    : keeper_(std::move(keeper)), output_(std::move(output)), error_(std::move(error)),
      exit_watch_(keeper_->exit_watch) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : keeper_(std::move(other.keeper_)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)),
      exit_watch_(std::move(other.exit_watch_)) {}

ChildProcess::~ChildProcess() {
    // Only the text of a failed wait can throw, once waitpid has returned: out of memory while
    // unwinding, that must not end the process.
    try {
        if (keeper_) (void)stop();
    } catch (...) {
    }
}

void ChildProcess::signal_child(int signal_number) {
    // Through the pidfd, which can't reach another process that later took the child's number.
#ifdef SYS_pidfd_send_signal
    if (exit_watch_.valid()) {
        (void)::syscall(SYS_pidfd_send_signal, exit_watch_.get(), signal_number, nullptr, 0);
        return;
    }
#endif
    if (!keeper_->reaped.load(std::memory_order_acquire))
        (void)::kill(keeper_->child, signal_number);
}

Result<int> ChildProcess::stop() {
    output_.reset();
    error_.reset();
    if (!keeper_) return Failure{FailureKind::internal, "child already waited for"};
    signal_child(SIGTERM);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(stop_grace_ms);
    for (;;) {
        int status = 0;
        const pid_t rc = ::waitpid(keeper_->pid, &status, WNOHANG | __WALL);
        if (rc == keeper_->pid) return finish(status);
        if (rc < 0 && errno != EINTR) break;  // wait() below reports it
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (exit_watch_.valid()) {
            pollfd watched{exit_watch_.get(), POLLIN, 0};
            // The child has ended: its keeper follows at once.
            if (::poll(&watched, 1, static_cast<int>(std::min<long long>(left.count(), 50))) > 0)
                return wait();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    signal_child(SIGKILL);
    return wait();
}

Result<int> ChildProcess::wait() {
    output_.reset();
    error_.reset();
    if (!keeper_) return Failure{FailureKind::internal, "child already waited for"};
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(keeper_->pid, &status, __WALL);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int error = errno;
        // A keeper may still run on its stacks: they are left to it.
        if (keeper_->kept) (void)keeper_.release();
        keeper_.reset();
        exit_watch_.reset();
        return os_failure(error);
    }
    return finish(status);
}

int ChildProcess::finish(int wait_status) {
    exit_watch_.reset();
    const int status =
        keeper_->kept ? keeper_->status.load(std::memory_order_acquire) : wait_status;
    keeper_.reset();
    return status;
}

Result<ChildProcess> start_child(const ArgumentList& arguments, const ChildWiring& wiring) {
    if (arguments.empty()) return Failure{FailureKind::internal, "empty argument list"};
    for (const Text& argument : arguments) {
        if (argument.find('\0') != Text::npos) return Failure{FailureKind::os_error, nul_message};
    }

    UniqueFd output_read, output_write, error_read, error_write;
    if (wiring.pipe_output) {
        auto ends = make_pipe(wiring.output_size);
        if (!ends) return ends.failure();
        output_read = std::move(ends.value().first);
        output_write = std::move(ends.value().second);
    }
    if (wiring.pipe_error) {
        auto ends = make_pipe(PipeSize::standard);
        if (!ends) return ends.failure();
        error_read = std::move(ends.value().first);
        error_write = std::move(ends.value().second);
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const Text& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    auto keeper = start_kept(argv.data(), wiring, output_write.get(), error_write.get());
    if (!keeper) return keeper.failure();
    // Our copies of the write ends go now, so that end of file arrives when the child exits.
    return ChildProcess(std::move(keeper.value()), std::move(output_read), std::move(error_read));
}

Result<bool> drain(std::initializer_list<DrainSource> sources, std::size_t read_size) {
    std::vector<pollfd> watched;
    std::vector<const Sink*> sinks;
    for (const DrainSource& source : sources) {
        watched.push_back(pollfd{source.fd, POLLIN, 0});
        sinks.push_back(&source.sink);
    }
    std::vector<char> buffer(read_size);
    std::size_t open = watched.size();
    while (open > 0) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return os_failure(errno);
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            const ssize_t got = ::read(watched[i].fd, buffer.data(), buffer.size());
            if (got > 0) {
                (*sinks[i])(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
            } else if (got == 0) {
                watched[i].fd = -1;  // poll skips negative descriptors
                --open;
            } else if (errno != EINTR && errno != EAGAIN) {
                return Failure{FailureKind::internal,
                               "reading a child's output failed: " + os_error_text(errno)};
            }
        }
    }
    return true;
}

Result<int> run_draining(const ArgumentList& arguments, const Sink& output, const Sink& error,
                         PipeSize output_size) {
    auto started =
        start_child(arguments, ChildWiring{StandardInput::null_device, true, true, output_size});
    if (!started) return started.failure();
    ChildProcess& child = started.value();
    auto drained = drain({{child.output_pipe().get(), output}, {child.error_pipe().get(), error}});
    auto status = child.wait();
    if (!drained) return drained.failure();
    return status;
}

Result<CollectedOutput> run_collecting(const ArgumentList& arguments, PipeSize output_size) {
    CollectedOutput collected;
    auto status = run_draining(
        arguments, [&](std::string_view bytes) { collected.output.append(bytes); }, discard,
        output_size);
    if (!status) return status.failure();
    collected.wait_status = status.value();
    return collected;
}

Result<int> run_pass_through(const ArgumentList& arguments) {
    auto started = start_child(arguments, ChildWiring{});
    if (!started) return started.failure();
    return started.value().wait();
}

Result<ChildProcess> start_streaming(const ArgumentList& arguments, StandardInput input,
                                     bool die_with_caller) {
    return start_child(arguments,
                       ChildWiring{input, false, true, PipeSize::standard, die_with_caller});
}

Result<ChildEnd> follow(ChildProcess& child, const Sink& error, const FollowWatch& watch) {
    const int pipe = child.error_pipe().get();
    // Only we hold the read end, so non-blocking reads change nothing for the child.
    (void)::fcntl(pipe, F_SETFL, ::fcntl(pipe, F_GETFL) | O_NONBLOCK);
    const int exit_fd = child.exit_watch().get();
    const int cancel_fd = watch.cancellation ? watch.cancellation->fd() : -1;
    // Without a way to be woken, a cancellation is still noticed at the next periodic wake.
    const bool periodic = watch.on_wake || (watch.cancellation && cancel_fd < 0);
    std::vector<char> buffer(8192);

    // Reads at most `limit` bytes, as many as there are now; false at end of file.
    const auto read_some = [&](std::size_t limit) {
        while (limit > 0) {
            const ssize_t got = ::read(pipe, buffer.data(), std::min(buffer.size(), limit));
            if (got > 0) {
                error(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
                limit -= static_cast<std::size_t>(got);
            } else if (got == 0) {
                return false;
            } else if (errno != EINTR) {
                return errno == EAGAIN;  // another error ends reading as end of file would
            }
        }
        return true;
    };

    bool pipe_open = true;
    for (int failures = 0; failures < poll_attempts;) {
        if (watch.cancellation && watch.cancellation->tripped()) {
            auto status = child.stop();
            if (!status) return status.failure();
            return ChildEnd{status.value(), true};
        }
        if (!pipe_open && exit_fd < 0) break;
        pollfd watched[3] = {{pipe_open ? pipe : -1, POLLIN, 0},
                             {exit_fd, POLLIN, 0},
                             {cancel_fd, POLLIN, 0}};
        const int rc = ::poll(watched, 3, periodic ? wake_interval_ms : -1);
        if (rc < 0) {
            if (errno == EINTR) {
                if (watch.on_wake) watch.on_wake();
                continue;
            }
            ++failures;
            std::this_thread::sleep_for(poll_retry_pause);
            continue;
        }
        failures = 0;
        if (rc == 0) {
            if (watch.on_wake) watch.on_wake();
            continue;
        }
        if (watched[0].revents != 0) pipe_open = read_some(buffer.size());
        if (watched[1].revents != 0) {
            // What the child wrote is in the pipe by now; bytes that a process which inherited
            // the pipe writes later are not waited for.
            int waiting = 0;
            if (pipe_open && ::ioctl(pipe, FIONREAD, &waiting) == 0 && waiting > 0)
                (void)read_some(static_cast<std::size_t>(waiting));
            break;
        }
    }
    auto status = child.wait();
    if (!status) return status.failure();
    return ChildEnd{status.value(), false};
}

}  // namespace kestrin
