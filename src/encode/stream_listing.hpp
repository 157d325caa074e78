// One short ffprobe run that lists an input's streams by index, kind and cover-picture flag: remux
// learns its attachments from it, the encode its attached pictures.
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
};

// One line a stream: "index,codec_type,attached_pic".
ArgumentList stream_listing_arguments(const Text& input);

// The listing read from ffprobe's standard output; nothing when any line that is not empty is
// not "<decimal index>,<kind>,<0 or 1>".
std::optional<StreamListing> read_stream_listing(std::string_view listing);

// Only a hint: when ffprobe can't start (a NUL in the path included), fails, is killed, or
// writes a listing that can't be read, the listing is empty and ffmpeg meets the input as it is.
// A path naming anything but a regular file (a named pipe, a device) is not listed at all.
StreamListing list_streams(const Text& input);

}  // namespace kestrin
