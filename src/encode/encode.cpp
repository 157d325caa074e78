// The encode routine talks to nothing but the child and file descriptor 1, so batch workers can
// run it without the interpreter.
#include "encode/encode.hpp"

#include <string_view>

#include "encode/command_line.hpp"
#include "encode/progress.hpp"
#include "tools/console.hpp"

namespace kestrin {
namespace {

constexpr std::string_view progress_prefix = "\r\x1b[2K  > [\xE2\x9C\xA6 KESTRIN] ENCODE | ";
constexpr std::string_view error_banner =
    "\n  > [\xE2\x9C\xA6 KESTRIN] FFmpeg exited with an error.\n";

Text command_echo(const ArgumentList& arguments) {
    Text echo = "\n  > [DEBUG] CMD: ffmpeg";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        echo += ' ';
        // Such an argument can never reach ffmpeg (the start fails); its bytes would only put
        // a NUL on the terminal.
        if (arguments[i].find('\0') != Text::npos) {
            echo += "<string-with-nul>";
        } else {
            echo += arguments[i];
        }
    }
    echo += '\n';
    return echo;
}

void show_progress(std::string_view record) {
    const auto text = progress_text(record);
    if (!text) return;
    Text line(progress_prefix);
    line += *text;
    write_console(line);
}

}  // namespace

EncodeResult run_encode(const EncodeTask& task, StandardInput input) {
    const ArgumentList arguments = encode_arguments(task);
    write_console(command_echo(arguments));

    auto started = start_streaming(arguments, input);
    if (!started) return started.failure();
    ChildProcess& child = started.value();

    RecordReader records(show_progress);
    // A read error on the pipe cuts the display short but not the run: the child is still
    // waited for and its status is what counts.
    (void)drain({{child.error_pipe().get(), [&](std::string_view bytes) { records.feed(bytes); }}},
                8192);
    records.finish();

    auto status = child.wait();
    if (!status) return status.failure();
    const bool succeeded = wait_status_succeeded(status.value());
    if (!succeeded) write_console(error_banner);
    return succeeded;
}

}  // namespace kestrin
