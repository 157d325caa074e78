// Interlaced sources: one short idet run on the pictures themselves decides between inverse
// telecine, deinterlacing and leaving the film alone, for a file whose stream says it is coded
// as fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// What idet counted over the run: its repeated-field and multi-frame lines.
struct FieldCounts {
    std::int64_t neither = 0, repeated_top = 0, repeated_bottom = 0;
    std::int64_t top_first = 0, bottom_first = 0, progressive = 0, undetermined = 0;
};

enum class FieldTreatment {
    video,        // every frame is two moments: deinterlace, one frame per frame
    telecine,     // film with repeated fields: match the fields again, back at the film's rate
    progressive,  // whole pictures in interlaced clothing: nothing to do
    undecided,    // nothing counted, or no clear answer: deinterlace, combing being worse
};

struct FieldDecision {
    FieldTreatment treatment = FieldTreatment::undecided;
    // The order idet found in the combed frames. Frames are not always flagged as coded (x264's
    // interlaced H.264 is not), so the filters are told rather than left to guess.
    bool top_first = true;

    bool operator==(const FieldDecision&) const = default;
};

FieldDecision decide_fields(const FieldCounts& counts);

// The filter that goes first in the encode's chain: empty for progressive pictures.
Text field_filter_text(const FieldDecision& decision);

// idet on the first video stream that is not a cover picture: the opening of a short file,
// else windows across it, each reached by fast seeking and joined into one stream.
ArgumentList field_analysis_arguments(const Text& path, std::optional<double> duration);

// Reads idet's summary from ffmpeg's standard error as it arrives. Keeps only the current line.
class FieldCountScan {
public:
    void feed(std::string_view bytes);
    // The counts once the log has ended; nothing when neither summary line came.
    std::optional<FieldCounts> finish();

private:
    void end_line();

    Text line_;
    FieldCounts counts_;
    bool repeated_seen_ = false, multi_seen_ = false;
};

// The analysis run, then the decision: undecided when the run can't start, fails or is killed.
FieldDecision analyse_fields(const Text& path, std::optional<double> duration);

}  // namespace kestrin
