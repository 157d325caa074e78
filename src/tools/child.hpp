// The child starter: one way to start ffmpeg or ffprobe, with three wirings of its standard
// streams (draining, pass-through, streaming). Every child is waited for, on every path.
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "kestrin.hpp"
#include "tools/byte_buffer.hpp"
#include "tools/cancellation.hpp"
#include "tools/unique_fd.hpp"

namespace kestrin {

enum class StandardInput {
    inherit,      // the caller's terminal or file, so that ffmpeg's "q" still works
    null_device,  // nothing to read, and no terminal to put into raw mode
};

enum class PipeSize {
    standard,  // the system's default
    // 1 MiB where the system allows it, so that a child writing a large output goes on without
    // waiting for each of our reads. Every such pipe counts against the user's pipe-buffer
    // quota (fs.pipe-user-pages-soft): once it is spent, every new pipe of the user gets one
    // page. So only an output that is collected whole and may be large asks for one.
    roomy,
};

struct ChildWiring {
    StandardInput input = StandardInput::inherit;
    bool pipe_output = false;  // standard output to a pipe the caller reads, else inherited
    bool pipe_error = false;   // standard error likewise, always of the standard size
    PipeSize output_size = PipeSize::standard;
    // The child is killed when the thread that starts it ends, the process's death included:
    // ffmpeg ignores SIGPIPE and would otherwise encode on to its end after its caller is gone.
    bool die_with_caller = false;
};

struct ChildKeeper;

// True exactly when the child ended normally with exit status 0.
bool wait_status_succeeded(int wait_status);

// A started child. It is waited for exactly once: by wait() or stop(), or else by the destructor,
// which stops it: whatever leaves its owner early (an exception, no memory) must not leave an
// encode running to its natural end. All three first close the pipes, so that a child writing
// to a full one is not blocked forever: its write fails instead.
class ChildProcess {
public:
    ChildProcess(std::unique_ptr<ChildKeeper> keeper, UniqueFd output, UniqueFd error);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    UniqueFd& output_pipe() { return output_; }
    UniqueFd& error_pipe() { return error_; }
    // Readable once the child has exited (a pidfd); invalid where the kernel has none.
    const UniqueFd& exit_watch() const { return exit_watch_; }

    // Closes the pipes, then waits; gives the wait status. After a failed wait the child is
    // not waited for again.
    Result<int> wait();

    // Closes the pipes, asks the child to end (SIGTERM: ffmpeg then closes its output), kills
    // it after stop_grace if it has not, and reaps it; gives the wait status.
    Result<int> stop();

    static constexpr int stop_grace_ms = 1000;

private:
    void signal_child(int signal_number);
    int finish(int wait_status);

    std::unique_ptr<ChildKeeper> keeper_;  // gone once waited for
    UniqueFd output_;
    UniqueFd error_;
    UniqueFd exit_watch_;
};

Result<ChildProcess> start_child(const ArgumentList& arguments, const ChildWiring& wiring);

// Where drained bytes go: collecting into a text and reading records are two small sinks of
// one loop.
using Sink = std::function<void(std::string_view)>;

struct DrainSource {
    int fd;
    Sink sink;
};

// Reads every source until all reach end of file, all at once with poll: a child that fills one
// pipe while we block on the other would otherwise stall forever. Fails when poll or a read
// fails (one interrupted by a signal is tried again).
// `read_size` is the most one read takes: large for collecting whole outputs, small where each
// piece is looked at as soon as it arrives.
Result<bool> drain(std::initializer_list<DrainSource> sources, std::size_t read_size = 65536);

// The sink of a stream that must be read, so that the child never blocks writing to it, but
// whose bytes nobody needs.
inline void discard(std::string_view) {}

// Standard input from the null device; standard output and error each handed to its sink as it
// arrives, so that the caller keeps only what it needs. Gives the wait status.
Result<int> run_draining(const ArgumentList& arguments, const Sink& output, const Sink& error,
                         PipeSize output_size = PipeSize::standard);

struct CollectedOutput {
    int wait_status = 0;
    ByteBuffer output;
};

// Standard input from the null device, standard output collected whole, standard error read
// and dropped: the run of an ffprobe whose report is all that matters.
Result<CollectedOutput> run_collecting(const ArgumentList& arguments, PipeSize output_size);

// All three streams inherited; gives the wait status.
Result<int> run_pass_through(const ArgumentList& arguments);

// Standard error on a pipe, which follow() reads.
Result<ChildProcess> start_streaming(const ArgumentList& arguments, StandardInput input,
                                     bool die_with_caller = false);

struct FollowWatch {
    // When tripped, the child is stopped and reaped at once.
    const Cancellation* cancellation = nullptr;
    // Called at least every wake_interval_ms, and as soon as a signal interrupts the wait, on
    // the following thread: where an interpreter checks for Ctrl-C. It may trip the cancellation.
    std::function<void()> on_wake;
};

inline constexpr int wake_interval_ms = 50;

struct ChildEnd {
    int wait_status = 0;
    bool cancelled = false;  // stopped through the cancellation; wait_status is the stop's
};

// Hands the child's standard error to `error` as it arrives until the child has exited and
// what it wrote before has been read, then reaps it. A process that inherited the pipe and
// lives on (a helper ffmpeg started) does not hold the end back; where the kernel gives no
// pidfd, the end of the pipe does, as it always did.
Result<ChildEnd> follow(ChildProcess& child, const Sink& error, const FollowWatch& watch);

}  // namespace kestrin
