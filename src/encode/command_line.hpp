// The ffmpeg command line of one encode: a pure function of the task's six texts and the
// input's cover pictures and of what was decided about its fields, so the same task of the same
// file always gives the same list.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// "crop=<crop without any "crop=">,scale=...:h=<res>:flags=lanczos,setsar=1": crop, scale to the
// height `res` with a width truncated to a multiple of 16, and mark the pixels square. A
// `field_filter` (deinterlacing, inverse telecine) goes first, so that the crop and the scale
// work on whole pictures of the same size.
Text video_filter_text(std::string_view crop, std::string_view res,
                       std::string_view field_filter = {});

// `attached_pictures`: the input indices of the cover pictures to leave out; `field_filter`:
// what the fields need, empty for progressive pictures.
ArgumentList encode_arguments(const EncodeTask& task,
                              std::span<const std::size_t> attached_pictures,
                              std::string_view field_filter = {});

}  // namespace kestrin
