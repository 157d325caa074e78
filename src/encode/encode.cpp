// The encode routine talks to nothing but its children and file descriptor 1, so batch workers
// can run it without the interpreter.
#include "encode/encode.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

#include "encode/command_line.hpp"
#include "encode/message_lines.hpp"
#include "encode/interlace.hpp"
#include "encode/progress.hpp"
#include "encode/stream_listing.hpp"
#include "tools/console.hpp"
#include "tools/same_file.hpp"
#include "tools/text.hpp"

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

void show_progress(std::string_view text) {
    Text line(progress_prefix);
    line += text;
    write_console(line);
}

}  // namespace

Result<EncodeOutcome> encode_with_messages(const EncodeTask& task, const EncodeOptions& options) {
    const EncodeCaller caller = options.caller;
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
    const auto console = [&](std::string_view text) {
        if (!options.quiet) write_console(text);
    };
    console(command_echo(arguments));
    // The same name ffmpeg refuses itself; another name of the input would be overwritten while
    // it is read, so it is refused the same way before anything starts.
    if (!has_nul && task.output != task.input && is_same_file(task.input, task.output)) {
        console(error_banner);
        EncodeOutcome refused;
        refused.arguments = arguments;
        return refused;
    }

    const StandardInput input = caller == EncodeCaller::transform && !options.null_input
                                    ? StandardInput::inherit
                                    : StandardInput::null_device;
    auto started = start_streaming(arguments, input, options.die_with_caller);
    if (!started) return started.failure();
    ChildProcess& child = started.value();

    KeptMessages messages;
    std::optional<StatisticsRecord> last_record;
    RecordReader records([&](std::string_view record) {
        auto parsed = parse_statistics(record);
        if (!parsed) {
            messages.add(record);
            return;
        }
        if (options.on_record) {
            options.on_record(*parsed);
        } else if (!options.quiet && is_valid_utf8(record)) {
            // A record that is not UTF-8 is not shown; the console stays valid text.
            show_progress(parsed->line);
        }
        last_record = std::move(parsed);
    });
    // ffmpeg ignores SIGPIPE: had its pipe to be given up, it would encode on without showing
    // its progress, and its exit status would decide.
    auto end = follow(child, [&](std::string_view bytes) { records.feed(bytes); },
                      FollowWatch{options.cancellation, options.on_wake});
    if (!end) return end.failure();
    EncodeOutcome outcome{wait_status_succeeded(end.value().wait_status) && !end.value().cancelled,
                          end.value().cancelled, {}, 0, {}, {}};
    // A cancelled encode has no last record to deliver: its caller asked to hear no more.
    if (!outcome.cancelled) records.finish();
    outcome.messages = messages.lines();
    outcome.more_messages = messages.more();
    outcome.last_record = std::move(last_record);
    outcome.arguments = arguments;
    if (outcome.cancelled) return outcome;
    std::optional<std::string_view> name;
    if (caller == EncodeCaller::batch_task) name = task.output;
    if (!outcome.succeeded) {
        console(Text(error_banner) +
                failure_message_lines(outcome.messages, outcome.more_messages, name));
    } else {
        const Text line = success_message_line(outcome.messages, outcome.more_messages, name);
        if (!line.empty()) console(line);
    }
    return outcome;
}

EncodeResult run_encode(const EncodeTask& task, EncodeCaller caller) {
    EncodeOptions options;
    options.caller = caller;
    auto outcome = encode_with_messages(task, options);
    if (!outcome) return outcome.failure();
    return outcome.value().succeeded;
}

}  // namespace kestrin
