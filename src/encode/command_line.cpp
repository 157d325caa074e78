// The fixed options come first and the caller's flags last, just before the output, so a flag
// always overrides a fixed option of the same name. Only the global metadata is dropped: stream
// and chapter tags (languages, track and chapter titles) are carried over.
#include "encode/command_line.hpp"

#include <string>

#include "tools/text.hpp"

namespace kestrin {
namespace {

bool contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

void append_encoder_settings(ArgumentList& arguments, const EncodeTask& task) {
    if (contains(task.codec, "x265") || contains(task.codec, "hevc")) {
        arguments.insert(arguments.end(), {"-pix_fmt", "yuv420p10le", "-profile:v", "main10"});
        // Any mention of x265-params in the flags means the caller tunes x265 itself.
        if (!contains(task.flags, "x265-params")) {
            arguments.insert(arguments.end(),
                             {"-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0"});
        }
    } else if (contains(task.codec, "x264")) {
        arguments.insert(arguments.end(),
                         {"-pix_fmt", "yuv420p", "-profile:v", "high", "-level", "4.1"});
    }
}

}  // namespace

Text video_filter_text(std::string_view crop, std::string_view res,
                       std::string_view field_filter) {
    Text filter;
    if (!field_filter.empty()) {
        filter += field_filter;
        filter += ',';
    }
    filter += "crop=";
    filter += remove_all(crop, "crop=");
    filter += ",scale=w='trunc(oh*a/16)*16':h=";
    filter += res;
    filter += ":flags=lanczos,setsar=1";
    return filter;
}

ArgumentList encode_arguments(const EncodeTask& task,
                              std::span<const std::size_t> attached_pictures,
                              std::string_view field_filter) {
    // "-dn" right after "-map 0": data streams (camera timecode tracks, phone telemetry) have no
    // encoder, Matroska refuses them and MP4 cannot copy them, so keeping them would fail every
    // encode of such footage. MP4 and MOV outputs rebuild the timecode from the video's tags.
    ArgumentList arguments{"ffmpeg", "-y", "-hide_banner", "-loglevel", "error", "-stats",
                           "-i", task.input,
                           "-map", "0", "-dn"};
    // A cover picture is a video stream too: the crop and scale of the film would apply to it,
    // and no crop fits both, so ffmpeg fails. It can't be copied either while "-vf" applies to
    // every video output ("Filtering and streamcopy cannot be used together"): it is left out.
    for (const std::size_t index : attached_pictures) {
        arguments.push_back("-map");
        arguments.push_back("-0:" + std::to_string(index));
    }
    // "-fps_mode" alone: ffmpeg 9 rejects the older "-vsync", and 5.1 already knows "-fps_mode".
    arguments.insert(arguments.end(), {"-map_metadata:g", "-1",
                                       "-map_chapters", "0",
                                       "-vf", video_filter_text(task.crop, task.res, field_filter),
                                       "-fps_mode", "cfr",
                                       "-c:v", task.codec});
    append_encoder_settings(arguments, task);
    arguments.insert(arguments.end(), {"-c:a", "copy", "-c:s", "copy"});
    for (Text& token : split_at_white_space(task.flags)) arguments.push_back(std::move(token));
    arguments.push_back(task.output);
    return arguments;
}

}  // namespace kestrin
