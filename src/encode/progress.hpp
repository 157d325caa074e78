// ffmpeg's statistics on standard error, cut into records and turned into progress texts.
#pragma once

#include <cstddef>
#include <cstdint>
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

// One statistics record of ffmpeg, parsed.
struct StatisticsRecord {
    std::int64_t frame = 0;          // 0 before the first
    double fps = 0.0;                // 0 while ffmpeg writes none
    double time = 0.0;               // seconds, from time=; 0 while it writes N/A
    std::optional<double> speed;     // multiple of real time, from speed=; none for N/A
    std::optional<std::int64_t> size;  // bytes, from size= (Lsize= in the last); none for N/A
    std::optional<std::int64_t> dup;   // frames duplicated, where ffmpeg says
    std::optional<std::int64_t> drop;  // frames dropped, where ffmpeg says
    Text line;                       // the progress text: from "frame=" on, trimmed
};

// The record parsed, for a record that has "frame="; nothing otherwise. ffmpeg writes size= in
// units of 1024 bytes whether it calls them kB (5.1) or KiB (6.1 and later).
std::optional<StatisticsRecord> parse_statistics(std::string_view record);

// The record from its last "frame=" to its end, White_Space trimmed at both ends; nothing for a
// record without "frame=".
std::optional<std::string_view> progress_text(std::string_view record);

}  // namespace kestrin
