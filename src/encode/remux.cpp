// ffmpeg is silenced by its own options rather than by taking its streams away, so a prompt it
// should never show would still be visible.
#include "encode/remux.hpp"

#include <string>

#include "encode/stream_listing.hpp"
#include "tools/child.hpp"
#include "tools/same_file.hpp"

namespace kestrin {

ArgumentList remux_arguments(const Text& input, const Text& output, std::size_t attachments) {
    ArgumentList arguments{"ffmpeg", "-hide_banner", "-loglevel", "quiet", "-nostats",
                           "-i", input,
                           "-c", "copy",
                           "-map", "0",
                           "-map_metadata", "-1"};
    // No metadata is copied, except the tags that make an attachment one: Matroska refuses a
    // font without its "filename" tag. One pair per attachment, by index, because the plain
    // "-map_metadata:s:t 0:s:t" copies the first attachment's tags onto every one of them and
    // fails outright on an input that has none.
    for (std::size_t index = 0; index < attachments; ++index) {
        const std::string number = std::to_string(index);
        arguments.push_back("-map_metadata:s:t:" + number);
        arguments.push_back("0:s:t:" + number);
    }
    arguments.insert(arguments.end(), {"-y", output});
    return arguments;
}

Result<bool> remux(const Text& input, const Text& output) {
    // A path holding a NUL can reach no child: nothing is started, and ffmpeg's start says why.
    const bool has_nul = input.find('\0') != Text::npos || output.find('\0') != Text::npos;
    // ffmpeg refuses its input as output only by the same text; another name of the same file
    // would be overwritten while it is read.
    if (!has_nul && input != output && is_same_file(input, output)) return false;
    const std::size_t attachments = has_nul ? 0 : list_streams(input).attachments;
    auto status = run_pass_through(remux_arguments(input, output, attachments));
    if (!status) return status.failure();
    return wait_status_succeeded(status.value());
}

}  // namespace kestrin
