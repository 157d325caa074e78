// Remux: every stream copied into a new container with one silent ffmpeg run, after a short
// ffprobe run that counts the input's attachments.
#pragma once

#include <cstddef>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// Lists the stream indices of the input's attachments (fonts), one a line.
ArgumentList attachment_probe_arguments(const Text& input);

// The number of lines of that list that are a stream index.
std::size_t count_attachment_lines(std::string_view report);

// The copy list; `attachments` is how many attachment streams get their own tags back.
ArgumentList remux_arguments(const Text& input, const Text& output, std::size_t attachments);

// True exactly when ffmpeg ended with status 0; a failure when it could not be started or
// waited for.
Result<bool> remux(const Text& input, const Text& output);

}  // namespace kestrin
