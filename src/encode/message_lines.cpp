#include "encode/message_lines.hpp"

#include <string>

#include "tools/text.hpp"

namespace kestrin {
namespace {

constexpr std::string_view message_prefix = "  > [\xE2\x9C\xA6 KESTRIN] FFMPEG | ";
constexpr std::string_view replacement = "\xEF\xBF\xBD";

// ffmpeg repeats names and metadata of the input in its messages, and a hostile title could
// carry terminal control sequences: every control character (C0, DEL, C1) is shown as U+FFFD,
// as bytes that are not UTF-8 already are.
Text shown(std::string_view text) {
    const Text decoded = decode_utf8_lossy(trim_white_space(text));
    Text out;
    out.reserve(decoded.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        const auto byte = static_cast<unsigned char>(decoded[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += replacement;
        } else if (byte == 0xC2 && i + 1 < decoded.size() &&
                   static_cast<unsigned char>(decoded[i + 1]) < 0xA0) {
            out += replacement;  // U+0080 to U+009F; U+009B alone opens a control sequence
            ++i;
        } else {
            out += decoded[i];
        }
    }
    return out;
}

// ffmpeg 9 hands x265's information and warnings (about its own settings: "Source height <
// 720p; disabling lookahead-slices" on every small picture) and its closing summary to its log,
// which -loglevel error silences; ffmpeg 5.1 lets x265 write them itself. Left out, both versions
// say the same.
bool is_x265_report(std::string_view message) {
    if (message.starts_with("x265 [info]:") || message.starts_with("x265 [warning]:")) return true;
    // "encoded 25 frames in 1.55s (16.17 fps), 2121.55 kb/s, Avg QP:31.42"
    constexpr std::string_view summary = "encoded ";
    return message.starts_with(summary) && message.size() > summary.size() &&
           message[summary.size()] >= '0' && message[summary.size()] <= '9' &&
           message.find(" frames in ") != std::string_view::npos;
}

Text line_start(std::optional<std::string_view> task_output) {
    Text start(message_prefix);
    if (task_output) {
        start += shown(*task_output);
        start += " | ";
    }
    return start;
}

}  // namespace

void KeptMessages::add(std::string_view record) {
    const std::string_view message = trim_white_space(record);
    if (message.empty() || is_x265_report(message)) return;
    if (lines_.size() == kept_lines) {
        ++more_;
        return;
    }
    // Kept as UTF-8, whatever ffmpeg wrote: a file name in another encoding must not cost the
    // message that explains the failure.
    lines_.emplace_back(utf8_prefix(decode_utf8_lossy(message), longest_line));
}

Text failure_message_lines(std::span<const Text> messages, std::size_t more,
                           std::optional<std::string_view> task_output) {
    const Text start = line_start(task_output);
    Text lines;
    for (const Text& message : messages) lines += start + shown(message) + "\n";
    if (more > 0) {
        lines += start + "(" + std::to_string(more) + (more == 1 ? " more line)" : " more lines)") +
                 "\n";
    }
    return lines;
}

Text success_message_line(std::span<const Text> messages, std::size_t more,
                          std::optional<std::string_view> task_output) {
    if (messages.empty()) return {};
    const std::size_t count = messages.size() + more;
    return "\n" + line_start(task_output) + std::to_string(count) +
           (count == 1 ? " message: " : " messages, the first: ") + shown(messages.front()) +
           "\n";
}

}  // namespace kestrin
