// The encode routine behind transform and every batch task: list the input's streams (and, for a
// film coded as fields, measure them), echo the command, run ffmpeg with its statistics on a
// pipe, redraw the progress line, keep and show ffmpeg's own messages, report the completion flag.
#pragma once

#include <cstddef>
#include <vector>

#include "kestrin.hpp"
#include "tools/child.hpp"

namespace kestrin {

enum class EncodeCaller {
    // Standard input inherited, so "q" still stops ffmpeg.
    transform,
    // Standard input from the null device (parallel children must not share a terminal), and
    // ffmpeg's messages on the console name the task's output, since tasks run side by side.
    batch_task,
};

// What one encode came to: the completion flag and ffmpeg's own messages, kept bounded.
struct EncodeOutcome {
    bool succeeded = false;
    std::vector<Text> messages;
    std::size_t more_messages = 0;
};

// Runs one encode. Needs no interpreter and may run on any thread.
Result<EncodeOutcome> encode_with_messages(const EncodeTask& task, EncodeCaller caller);

// The same, for callers that need only the flag.
EncodeResult run_encode(const EncodeTask& task, EncodeCaller caller);

}  // namespace kestrin
