// The types every room of kestrin shares: texts, argument lists, the probe record, the encode task,
// and the Result that carries either a value or a failure up to the Python boundary.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestrin {

// UTF-8 bytes; may be empty and may hold NUL.
using Text = std::string;

// The child's argument vector, program name first; each item reaches the child byte for byte.
using ArgumentList = std::vector<Text>;

// What one probe reports about a file.
struct VideoMetadata {
    Text filename = "unknown";
    std::int64_t width = 0;
    std::int64_t height = 0;
    Text codec = "unknown";
    double duration = 0.0;
    Text pix_fmt = "unknown";
    Text bitrate = "0";
};

// The six texts of one encode: the parameters of transform and one item of a batch.
struct EncodeTask {
    Text input;
    Text output;
    Text codec;
    Text res;
    Text crop;
    Text flags;
};

// The six texts of a task in parameter order, for filling one from six arguments or looking
// through them all.
inline std::array<Text*, 6> task_texts(EncodeTask& task) {
    return {&task.input, &task.output, &task.codec, &task.res, &task.crop, &task.flags};
}
inline std::array<const Text*, 6> task_texts(const EncodeTask& task) {
    return {&task.input, &task.output, &task.codec, &task.res, &task.crop, &task.flags};
}

// Which exception a failure becomes at the boundary. The kinds are named for the Python
// exceptions because that mapping is what the module promises its callers, and one name for both
// keeps them from drifting apart; only src/lib, which includes Python.h, makes the exceptions.
enum class FailureKind {
    os_error,       // a child could not be started, polled or waited for, or an argument holds NUL
    value_error,    // a report that cannot be read, or an invalid worker count
    runtime_error,  // a report without what the operation needs
    out_of_memory,  // the core could not allocate: becomes MemoryError
    internal,       // a broken invariant: becomes the internal-fault exception
};

struct Failure {
    FailureKind kind;
    Text message;
    int error_number = 0;  // the system's errno behind an os_error, where there is one
};

// Either a value or a failure; failures travel as values and become exceptions only in src/lib.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Failure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// What the encode routine gives back: the completion flag (true exactly when ffmpeg's wait
// status was zero) or the failure to start or wait for it.
using EncodeResult = Result<bool>;

}  // namespace kestrin
