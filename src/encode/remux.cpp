// ffmpeg is silenced by its own options rather than by taking its streams away, so a prompt it
// should never show would still be visible.
#include "encode/remux.hpp"

#include "tools/child.hpp"

namespace kestrin {

ArgumentList remux_arguments(const Text& input, const Text& output) {
    return {"ffmpeg", "-hide_banner", "-loglevel", "quiet", "-nostats", "-i",
            input,    "-c",           "copy",      "-map",  "0",        "-map_metadata",
            "-1",     "-y",           output};
}

Result<bool> remux(const Text& input, const Text& output) {
    auto status = run_pass_through(remux_arguments(input, output));
    if (!status) return status.failure();
    return wait_status_succeeded(status.value());
}

}  // namespace kestrin
