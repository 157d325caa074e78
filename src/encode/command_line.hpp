// The ffmpeg command line of one encode: a pure function of the task's six texts and the
// input's cover pictures, so the same task of the same file always gives the same list.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// "crop=<crop without any "crop=">,scale=...:h=<res>:flags=lanczos,setsar=1": crop, scale to the
// height `res` with a width truncated to a multiple of 16, and mark the pixels square.
Text video_filter_text(std::string_view crop, std::string_view res);

// `attached_pictures`: the input indices of the cover pictures to leave out.
ArgumentList encode_arguments(const EncodeTask& task,
                              std::span<const std::size_t> attached_pictures);

}  // namespace kestrin
