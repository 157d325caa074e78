// ffmpeg's statistics on standard error, cut into records and turned into progress texts.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// Splits a byte stream into records at "\n", "\r\n" and a lone "\r", whatever the chunking of
// the reads. ffmpeg ends each statistics record with "\r" alone and only the last with "\n", so
// splitting at line feeds only would hold a whole encode in one growing line. A record lives
// only until its terminator arrives. Empty records and records that are not valid UTF-8 are not
// delivered.
class RecordReader {
public:
    using Receiver = std::function<void(std::string_view record)>;

    explicit RecordReader(Receiver receiver);

    void feed(std::string_view bytes);
    // End of stream: delivers a last record that has no terminator.
    void finish();

private:
    void deliver(std::string_view record);

    Receiver receiver_;
    Text pending_;
    // The previous chunk ended in "\r": a "\n" opening the next chunk completes that terminator.
    bool after_carriage_return_ = false;
};

// The record from its last "frame=" to its end, White_Space trimmed at both ends; nothing for a
// record without "frame=".
std::optional<std::string_view> progress_text(std::string_view record);

}  // namespace kestrin
