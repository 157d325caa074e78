// cropdetect logs one "crop=W:H:X:Y" per analysed frame, its estimate growing as it sees more of
// the picture, so the last one is the answer. The log is read after ffmpeg has ended; its exit
// status does not matter, since a run that fails late may still have logged good estimates.
#include "media/black_bars.hpp"

#include <optional>
#include <string>

#include "media/probe.hpp"
#include "tools/child.hpp"
#include "tools/text.hpp"

namespace kestrin {
namespace {

constexpr std::string_view crop_marker = "crop=";

// Lines end at "\n" (with a "\r" just before it dropped). A lone "\r" does not end a line:
// ffmpeg's progress display ends its updates with one, so an update and the next log message
// share a line.
std::optional<std::string_view> last_crop_value(std::string_view log) {
    std::optional<std::string_view> value;
    for (std::size_t start = 0; start < log.size();) {
        const std::size_t end = log.find('\n', start);
        std::string_view line = log.substr(start, end == log.npos ? log.npos : end - start);
        if (end != log.npos && line.ends_with('\r')) line.remove_suffix(1);
        const std::size_t marker = line.rfind(crop_marker);
        if (marker != line.npos) value = line.substr(marker + crop_marker.size());
        if (end == log.npos) break;
        start = end + 1;
    }
    return value;
}

}  // namespace

ArgumentList cropdetect_arguments(const Text& path) {
    return {"ffmpeg", "-hide_banner", "-loglevel", "info",   "-i",   path, "-vf",
            "cropdetect=24:16:0", "-vframes", "100",  "-f", "null", "-"};
}

Text crop_rectangle(std::string_view error_log, const VideoMetadata& probed) {
    const Text log = decode_utf8_lossy(error_log);
    if (const auto value = last_crop_value(log)) return Text(trim_white_space(*value));
    return std::to_string(probed.width) + ":" + std::to_string(probed.height) + ":0:0";
}

Result<Text> detect_black_bars(const Text& path) {
    auto probed = probe_file(path);
    if (!probed) return probed.failure();
    auto run = run_capturing(cropdetect_arguments(path));
    if (!run) return run.failure();
    return crop_rectangle(run.value().error, probed.value());
}

}  // namespace kestrin
