// Short windows spread across a film, joined into one stream for a measuring filter: black-bar
// detection and the field analysis of an interlaced encode look at a film the same way.
#pragma once

#include <initializer_list>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// Films shorter than this (or of unknown length) are measured on their opening alone: their
// first frames are a large part of them, and windows half a second long at a tenth of the way
// would crowd each other.
constexpr double shortest_windowed_film = 60.0;

// ffmpeg measuring eight windows of half a second, from 10 %, 20 %, ..., 80 % of `duration`,
// with `filter` (which ends the graph in "[windows]"). Each window is an input of its own, so that
// -ss seeks the demuxer instead of decoding up to the start, with `input_options` before it; "V"
// leaves cover pictures out, and nothing but the filter's output is mapped, so no sound is
// decoded.
ArgumentList film_windows_arguments(const Text& path, double duration,
                                    std::initializer_list<std::string_view> input_options,
                                    std::string_view filter);

}  // namespace kestrin
