#include "encode/progress.hpp"

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

}  // namespace kestrin
