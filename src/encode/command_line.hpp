// The ffmpeg command line of one encode: a pure function of the task's six texts, so the same
// task always gives the same list and building it cannot fail.
#pragma once

#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// "crop=<crop without any "crop=">,scale=...:h=<res>:flags=lanczos,setsar=1": crop, scale to the
// height `res` with a width truncated to a multiple of 16, and mark the pixels square.
Text video_filter_text(std::string_view crop, std::string_view res);

ArgumentList encode_arguments(const EncodeTask& task);

}  // namespace kestrin
