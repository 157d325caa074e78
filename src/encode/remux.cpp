// ffmpeg is silenced by its own options rather than by taking its streams away, so a prompt it
// should never show would still be visible.
#include "encode/remux.hpp"

#include <string>

#include "tools/child.hpp"

namespace kestrin {
namespace {

bool is_decimal_index(std::string_view line) {
    return !line.empty() && line.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

ArgumentList attachment_probe_arguments(const Text& input) {
    return {"ffprobe", "-v", "quiet", "-select_streams", "t", "-show_entries", "stream=index",
            "-of", "csv=p=0", input};
}

std::size_t count_attachment_lines(std::string_view report) {
    // ffprobe 9 writes a bare line feed for some files without attachments, so only lines that
    // are a stream index count.
    std::size_t count = 0;
    while (!report.empty()) {
        const std::size_t end = report.find('\n');
        std::string_view line = report.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (is_decimal_index(line)) ++count;
        report.remove_prefix(end == std::string_view::npos ? report.size() : end + 1);
    }
    return count;
}

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

namespace {

// Only a hint for the list: when ffprobe can't run or can't read the input, ffmpeg meets the same
// input without attachment pairs and reports for itself.
std::size_t count_attachments(const Text& input) {
    std::string listing;
    auto status = run_draining(
        attachment_probe_arguments(input), [&](std::string_view bytes) { listing.append(bytes); },
        discard);
    if (!status || !wait_status_succeeded(status.value())) return 0;
    return count_attachment_lines(listing);
}

}  // namespace

Result<bool> remux(const Text& input, const Text& output) {
    // A path holding a NUL can reach no child: nothing is started, and ffmpeg's start says why.
    const bool has_nul = input.find('\0') != Text::npos || output.find('\0') != Text::npos;
    const std::size_t attachments = has_nul ? 0 : count_attachments(input);
    auto status = run_pass_through(remux_arguments(input, output, attachments));
    if (!status) return status.failure();
    return wait_status_succeeded(status.value());
}

}  // namespace kestrin
