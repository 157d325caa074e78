// ffmpeg's own messages (every line of its standard error that is not a statistics record),
// kept bounded, and the console lines that show them: after the banner of a failed encode, and
// after the progress line of one that succeeded while ffmpeg complained (decode errors in the
// source, say). Without them a False in a batch of hundreds says nothing of why.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kestrin.hpp"

namespace kestrin {

// The first few messages, each cut to a sane length, and how many more came: a source with
// thousands of decode errors, or a hostile stream of them, costs a few kilobytes.
class KeptMessages {
public:
    static constexpr std::size_t kept_lines = 20;
    static constexpr std::size_t longest_line = 1000;

    // One record of ffmpeg's standard error that is not a statistics record. Records that are
    // only White_Space, and x265's own "x265 [info]:" and "x265 [warning]:" lines and closing
    // summary (ffmpeg 5.1 lets them through at -loglevel error), are not messages; its errors
    // are.
    void add(std::string_view record);

    const std::vector<Text>& lines() const { return lines_; }
    std::size_t more() const { return more_; }

private:
    std::vector<Text> lines_;
    std::size_t more_ = 0;
};

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
