// The encode routine behind transform and every batch task: list the input's streams (and, for a
// film coded as fields, measure them), echo the command, run ffmpeg with its statistics on a
// pipe, redraw the progress line, keep and show ffmpeg's own messages, report the completion flag.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "encode/progress.hpp"
#include "kestrin.hpp"
#include "tools/cancellation.hpp"
#include "tools/child.hpp"

namespace kestrin {

enum class EncodeCaller {
    // Standard input inherited, so "q" still stops ffmpeg.
    transform,
    // Standard input from the null device (parallel children must not share a terminal), and
    // ffmpeg's messages on the console name the task's output, since tasks run side by side.
    batch_task,
};

struct EncodeOptions {
    EncodeCaller caller = EncodeCaller::transform;
    // Standard input from the null device whatever the caller: an encode that runs beside the
    // caller's own work must not read, or put into raw mode, its terminal.
    bool null_input = false;
    // ffmpeg is killed when the thread that runs the encode ends, the caller's death included.
    bool die_with_caller = false;
    // Nothing is written to the console: the caller shows what it takes from the outcome.
    bool quiet = false;
    // Tripped from any thread, it stops ffmpeg and ends the encode at once.
    const Cancellation* cancellation = nullptr;
    // Each statistics record, parsed, on the encoding thread. With it, the progress line is not
    // drawn: whoever takes the records shows them. May throw: ffmpeg is then stopped.
    std::function<void(const StatisticsRecord&)> on_record;
    // See FollowWatch::on_wake.
    std::function<void()> on_wake;
};

// What one encode came to: the completion flag, ffmpeg's own messages kept bounded, and its last
// statistics record.
struct EncodeOutcome {
    bool succeeded = false;
    bool cancelled = false;  // stopped through the cancellation (never succeeded then)
    std::vector<Text> messages;
    std::size_t more_messages = 0;
    std::optional<StatisticsRecord> last_record;
    ArgumentList arguments;  // ffmpeg's, as echoed
};

// Runs one encode. Needs no interpreter and may run on any thread.
Result<EncodeOutcome> encode_with_messages(const EncodeTask& task, const EncodeOptions& options);

// The same, for callers that need only the flag.
EncodeResult run_encode(const EncodeTask& task, EncodeCaller caller);

}  // namespace kestrin
