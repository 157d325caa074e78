// The child starter: one way to start ffmpeg or ffprobe, with three wirings of its standard
// streams (capturing, pass-through, streaming). Every child is waited for, on every path.
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string_view>

#include "kestrin.hpp"
#include "tools/byte_buffer.hpp"
#include "tools/unique_fd.hpp"

namespace kestrin {

enum class StandardInput {
    inherit,      // the caller's terminal or file, so that ffmpeg's "q" still works
    null_device,  // nothing to read, and no terminal to put into raw mode
};

struct ChildWiring {
    StandardInput input = StandardInput::inherit;
    bool pipe_output = false;  // standard output to a pipe the caller reads, else inherited
    bool pipe_error = false;   // standard error likewise
};

// True exactly when the child ended normally with exit status 0.
bool wait_status_succeeded(int wait_status);

// A started child. It is waited for exactly once: by wait(), or else by the destructor, which
// first closes the pipes so that a child still writing to them ends on SIGPIPE instead of
// blocking forever.
class ChildProcess {
public:
    ChildProcess(pid_t pid, UniqueFd output, UniqueFd error);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    UniqueFd& output_pipe() { return output_; }
    UniqueFd& error_pipe() { return error_; }

    // Closes the pipes, then waits; gives the wait status. After a failed wait the child is
    // not waited for again.
    Result<int> wait();

private:
    pid_t pid_;
    UniqueFd output_;
    UniqueFd error_;
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
// pipe while we block on the other would otherwise stall forever. Fails only on a read error.
// `read_size` is the most one read takes: large for collecting whole outputs, small where each
// piece is looked at as soon as it arrives.
Result<bool> drain(std::initializer_list<DrainSource> sources, std::size_t read_size = 65536);

// The sink of a stream that must be read, so that the child never blocks writing to it, but
// whose bytes nobody needs.
inline void discard(std::string_view) {}

// Standard input from the null device; standard output and error each handed to its sink as it
// arrives, so that the caller keeps only what it needs. Gives the wait status.
Result<int> run_draining(const ArgumentList& arguments, const Sink& output, const Sink& error);

struct CapturedOutput {
    int wait_status = 0;
    ByteBuffer output;
    ByteBuffer error;
};

// Standard input from the null device, standard output and error collected whole.
Result<CapturedOutput> run_capturing(const ArgumentList& arguments);

// All three streams inherited; gives the wait status.
Result<int> run_pass_through(const ArgumentList& arguments);

// Standard error on a pipe that the caller reads to end of file before calling wait().
Result<ChildProcess> start_streaming(const ArgumentList& arguments, StandardInput input);

}  // namespace kestrin
