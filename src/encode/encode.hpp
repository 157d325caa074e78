// The encode routine behind transform and every batch task: list the input's streams (and, for a
// film coded as fields, measure them), echo the command, run ffmpeg with its statistics on a
// pipe, redraw the progress line, report the completion flag.
#pragma once

#include "kestrin.hpp"
#include "tools/child.hpp"

namespace kestrin {

// Runs one encode. Needs no interpreter and may run on any thread. `input` is the child's
// standard input: inherited for transform (so "q" still stops ffmpeg), the null device for a
// batch task (parallel children must not share a terminal).
EncodeResult run_encode(const EncodeTask& task, StandardInput input);

}  // namespace kestrin
