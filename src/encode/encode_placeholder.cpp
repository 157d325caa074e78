// Stand-in for the encode routine while it is built elsewhere: one plain ffmpeg run with no
// echo, progress line or banner. It goes when the real routine arrives.
#include "encode/encode.hpp"

#include "tools/text.hpp"

namespace kestrin {

EncodeResult run_encode(const EncodeTask& task, StandardInput input) {
    ArgumentList arguments{"ffmpeg", "-y", "-hide_banner", "-loglevel", "error",
                           "-i",     task.input, "-c:v", task.codec};
    for (Text& token : split_at_white_space(task.flags)) arguments.push_back(std::move(token));
    arguments.push_back(task.output);
    auto child = start_child(arguments, ChildWiring{input, false, false});
    if (!child) return child.failure();
    auto status = child.value().wait();
    if (!status) return status.failure();
    return wait_status_succeeded(status.value());
}

}  // namespace kestrin
