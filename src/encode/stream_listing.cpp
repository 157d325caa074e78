// The listing is CSV rather than JSON: a few short fields a line, and no field holds a comma
// (an index, a kind such as "video", a field order, a flag, a duration).
#include "encode/stream_listing.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

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

// ffprobe writes the duration as "%f" ("4.023000"), or "N/A".
std::optional<double> plain_seconds(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos)
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

}  // namespace

bool is_interlaced_field_order(std::string_view field_order) {
    return field_order == "tt" || field_order == "bb" || field_order == "tb" ||
           field_order == "bt";
}

ArgumentList stream_listing_arguments(const Text& input) {
    return {"ffprobe", "-v", "quiet", "-show_entries",
            "stream=index,codec_type,field_order:stream_disposition=attached_pic:"
            "program_stream_disposition=attached_pic:format=duration", "-of", "csv=p=0", input};
}

std::optional<StreamListing> read_stream_listing(std::string_view listing) {
    StreamListing streams;
    bool film_found = false;
    std::vector<std::size_t> seen;
    while (!listing.empty()) {
        const std::size_t end = listing.find('\n');
        std::string_view line = listing.substr(0, end);
        listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // ffprobe 9 writes a bare line feed for some files.
        if (line.empty()) continue;
        if (line.find(',') == std::string_view::npos) {
            // The format section: its duration, or "N/A" for a stream without one.
            if (line != "N/A" && !(streams.duration = plain_seconds(line))) return std::nullopt;
            continue;
        }
        std::vector<std::string_view> fields{take_field(line)};
        while (!line.empty()) fields.push_back(take_field(line));
        while (fields.size() > 3 && fields.back().empty()) fields.pop_back();
        if (fields.size() != 3 && fields.size() != 4) return std::nullopt;
        const auto index = decimal_index(fields[0]);
        const std::string_view kind = fields[1];
        const std::string_view attached_pic = fields.back();
        const bool is_video = kind == "video";
        if (!index || kind.empty() || (attached_pic != "0" && attached_pic != "1") ||
            (fields.size() == 4 && (!is_video || fields[2].empty())))
            return std::nullopt;
        // An MPEG-TS lists each stream of a program first, then every stream: the first line of an
        // index counts.
        if (std::find(seen.begin(), seen.end(), *index) != seen.end()) continue;
        seen.push_back(*index);
        if (kind == "attachment") ++streams.attachments;
        if (is_video && attached_pic == "1") {
            streams.attached_pictures.push_back(*index);
        } else if (is_video && !film_found) {
            film_found = true;
            if (fields.size() == 4) streams.field_order = Text(fields[2]);
        }
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
