// cropdetect logs one "crop=W:H:X:Y" per analysed frame, its estimate growing as it sees more of
// the picture, so the last one is the answer. Only a well-formed rectangle counts: ffmpeg echoes
// the input's own metadata into the same log, so a title tag could otherwise hand transform a
// filter chain of the file's choosing, and cropdetect's "nothing found" estimate over black
// frames (a negative size) would make transform fail. The opening run's exit status does not
// matter, since a run that fails late may still have logged good estimates.
//
// The opening alone misleads on films: studio logos and black often run longer than the 100
// frames read. So a film of a minute or more is measured a second time on windows across it, and
// the two rectangles are joined: no answer cuts away picture that either run saw, but for
// cropdetect's own rounding.
#include "media/black_bars.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "media/probe.hpp"
#include "tools/child.hpp"
#include "tools/film_windows.hpp"
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

// What cropdetect=24:16:0 rounds its sizes to.
constexpr std::int64_t crop_rounding = 16;

struct Rectangle {
    std::int64_t width, height, x, y;
};

// Only for a text that is_crop_rectangle accepted.
Rectangle parse_rectangle(std::string_view text) {
    std::array<std::int64_t, 4> fields{};
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (auto& field : fields) {
        at = std::from_chars(at, end, field).ptr;
        if (at != end) ++at;  // the ":" after it
    }
    return {fields[0], fields[1], fields[2], fields[3]};
}

// One axis of cropdetect's rounding: the start moved up to an even pixel (for 4:2:0 chroma), the
// length cut to a multiple of the rounding and what was cut shared out around it.
void round_as_cropdetect(std::int64_t& start, std::int64_t& length) {
    const std::int64_t end = start + length;
    start = (start + 1) & ~std::int64_t{1};
    length = end - start;
    if (length < crop_rounding) return;
    const std::int64_t cut = length % crop_rounding;
    length -= cut;
    start += (cut / 2 + 1) & ~std::int64_t{1};
}

}  // namespace

ArgumentList cropdetect_arguments(const Text& path) {
    return {"ffmpeg", "-hide_banner", "-loglevel", "info",   "-i",   path, "-vf",
            "cropdetect=24:16:0", "-vframes", "100",  "-f", "null", "-"};
}

// -noaccurate_seek keeps the frames from the key frame on, and -t then counts from that key
// frame. Of each window only its key frame is decoded (-skip_frame nokey), and
// cropdetect skips none of the eight (its fourth field): a key frame of 1080p is a whole picture,
// and the other eleven frames of a window cost most of this run while seldom showing more.
// Measured on the 3-minute 1080p bench film and the three film-like test clips, the run alone,
// least of three, ffmpeg 5.1 / 9 on 2 busy cores: twelve frames a window 745 / 665 ms, the key
// frame alone 577 / 507 ms, the same answer on every clip; sixteen windows of a quarter second
// cost more (1186 / 883 ms, and 934 / 716 ms with key frames), as opening an input costs more
// than decoding one frame; two threads a window 652 / 554 ms and a thread per core 1126 / 925 ms:
// one decoding thread a window, since a window is one frame, too few for frame threads to pay for
// starting them, and eight decoders each with a thread per core would crowd a large machine.
// One input instead of eight, the concat demuxer listing the file eight times with in and out
// points (in a "data:" URL), takes a third less processor time (359 against 530 ms, ffmpeg 9,
// 2 quiet cores) but decodes no key frame of an H.264 transport stream and fewer of an MPEG-2
// one, where these inputs decode all eight; and -probesize 32 -analyzeduration 0 on each input
// saves nothing on Matroska and makes MPEG-2 program and transport streams fail.
ArgumentList sampling_arguments(const Text& path, double duration) {
    return film_windows_arguments(path, duration,
                                  {"-threads", "1", "-skip_frame", "nokey", "-noaccurate_seek"},
                                  "cropdetect=24:16:0:0[windows]");
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

Text united_rectangle(std::string_view first, std::string_view second) {
    const Rectangle a = parse_rectangle(first);
    const Rectangle b = parse_rectangle(second);
    Rectangle united{0, 0, std::min(a.x, b.x), std::min(a.y, b.y)};
    united.width = std::max(a.x + a.width, b.x + b.width) - united.x;
    united.height = std::max(a.y + a.height, b.y + b.height) - united.y;
    round_as_cropdetect(united.x, united.width);
    round_as_cropdetect(united.y, united.height);
    Text text = std::to_string(united.width) + ":" + std::to_string(united.height) + ":" +
                std::to_string(united.x) + ":" + std::to_string(united.y);
    if (!is_crop_rectangle(text)) return Text(first);
    return text;
}

namespace {

bool is_sampled(double duration) {
    // N/A comes from the probe as 0; inf and nan would give no time to seek to.
    return std::isfinite(duration) && duration >= shortest_windowed_film;
}

// Standard input from the null device, standard output read and dropped, standard error scanned
// as it arrives: a long log costs no more than its longest line.
Result<ChildProcess> start_scanned(const ArgumentList& arguments) {
    return start_child(arguments, ChildWiring{StandardInput::null_device, true, true});
}

}  // namespace

// The two runs go side by side once the probe has answered: the opening's run keeps about one
// core busy, and the windows' run fills another, so with a core to spare the windows add hardly
// any time (on a machine with none, they cost their own processor time, about half a second for
// a 1080p film). Each log has its own scan, read as it arrives from one poll over all four pipes.
//
// Unlike the opening's, the windows' run counts only when it ended well: a window that failed or
// a killed run would otherwise hand over the estimate of a part of the film only. Nothing the
// windows' run does may fail the call: when it cannot be started the opening goes on alone, and
// when reading the pipes fails while both run (a failure poll cannot pin on either), the
// windows' run is given up and waited for, and then the opening is read on its own, so that only
// a failure of the opening's reading is raised, as when it ran alone.
Result<Text> detect_black_bars(const Text& path) {
    auto probed = probe_file(path);
    if (!probed) return probed.failure();
    auto opening = start_scanned(cropdetect_arguments(path));
    if (!opening) return opening.failure();
    ChildProcess& opening_child = opening.value();
    CropScan opening_scan;
    const Sink opening_sink = [&](std::string_view bytes) { opening_scan.feed(bytes); };
    std::optional<ChildProcess> windows_child;
    CropScan windows_scan;
    if (is_sampled(probed.value().duration)) {
        if (auto started = start_scanned(sampling_arguments(path, probed.value().duration))) {
            windows_child.emplace(std::move(started.value()));
        }
    }

    Result<bool> drained = true;
    bool windows_read = false;
    if (windows_child) {
        drained = drain({{opening_child.output_pipe().get(), discard},
                         {opening_child.error_pipe().get(), opening_sink},
                         {windows_child->output_pipe().get(), discard},
                         {windows_child->error_pipe().get(),
                          [&](std::string_view bytes) { windows_scan.feed(bytes); }}});
        windows_read = static_cast<bool>(drained);
    }
    std::optional<Text> sampled;
    if (windows_child) {
        // Waited for before the opening is read again: whatever made poll fail may last as long
        // as the windows' run does.
        const auto status = windows_child->wait();
        if (windows_read && status && wait_status_succeeded(status.value())) {
            sampled = windows_scan.finish();
        }
    }
    // A pipe already at its end gives end of file again, so reading the opening once more after
    // a failure goes on from where the common poll stopped.
    if (!windows_read) {
        drained = drain({{opening_child.output_pipe().get(), discard},
                         {opening_child.error_pipe().get(), opening_sink}});
    }
    auto status = opening_child.wait();
    if (!drained) return drained.failure();
    if (!status) return status.failure();

    std::optional<Text> rectangle = opening_scan.finish();
    if (sampled) {
        rectangle = rectangle ? united_rectangle(*rectangle, *sampled) : std::move(*sampled);
    }
    if (rectangle) return std::move(*rectangle);
    return std::to_string(probed.value().width) + ":" + std::to_string(probed.value().height) +
           ":0:0";
}

}  // namespace kestrin
