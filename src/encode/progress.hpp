// ffmpeg's statistics on standard error, cut into records and turned into progress texts.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "kestrin.hpp"

namespace kestrin {

// Splits a byte stream into records at "\n", "\r\n" and a lone "\r", whatever the chunking of
// the reads. ffmpeg ends each statistics record with "\r" alone and only the last with "\n", so
// splitting at line feeds only would hold a whole encode in one growing line. A record lives
// only until its terminator arrives, and only its first longest_record bytes are kept (cut where
// no UTF-8 sequence is split): ffmpeg writing hundreds of megabytes without a terminator costs
// no more memory than that. Empty records are not delivered; whether a record is valid UTF-8 is
// the receiver's business.
class RecordReader {
public:
    using Receiver = std::function<void(std::string_view record)>;

    // A statistics record is about a hundred bytes, an error message a few hundred.
    static constexpr std::size_t longest_record = 64 * 1024;

    explicit RecordReader(Receiver receiver);

    void feed(std::string_view bytes);
    // End of stream: delivers a last record that has no terminator.
    void finish();

private:
    void deliver(std::string_view record);

    void keep(std::string_view part);

    Receiver receiver_;
    Text pending_;
    // The previous chunk ended in "\r": a "\n" opening the next chunk completes that terminator.
    bool after_carriage_return_ = false;
};

// The record from its last "frame=" to its end, White_Space trimmed at both ends; nothing for a
// record without "frame=".
std::optional<std::string_view> progress_text(std::string_view record);

}  // namespace kestrin
