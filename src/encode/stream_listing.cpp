// The listing is CSV rather than JSON: three short fields a line, and no field holds a comma
// (an index, a kind such as "video", a flag).
#include "encode/stream_listing.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>

#include "tools/child.hpp"

namespace kestrin {
namespace {

// The field of `line` up to its next comma or its end, taken off the front.
std::string_view take_field(std::string_view& line) {
    const std::size_t end = line.find(',');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
    return field;
}

std::optional<std::size_t> decimal_index(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

ArgumentList stream_listing_arguments(const Text& input) {
    return {"ffprobe", "-v", "quiet", "-show_entries",
            "stream=index,codec_type:stream_disposition=attached_pic", "-of", "csv=p=0", input};
}

std::optional<StreamListing> read_stream_listing(std::string_view listing) {
    StreamListing streams;
    while (!listing.empty()) {
        const std::size_t end = listing.find('\n');
        std::string_view line = listing.substr(0, end);
        listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // ffprobe 9 writes a bare line feed for some files.
        if (line.empty()) continue;
        if (std::count(line.begin(), line.end(), ',') != 2) return std::nullopt;
        const auto index = decimal_index(take_field(line));
        const std::string_view kind = take_field(line);
        const std::string_view attached_pic = take_field(line);
        if (!index || kind.empty() || (attached_pic != "0" && attached_pic != "1"))
            return std::nullopt;
        if (kind == "attachment") ++streams.attachments;
        if (kind == "video" && attached_pic == "1") streams.attached_pictures.push_back(*index);
    }
    return streams;
}

StreamListing list_streams(const Text& input) {
    // ffprobe's standard input is the null device, so "pipe:0" gives it nothing to take. A named
    // pipe or a device is another matter: what ffprobe read from it would be lost to ffmpeg.
    struct stat info {};
    if (::stat(input.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return {};
    auto run = run_collecting(stream_listing_arguments(input), PipeSize::standard);
    if (!run || !wait_status_succeeded(run.value().wait_status)) return {};
    return read_stream_listing(run.value().output).value_or(StreamListing{});
}

}  // namespace kestrin
