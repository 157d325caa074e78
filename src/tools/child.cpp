// Starts children with posix_spawnp: the cost does not grow with the size of the Python
// process (no fork of its address space), and all set-up is declared before the child exists.
#include "tools/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    bool attributes_made = false;
    bool actions_made = false;
    ~SpawnSetup() {
        if (actions_made) posix_spawn_file_actions_destroy(&actions);
        if (attributes_made) posix_spawnattr_destroy(&attributes);
    }
};

// Everything the child gets before exec, in one place: which descriptors become 0, 1 and 2,
// and no other (Python's subprocess closes the rest too: a server's listening socket or a
// library's log file opened without close-on-exec must not live on in ffmpeg), an empty signal
// mask (worker threads block signals, and ffmpeg must still stop on Ctrl-C), and SIGPIPE and
// SIGXFSZ back at their default actions (Python ignores both).
int prepare_spawn(SpawnSetup& setup, const ChildWiring& wiring, int output_end, int error_end) {
    if (int rc = posix_spawnattr_init(&setup.attributes)) return rc;
    setup.attributes_made = true;
    if (int rc = posix_spawn_file_actions_init(&setup.actions)) return rc;
    setup.actions_made = true;

    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    if (int rc = posix_spawnattr_setsigmask(&setup.attributes, &empty)) return rc;
    if (int rc = posix_spawnattr_setsigdefault(&setup.attributes, &defaults)) return rc;
    if (int rc = posix_spawnattr_setflags(&setup.attributes,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF))
        return rc;

    if (wiring.input == StandardInput::null_device) {
        if (int rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                      O_RDONLY, 0))
            return rc;
    }
    // dup2 clears close-on-exec on the target, so only 1 and 2 survive the exec.
    if (output_end >= 0) {
        if (int rc = posix_spawn_file_actions_adddup2(&setup.actions, output_end, STDOUT_FILENO))
            return rc;
    }
    if (error_end >= 0) {
        if (int rc = posix_spawn_file_actions_adddup2(&setup.actions, error_end, STDERR_FILENO))
            return rc;
    }
    // Last, once the pipe ends are in place: the C library closes the rest in the child (with
    // close_range), so no code of ours runs between the spawn and the exec.
    if (int rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1))
        return rc;
    return 0;
}

// What the child of a death-signalled start does between vfork and exec. It shares the parent's
// memory, whose thread is suspended meanwhile, so it makes only system calls: no allocation, no
// lock. Its failure to exec comes back through `error`.
struct DeathSignalledStart {
    pid_t parent;
    const std::vector<Text>* candidates;  // the program's paths to try, in PATH order
    char* const* argv;
    int null_input;  // the null device opened by the parent, or -1 to inherit
    int output_end;
    int error_end;
    volatile int error = 0;
};

[[noreturn]] __attribute__((noinline)) void run_started_child(DeathSignalledStart* start) {
    // A handler of the parent's must not run on its memory: every caught signal goes back to its
    // default action (ignored ones stay ignored, as exec keeps them), SIGPIPE and SIGXFSZ too.
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
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != start->parent) {
        start->error = ESRCH;  // the caller is gone already: nobody would stop this child
        ::_exit(127);
    }
    if ((start->null_input >= 0 && ::dup2(start->null_input, STDIN_FILENO) < 0) ||
        (start->output_end >= 0 && ::dup2(start->output_end, STDOUT_FILENO) < 0) ||
        (start->error_end >= 0 && ::dup2(start->error_end, STDERR_FILENO) < 0)) {
        start->error = errno;
        ::_exit(127);
    }
#ifdef SYS_close_range
    (void)::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, 0);
#endif
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

Result<pid_t> start_death_signalled(char* const* argv, const ChildWiring& wiring, int output_end,
                                    int error_end) {
    const std::vector<Text> candidates = program_candidates(argv[0]);
    UniqueFd null_input;
    if (wiring.input == StandardInput::null_device) {
        null_input = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!null_input.valid()) return os_failure(errno);
    }
    DeathSignalledStart start{::getpid(), &candidates, argv, null_input.get(), output_end,
                              error_end};
    // No signal may reach the child before its handlers are reset.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::vfork();
    if (pid == 0) run_started_child(&start);
    const int vfork_error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return os_failure(vfork_error);
    if (start.error != 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return os_failure(start.error);
    }
    return pid;
}

// A descriptor that becomes readable when the child exits. The child is not reaped yet, so its
// number can't have passed to another process.
UniqueFd open_exit_watch(pid_t pid) {
#ifdef SYS_pidfd_open
    if (pid > 0) return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
#endif
    return UniqueFd();
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

ChildProcess::ChildProcess(pid_t pid, UniqueFd output, UniqueFd error)
    : pid_(pid), output_(std::move(output)), error_(std::move(error)),
      exit_watch_(open_exit_watch(pid)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)),
      exit_watch_(std::move(other.exit_watch_)) {}

ChildProcess::~ChildProcess() {
    // Only the text of a failed wait can throw, once waitpid has returned: out of memory while
    // unwinding, that must not end the process.
    try {
        if (pid_ > 0) (void)stop();
    } catch (...) {
    }
}

Result<int> ChildProcess::stop() {
    output_.reset();
    error_.reset();
    if (pid_ <= 0) return Failure{FailureKind::internal, "child already waited for"};
    (void)::kill(pid_, SIGTERM);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(stop_grace_ms);
    for (;;) {
        int status = 0;
        const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
        if (rc == pid_) {
            pid_ = -1;
            exit_watch_.reset();
            return status;
        }
        if (rc < 0 && errno != EINTR) break;  // wait() below reports it
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (exit_watch_.valid()) {
            pollfd watched{exit_watch_.get(), POLLIN, 0};
            (void)::poll(&watched, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    (void)::kill(pid_, SIGKILL);
    return wait();
}

Result<int> ChildProcess::wait() {
    output_.reset();
    error_.reset();
    exit_watch_.reset();
    const pid_t pid = std::exchange(pid_, -1);
    if (pid <= 0) return Failure{FailureKind::internal, "child already waited for"};
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return os_failure(errno);
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

    if (wiring.die_with_caller) {
        auto pid = start_death_signalled(argv.data(), wiring, output_write.get(), error_write.get());
        if (!pid) return pid.failure();
        return ChildProcess(pid.value(), std::move(output_read), std::move(error_read));
    }

    SpawnSetup setup;
    if (int rc = prepare_spawn(setup, wiring, output_write.get(), error_write.get()))
        return os_failure(rc);

    pid_t pid = -1;
    int rc;
    do {
        rc = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
    } while (rc == EINTR);
    if (rc != 0) return os_failure(rc);
    // Our copies of the write ends go now, so that end of file arrives when the child exits.
    return ChildProcess(pid, std::move(output_read), std::move(error_read));
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
