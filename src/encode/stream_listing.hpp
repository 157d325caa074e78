// One short ffprobe run that lists an input's streams by index, kind, field order and cover-picture
// flag, and its duration: remux learns its attachments from it, the encode its attached pictures
// and whether the film is coded interlaced.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "kestrin.hpp"

namespace kestrin {

struct StreamListing {
    // Attachment streams (fonts), which need their own tags back in a remux.
    std::size_t attachments = 0;
    // Input indices of the video streams that are a cover picture (disposition attached_pic),
    // in listing order.
    std::vector<std::size_t> attached_pictures;
    // ffprobe's field_order of the first video stream that is not a cover picture ("tt", "bb",
    // "progressive", "unknown", ...); empty when there is none or it was not listed.
    Text field_order;
    // The container's duration in seconds; nothing when not listed or "N/A".
    std::optional<double> duration;
};

// "tt", "bb", "tb" or "bt": the film is coded as fields.
bool is_interlaced_field_order(std::string_view field_order);

// One line a stream, "index,codec_type[,field_order],attached_pic" (the field order for video
// streams only), then one line with the duration. Streams that belong to a program (MPEG-TS) come
// twice: in their program, then among all streams.
ArgumentList stream_listing_arguments(const Text& input);

// The listing read from ffprobe's standard output; nothing when a line that is not empty is
// neither a stream as above nor or a duration. A subsection that has nothing to list (an MPEG-2 stream's
// side data) adds an empty field at the end of its stream's line, which is passed over.
std::optional<StreamListing> read_stream_listing(std::string_view listing);

// Only a hint: when ffprobe can't start (a NUL in the path included), fails, is killed, or
// writes a listing that can't be read, the listing is empty and ffmpeg meets the input as it is.
// A path naming anything but a regular file (a named pipe, a device) is not listed at all.
StreamListing list_streams(const Text& input);

}  // namespace kestrin
