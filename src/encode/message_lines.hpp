// The console lines that carry ffmpeg's own messages: after the banner of a failed encode, and
// after the progress line of one that succeeded while ffmpeg complained (decode errors in the
// source, say). Without them a False in a batch of hundreds says nothing of why.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// The lines under the banner of a failed encode: each kept message on a line of its own, then how
// many more there were. `task_output` names a batch task's output, since tasks run side by side;
// a transform has none. Empty when ffmpeg said nothing.
Text failure_message_lines(std::span<const Text> messages, std::size_t more,
                           std::optional<std::string_view> task_output);

// One line after the progress line of a successful encode: how many messages, and the first.
// Empty when ffmpeg said nothing.
Text success_message_line(std::span<const Text> messages, std::size_t more,
                          std::optional<std::string_view> task_output);

}  // namespace kestrin
