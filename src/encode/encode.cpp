// The encode routine talks to nothing but its children and file descriptor 1, so batch workers
// can run it without the interpreter.
#include "encode/encode.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>

#include "encode/command_line.hpp"
#include "encode/message_lines.hpp"
#include "encode/interlace.hpp"
#include "encode/progress.hpp"
#include "encode/stream_listing.hpp"
#include "tools/console.hpp"
#include "tools/text.hpp"

namespace kestrin {
namespace {

constexpr std::string_view progress_prefix = "\r\x1b[2K  > [\xE2\x9C\xA6 KESTRIN] ENCODE | ";
constexpr std::string_view error_banner =
    "\n  > [\xE2\x9C\xA6 KESTRIN] FFmpeg exited with an error.\n";

// A pipe that can't be read is tried again this often, with this pause, before it is given up.
constexpr int read_attempts = 100;
constexpr auto read_retry_pause = std::chrono::milliseconds(10);

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

void show_progress(std::string_view text) {
    Text line(progress_prefix);
    line += text;
    write_console(line);
}

}  // namespace

Result<EncodeOutcome> encode_with_messages(const EncodeTask& task, EncodeCaller caller) {
    // A text holding a NUL can reach no child: nothing is started, not even the listing, and
    // ffmpeg's start says why.
    const bool has_nul = std::ranges::any_of(
        task_texts(task), [](const Text* text) { return text->find('\0') != Text::npos; });
    const StreamListing streams = has_nul ? StreamListing{} : list_streams(task.input);
    // Only a film coded as fields costs the analysis run; every other file's list is as it was.
    const Text field_filter = is_interlaced_field_order(streams.field_order)
                                  ? field_filter_text(analyse_fields(task.input, streams.duration))
                                  : Text{};
    const ArgumentList arguments =
        encode_arguments(task, streams.attached_pictures, field_filter);
    write_console(command_echo(arguments));

    const StandardInput input = caller == EncodeCaller::transform ? StandardInput::inherit
                                                                   : StandardInput::null_device;
    auto started = start_streaming(arguments, input);
    if (!started) return started.failure();
    ChildProcess& child = started.value();

    KeptMessages messages;
    RecordReader records([&](std::string_view record) {
        if (const auto text = progress_text(record)) {
            // A record that is not UTF-8 is not shown; the console stays valid text.
            if (is_valid_utf8(record)) show_progress(*text);
        } else {
            messages.add(record);
        }
    });
    bool read_something = false;
    const auto feed = [&](std::string_view bytes) {
        read_something = true;
        records.feed(bytes);
    };
    // A read error is not expected on a pipe. What can fail is poll itself, and only while the
    // process may hold no descriptor at all (RLIMIT_NOFILE at 0), which passes when the limit
    // is raised again: so reading goes on after a pause, no byte lost. Only a pipe that keeps
    // failing with nothing read in between is given up. Its closing does not stop ffmpeg, which
    // ignores SIGPIPE: it encodes on without showing its progress, and its exit status decides.
    for (int failures = 0; failures < read_attempts;) {
        read_something = false;
        if (drain({{child.error_pipe().get(), feed}}, 8192)) break;
        failures = read_something ? 1 : failures + 1;
        std::this_thread::sleep_for(read_retry_pause);
    }
    records.finish();

    auto status = child.wait();
    if (!status) return status.failure();
    EncodeOutcome outcome{wait_status_succeeded(status.value()), messages.lines(), messages.more()};
    std::optional<std::string_view> name;
    if (caller == EncodeCaller::batch_task) name = task.output;
    if (!outcome.succeeded) {
        write_console(Text(error_banner) +
                      failure_message_lines(outcome.messages, outcome.more_messages, name));
    } else {
        const Text line = success_message_line(outcome.messages, outcome.more_messages, name);
        if (!line.empty()) write_console(line);
    }
    return outcome;
}

EncodeResult run_encode(const EncodeTask& task, EncodeCaller caller) {
    auto outcome = encode_with_messages(task, caller);
    if (!outcome) return outcome.failure();
    return outcome.value().succeeded;
}

}  // namespace kestrin
