// A stream's field_order only says how the pictures were coded: DVDs and broadcasts flag whole
// pictures (progressive film, PsF) as interlaced as often as real interlaced video, and
// hard-telecined film is coded as interlaced frames of which two in five are combed. Only the
// pictures tell them apart, so idet measures a sample of them before the encode.
#include "encode/interlace.hpp"

#include <algorithm>
#include <charconv>
#include <string>

#include "tools/child.hpp"
#include "tools/film_windows.hpp"

namespace kestrin {
namespace {

// Enough pictures for idet's multi-frame detection to settle and for the 3:2 pattern to repeat
// two dozen times; a second or so of decoding for 1080i on two cores.
constexpr std::string_view opening_frames = "120";
// idet's summary lines are short; a longer line is no summary and is not kept whole.
constexpr std::size_t longest_line = 1024;

// The decimal count after `label` (and any spaces) in `line`, or nothing.
std::optional<std::int64_t> count_after(std::string_view line, std::string_view label) {
    const std::size_t at = line.find(label);
    if (at == std::string_view::npos) return std::nullopt;
    line.remove_prefix(at + label.size());
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc{} || end == line.data() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

// Thresholds, from idet's counts on 4-second pans (ffmpeg 5.1 and 9; the clips of the
// real-media tests):
//   interlaced video (576i, 480i, 1080i; MPEG-2 and H.264): multi-frame 97-100 % combed, all in
//     one field order; repeated fields 0-1 %.
//   hard-telecined film (3:2): 40 % of frames repeat a field (24 + 24 of 120), 95-97 % combed.
//   PsF and progressive pictures: repeated fields 0 %; what idet calls combed is split evenly
//     between the two orders (51 against 45 on a fine test pattern), since both fields of a
//     whole picture show the same moment and neither order fits better, or is near 0 %.
// So a tenth of the frames repeating a field, a third combed, and an order taking 80 % of the
// combed frames leave wide margins on each side.
FieldDecision decide_fields(const FieldCounts& c) {
    const std::int64_t frames = c.top_first + c.bottom_first + c.progressive + c.undetermined;
    const std::int64_t fields = c.neither + c.repeated_top + c.repeated_bottom;
    if (frames <= 0) return {};
    const std::int64_t combed = c.top_first + c.bottom_first;
    const std::int64_t one_order = std::max(c.top_first, c.bottom_first);
    const std::int64_t repeated = c.repeated_top + c.repeated_bottom;
    const bool mostly_combed = combed * 3 >= frames;
    const bool ordered = one_order * 10 >= combed * 8;
    const bool top_first = c.top_first >= c.bottom_first;
    if (!mostly_combed || !ordered) return {FieldTreatment::progressive, top_first};
    if (fields > 0 && repeated * 10 >= fields) return {FieldTreatment::telecine, top_first};
    return {FieldTreatment::video, top_first};
}

Text field_filter_text(const FieldDecision& decision) {
    const std::string_view order = decision.top_first ? "tff" : "bff";
    switch (decision.treatment) {
        case FieldTreatment::video:
            // Every frame measured combed, whatever its flags say.
            return Text("bwdif=mode=send_frame:parity=") + Text(order);
        case FieldTreatment::telecine:
            // fieldmatch marks the frames it could not match as interlaced; decimate then drops
            // the one duplicate in five, back to the film's rate.
            return Text("fieldmatch=order=") + Text(order) + ",bwdif=mode=send_frame:parity=" +
                   Text(order) + ":deint=interlaced,decimate";
        case FieldTreatment::undecided:
            return "bwdif=mode=send_frame";
        case FieldTreatment::progressive:
            break;
    }
    return {};
}

// A film is measured on black-bar detection's windows (every frame of each: idet needs
// neighbouring fields), a shorter file on its opening.
ArgumentList field_analysis_arguments(const Text& path, std::optional<double> duration) {
    if (duration && *duration >= shortest_windowed_film) {
        return film_windows_arguments(path, *duration, {"-noaccurate_seek"}, "idet[windows]");
    }
    return {"ffmpeg", "-hide_banner", "-loglevel", "info", "-i", path, "-map", "0:V:0", "-vf",
            "idet", "-frames:v", Text(opening_frames), "-f", "null", "-"};
}

void FieldCountScan::feed(std::string_view bytes) {
    for (;;) {
        const std::size_t end = bytes.find_first_of("\r\n");
        const std::string_view piece = bytes.substr(0, end);
        line_.append(piece.substr(0, longest_line - std::min(longest_line, line_.size())));
        if (end == std::string_view::npos) return;
        end_line();
        bytes.remove_prefix(end + 1);
    }
}

void FieldCountScan::end_line() {
    const std::string_view line = line_;
    if (line.find("Repeated Fields:") != std::string_view::npos) {
        const auto neither = count_after(line, "Neither:");
        const auto top = count_after(line, "Top:");
        const auto bottom = count_after(line, "Bottom:");
        if (neither && top && bottom) {
            counts_.neither = *neither;
            counts_.repeated_top = *top;
            counts_.repeated_bottom = *bottom;
            repeated_seen_ = true;
        }
    } else if (line.find("Multi frame detection:") != std::string_view::npos) {
        const auto top = count_after(line, "TFF:");
        const auto bottom = count_after(line, "BFF:");
        const auto progressive = count_after(line, "Progressive:");
        const auto undetermined = count_after(line, "Undetermined:");
        if (top && bottom && progressive && undetermined) {
            counts_.top_first = *top;
            counts_.bottom_first = *bottom;
            counts_.progressive = *progressive;
            counts_.undetermined = *undetermined;
            multi_seen_ = true;
        }
    }
    line_.clear();
}

std::optional<FieldCounts> FieldCountScan::finish() {
    end_line();
    if (!repeated_seen_ && !multi_seen_) return std::nullopt;
    return counts_;
}

FieldDecision analyse_fields(const Text& path, std::optional<double> duration) {
    FieldCountScan scan;
    const auto run = run_draining(field_analysis_arguments(path, duration), discard,
                                  [&](std::string_view bytes) { scan.feed(bytes); });
    if (!run || !wait_status_succeeded(run.value())) return {};
    const auto counts = scan.finish();
    if (!counts) return {};
    return decide_fields(*counts);
}

}  // namespace kestrin
