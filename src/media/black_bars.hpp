// Black-bar detection: ffmpeg's cropdetect filter over the first 100 frames and, for a film of a
// minute or more, over eight short windows spread across it, the two runs side by side; the crop
// rectangle picked from each log, and the two joined.
#pragma once

#include <optional>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

ArgumentList cropdetect_arguments(const Text& path);

// The sampling run over a film of `duration` seconds: windows of half a second from 10 %, 20 %,
// ..., 80 % of it, each reached by fast seeking (from the key frame at or before its start) and
// decoded at its key frames only, joined into one stream for cropdetect.
ArgumentList sampling_arguments(const Text& path, double duration);

// Whether `text` is a rectangle as cropdetect writes it, "W:H:X:Y": four decimal integers in
// plain form (no sign, no leading zero, at most the largest C int), width and height above 0.
bool is_crop_rectangle(std::string_view text);

// The smallest rectangle holding both crop rectangles, rounded as cropdetect rounds its own:
// width and height down to a multiple of 16 (a side shorter than that stays as it is), the
// offsets moved by about half of what was taken off. Where that would leave a field beyond the
// largest C int, `first` comes back unchanged.
Text united_rectangle(std::string_view first, std::string_view second);

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

// Probes `path` first (whose failure comes back unchanged, before ffmpeg is started), then runs
// cropdetect on its opening and, when the probed duration is finite and at least
// shortest_windowed_film (tools/film_windows.hpp), at the same time on windows across it. The
// answer is the union of what the two runs found, else the probed picture as "W:H:0:0". Only a
// failure to start or read the opening's run is a failure: the sampling run refines and,
// whatever way it goes wrong, leaves the opening's answer. Both children have ended when it
// returns.
Result<Text> detect_black_bars(const Text& path);

}  // namespace kestrin
