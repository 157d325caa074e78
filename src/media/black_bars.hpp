// Black-bar detection: ffmpeg's cropdetect filter over the first 100 frames, and the crop
// rectangle picked from its log.
#pragma once

#include <optional>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

ArgumentList cropdetect_arguments(const Text& path);

// Whether `text` is a rectangle as cropdetect writes it, "W:H:X:Y": four decimal integers in
// plain form (no sign, no leading zero, at most the largest C int), width and height above 0.
bool is_crop_rectangle(std::string_view text);

// Reads ffmpeg's standard error (raw bytes, in pieces cut anywhere) for the last candidate: a
// line whose text after its last "crop=", White_Space trimmed, is a crop rectangle. Keeps only
// the current line from its last "crop=" on (or its last few bytes while it holds none) and the
// last rectangle found.
class CropScan {
public:
    void feed(std::string_view bytes);
    // The last candidate's rectangle once the log has ended; nothing when no line was one.
    std::optional<Text> finish();

private:
    void take(std::string_view piece);
    void end_line();

    Text line_;
    bool line_has_marker_ = false;
    std::optional<Text> rectangle_;
};

// The last candidate of the whole `error_log`, or else the probed picture as "W:H:0:0".
Text crop_rectangle(std::string_view error_log, const VideoMetadata& probed);

// Probes `path` first (whose failure comes back unchanged, before ffmpeg is started), then runs
// cropdetect on it.
Result<Text> detect_black_bars(const Text& path);

}  // namespace kestrin
