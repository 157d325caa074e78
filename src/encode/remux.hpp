// Remux: every stream copied into a new container with one silent ffmpeg run.
#pragma once

#include "kestrin.hpp"

namespace kestrin {

ArgumentList remux_arguments(const Text& input, const Text& output);

// True exactly when ffmpeg ended with status 0; a failure when it could not be started or
// waited for.
Result<bool> remux(const Text& input, const Text& output);

}  // namespace kestrin
