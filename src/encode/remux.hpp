// Remux: every stream copied into a new container with one silent ffmpeg run, after the stream
// listing has counted the input's attachments.
#pragma once

#include <cstddef>

#include "kestrin.hpp"

namespace kestrin {

// The copy list; `attachments` is how many attachment streams get their own tags back.
ArgumentList remux_arguments(const Text& input, const Text& output, std::size_t attachments);

// True exactly when ffmpeg ended with status 0; a failure when it could not be started or
// waited for.
Result<bool> remux(const Text& input, const Text& output);

}  // namespace kestrin
