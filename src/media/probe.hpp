// The probe routine: one ffprobe run with a JSON report, the film's video stream picked from it
// (the first that is not a cover picture; the first picture only when there is no other), and the
// VideoMetadata record filled from that stream and the format section.
#pragma once

#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

ArgumentList probe_arguments(const Text& path);

// The record from ffprobe's standard output: a value_error failure when it is not one JSON
// document, a runtime_error one when it has no stream list or no video stream in it. Members
// missing or of another type give the record's defaults.
Result<VideoMetadata> read_probe_report(std::string_view report);

// Runs ffprobe on `path` and reads its report; its exit status and standard error are not
// looked at, only what it wrote to standard output.
Result<VideoMetadata> probe_file(const Text& path);

}  // namespace kestrin
