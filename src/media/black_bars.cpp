// cropdetect logs one "crop=W:H:X:Y" per analysed frame, its estimate growing as it sees more of
// the picture, so the last one is the answer. Only a well-formed rectangle counts: ffmpeg echoes
// the input's own metadata into the same log, so a title tag could otherwise hand transform a
// filter chain of the file's choosing, and cropdetect's "nothing found" estimate over black
// frames (a negative size) would make transform fail. The exit status does not matter, since a
// run that fails late may still have logged good estimates.
#include "media/black_bars.hpp"

#include <string>

#include "media/probe.hpp"
#include "tools/child.hpp"
#include "tools/text.hpp"

namespace kestrin {
namespace {

constexpr std::string_view crop_marker = "crop=";
// A marker may arrive cut between two pieces: this many bytes of a line are kept meanwhile.
constexpr std::size_t marker_prefix = crop_marker.size() - 1;

// One field of a rectangle: what printf's "%d" writes for a C int that is not negative.
bool is_plain_number(std::string_view field, bool may_be_zero) {
    constexpr std::string_view largest = "2147483647";
    if (field.empty() || field.size() > largest.size()) return false;
    for (char c : field) {
        if (c < '0' || c > '9') return false;
    }
    if (field[0] == '0') return may_be_zero && field.size() == 1;
    return field.size() < largest.size() || field <= largest;
}


}  // namespace

ArgumentList cropdetect_arguments(const Text& path) {
    return {"ffmpeg", "-hide_banner", "-loglevel", "info",   "-i",   path, "-vf",
            "cropdetect=24:16:0", "-vframes", "100",  "-f", "null", "-"};
}

bool is_crop_rectangle(std::string_view text) {
    for (int field = 0; field < 4; ++field) {
        const std::size_t colon = text.find(':');
        const bool last = field == 3;
        if ((colon == text.npos) != last) return false;
        const bool is_size = field < 2;
        if (!is_plain_number(text.substr(0, colon), !is_size)) return false;
        if (!last) text.remove_prefix(colon + 1);
    }
    return true;
}

// Lines end at "\n". A lone "\r" does not end a line: ffmpeg's progress display ends its updates
// with one, so an update and the next log message share a line; a "\r" before the "\n" is
// White_Space and goes with the trimming.
void CropScan::feed(std::string_view bytes) {
    for (;;) {
        const std::size_t end = bytes.find('\n');
        take(bytes.substr(0, end));
        if (end == bytes.npos) return;
        end_line();
        bytes.remove_prefix(end + 1);
    }
}

void CropScan::take(std::string_view piece) {
    // A marker that ends in `piece` starts at most marker_prefix bytes before it.
    const std::size_t search_from = line_.size() > marker_prefix ? line_.size() - marker_prefix : 0;
    line_.append(piece);
    const std::size_t found = std::string_view(line_).substr(search_from).rfind(crop_marker);
    if (found != std::string_view::npos) {
        line_.erase(0, search_from + found);
        line_has_marker_ = true;
    } else if (!line_has_marker_ && line_.size() > marker_prefix) {
        line_.erase(0, line_.size() - marker_prefix);
    }
}

void CropScan::end_line() {
    if (line_has_marker_) {
        // Invalid UTF-8 becomes U+FFFD, which no rectangle holds; the marker and the bytes
        // around it are ASCII, so decoding the tail alone decodes it as the whole line would.
        const Text value = decode_utf8_lossy(std::string_view(line_).substr(crop_marker.size()));
        const std::string_view trimmed = trim_white_space(value);
        if (is_crop_rectangle(trimmed)) rectangle_ = Text(trimmed);
    }
    line_.clear();
    line_has_marker_ = false;
}

std::optional<Text> CropScan::finish() {
    // Text after the last "\n" is a last line of its own.
    end_line();
    return std::move(rectangle_);
}

namespace {

// The last candidate of a scanned log, or the whole picture when it held none.
Text chosen_rectangle(CropScan& scan, const VideoMetadata& probed) {
    if (auto rectangle = scan.finish()) return std::move(*rectangle);
    return std::to_string(probed.width) + ":" + std::to_string(probed.height) + ":0:0";
}

}  // namespace

Text crop_rectangle(std::string_view error_log, const VideoMetadata& probed) {
    CropScan scan;
    scan.feed(error_log);
    return chosen_rectangle(scan, probed);
}

Result<Text> detect_black_bars(const Text& path) {
    auto probed = probe_file(path);
    if (!probed) return probed.failure();
    // Standard error is scanned as it arrives: a long log costs no more than its longest line.
    CropScan scan;
    auto run = run_draining(cropdetect_arguments(path), discard,
                            [&](std::string_view bytes) { scan.feed(bytes); });
    if (!run) return run.failure();
    return chosen_rectangle(scan, probed.value());
}

}  // namespace kestrin
