// Black-bar detection: ffmpeg's cropdetect filter over the first 100 frames, and the crop
// rectangle picked from its log.
#pragma once

#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

ArgumentList cropdetect_arguments(const Text& path);

// What follows the last "crop=" of `error_log` (ffmpeg's standard error, raw bytes) to the end
// of its line, White_Space trimmed; with no "crop=" at all, the probed picture as
// "W:H:0:0".
Text crop_rectangle(std::string_view error_log, const VideoMetadata& probed);

// Probes `path` first (whose failure comes back unchanged, before ffmpeg is started), then runs
// cropdetect on it.
Result<Text> detect_black_bars(const Text& path);

}  // namespace kestrin
