#include "encode/progress.hpp"

#include <charconv>
#include <cmath>
#include <utility>

#include "tools/text.hpp"

namespace kestrin {

RecordReader::RecordReader(Receiver receiver) : receiver_(std::move(receiver)) {}

void RecordReader::feed(std::string_view bytes) {
    if (bytes.empty()) return;
    if (std::exchange(after_carriage_return_, false) && bytes.front() == '\n') {
        bytes.remove_prefix(1);
    }
    while (!bytes.empty()) {
        const std::size_t end = bytes.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            keep(bytes);
            return;
        }
        // Records that fit inside one read are delivered from the read buffer without a copy.
        if (pending_.empty()) {
            deliver(bytes.substr(0, end));
        } else {
            keep(bytes.substr(0, end));
            deliver(pending_);
            pending_.clear();
        }
        std::size_t next = end + 1;
        if (bytes[end] == '\r') {
            if (next == bytes.size()) {
                after_carriage_return_ = true;
            } else if (bytes[next] == '\n') {
                ++next;
            }
        }
        bytes.remove_prefix(next);
    }
}

void RecordReader::finish() {
    after_carriage_return_ = false;
    if (pending_.empty()) return;
    deliver(pending_);
    pending_.clear();
}

void RecordReader::keep(std::string_view part) {
    // One byte beyond the limit tells deliver whether the cut falls inside a UTF-8 sequence.
    constexpr std::size_t kept = longest_record + 1;
    if (pending_.size() < kept) pending_.append(part.substr(0, kept - pending_.size()));
}

void RecordReader::deliver(std::string_view record) {
    if (record.empty()) return;
    receiver_(utf8_prefix(record, longest_record));
}

std::optional<std::string_view> progress_text(std::string_view record) {
    const std::size_t at = record.rfind("frame=");
    if (at == std::string_view::npos) return std::nullopt;
    return trim_white_space(record.substr(at));
}

namespace {

bool is_word_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::optional<double> number(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> whole(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty() || text.front() == '-') return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "[-]H:MM:SS.ff"
std::optional<double> clock_seconds(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto hours = whole(text.substr(0, first));
    const auto minutes = whole(text.substr(first + 1, second - first - 1));
    const std::string_view rest = text.substr(second + 1);
    const auto seconds = rest.empty() || rest.front() == '.' ? std::nullopt : number(rest);
    if (!hours || !minutes || !seconds || rest.front() == '+') return std::nullopt;
    const double total = static_cast<double>(*hours * 3600 + *minutes * 60) + *seconds;
    return negative ? -total : total;
}

std::optional<std::int64_t> size_bytes(std::string_view text) {
    static constexpr std::pair<std::string_view, double> units[] = {
        {"KiB", 1024.0}, {"MiB", 1048576.0}, {"GiB", 1073741824.0}, {"kB", 1024.0},
        {"MB", 1048576.0}, {"GB", 1073741824.0}, {"B", 1.0}};
    for (const auto& [unit, factor] : units) {
        if (!text.ends_with(unit)) continue;
        const auto value = number(text.substr(0, text.size() - unit.size()));
        if (!value || *value < 0) return std::nullopt;
        return static_cast<std::int64_t>(std::llround(*value * factor));
    }
    return std::nullopt;
}

}  // namespace

std::optional<StatisticsRecord> parse_statistics(std::string_view record) {
    const auto text = progress_text(record);
    if (!text) return std::nullopt;
    StatisticsRecord parsed;
    parsed.line = Text(*text);
    std::string_view rest = *text;
    bool seen_frame = false, seen_fps = false, seen_time = false, seen_speed = false,
         seen_size = false, seen_dup = false, seen_drop = false;
    // "key=  value" pairs, the first of each key counting, as ffmpeg writes one of each.
    while (!rest.empty()) {
        const std::size_t equals = rest.find('=');
        if (equals == std::string_view::npos) break;
        std::size_t key_start = equals;
        while (key_start > 0 && is_word_byte(rest[key_start - 1])) --key_start;
        const std::string_view key = rest.substr(key_start, equals - key_start);
        std::size_t value_start = equals + 1;
        while (value_start < rest.size() && is_space(rest[value_start])) ++value_start;
        std::size_t value_end = value_start;
        while (value_end < rest.size() && !is_space(rest[value_end])) ++value_end;
        const std::string_view value = rest.substr(value_start, value_end - value_start);
        rest.remove_prefix(value_end);
        if (key.empty() || value.empty()) continue;
        if (key == "frame" && !std::exchange(seen_frame, true)) {
            parsed.frame = whole(value).value_or(0);
        } else if (key == "fps" && !std::exchange(seen_fps, true)) {
            parsed.fps = number(value).value_or(0.0);
        } else if (key == "time" && !std::exchange(seen_time, true)) {
            parsed.time = clock_seconds(value).value_or(0.0);
        } else if (key == "speed" && !std::exchange(seen_speed, true)) {
            if (value.ends_with('x')) parsed.speed = number(value.substr(0, value.size() - 1));
        } else if ((key == "size" || key == "Lsize") && !std::exchange(seen_size, true)) {
            parsed.size = size_bytes(value);
        } else if (key == "dup" && !std::exchange(seen_dup, true)) {
            parsed.dup = whole(value);
        } else if (key == "drop" && !std::exchange(seen_drop, true)) {
            parsed.drop = whole(value);
        }
    }
    return parsed;
}

}  // namespace kestrin
