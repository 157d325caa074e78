// The statistics record reader and the progress text.
#include "encode/progress.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrin {
namespace {

std::vector<std::string> records_of(const std::vector<std::string_view>& chunks) {
    std::vector<std::string> records;
    RecordReader reader([&](std::string_view record) { records.emplace_back(record); });
    for (std::string_view chunk : chunks) reader.feed(chunk);
    reader.finish();
    return records;
}

// ffmpeg's own shape (records ended by "\r", the last by "\n"), then a log line, "\r\n",
// "\r\r\n" (an empty record between), a record that is not UTF-8 (delivered: the receiver
// decides), and a last record without terminator.
const std::string stream =
    "frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A    \r"
    "frame=    8 fps=0.0 q=28.0 size=       0KiB time=00:00:00.24 speed=0.8x    \r"
    "frame=  100 fps= 48 q=-1.0 Lsize=     300KiB time=00:00:03.92 speed=1.89x    \n"
    "[matroska @ 0x5] Error writing trailer\n"
    "windows\r\n"
    "a\r\r\n"
    "bad \xC3\x28 bytes\r"
    "\n\n"
    "after \xE2\x9C\xA6\r"
    "frame=  101 tail";

const std::vector<std::string> stream_records{
    "frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A    ",
    "frame=    8 fps=0.0 q=28.0 size=       0KiB time=00:00:00.24 speed=0.8x    ",
    "frame=  100 fps= 48 q=-1.0 Lsize=     300KiB time=00:00:03.92 speed=1.89x    ",
    "[matroska @ 0x5] Error writing trailer",
    "windows",
    "a",
    "bad \xC3\x28 bytes",
    "after \xE2\x9C\xA6",
    "frame=  101 tail"};

TEST(RecordReader, OneRead) { EXPECT_EQ(records_of({stream}), stream_records); }

TEST(RecordReader, SameRecordsWhereverAReadEnds) {
    const std::string_view all = stream;
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        EXPECT_EQ(records_of({all.substr(0, cut), all.substr(cut)}), stream_records)
            << "cut at " << cut;
    }
}

TEST(RecordReader, SameRecordsReadByteByByte) {
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < stream.size(); ++i) bytes.push_back({stream.data() + i, 1});
    EXPECT_EQ(records_of(bytes), stream_records);
}

struct SplitCase {
    std::vector<std::string_view> chunks;
    std::vector<std::string> records;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    for (std::string_view chunk : c.chunks) *out << testing::PrintToString(std::string(chunk));
}

class Splitting : public testing::TestWithParam<SplitCase> {};

TEST_P(Splitting, DeliversTheseRecords) {
    EXPECT_EQ(records_of(GetParam().chunks), GetParam().records);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Splitting,
    testing::Values(
        // "\r" ending one read and "\n" opening the next are one terminator.
        SplitCase{{"a\r", "\nb\r", "\n"}, {"a", "b"}},
        // A lone "\r" at the end of one read, and a record opening the next.
        SplitCase{{"a\r", "b"}, {"a", "b"}},
        // A "\r" at end of stream ends the record; an empty read in between changes nothing.
        SplitCase{{"a\r", "", "\n", "\n"}, {"a"}},
        SplitCase{{"\n\r\n\r\r"}, {}},
        SplitCase{{}, {}},
        // A record spread over several reads; an invalid one does not hold up those after it.
        SplitCase{{"fra", "me=1", " x\n\xFF", "\xFE\rok"}, {"frame=1 x", "\xFF\xFE", "ok"}},
        // Cut inside a multi-byte character.
        SplitCase{{"\xE2\x9C", "\xA6\r"}, {"\xE2\x9C\xA6"}},
        // A truncated character at end of stream.
        SplitCase{{"ok\n\xE2\x9C"}, {"ok", "\xE2\x9C"}}));

// An endless record is cut, never kept whole, and never inside a character; the next record is
// whole again.
TEST(RecordReader, CutsAnOverlongRecordAtACharacter) {
    const std::size_t limit = RecordReader::longest_record;
    const std::string filler(limit - 1, 'a');
    const std::string piece = "\xE2\x9C\xA6" + std::string(1000, 'b');
    std::vector<std::string_view> chunks{filler};
    for (int i = 0; i < 1000; ++i) chunks.push_back(piece);
    chunks.push_back("\rnext\n");
    EXPECT_EQ(records_of(chunks), (std::vector<std::string>{filler, "next"}));
}

struct ProgressCase {
    std::string record;
    std::optional<std::string> text;
};

void PrintTo(const ProgressCase& c, std::ostream* out) {
    *out << testing::PrintToString(c.record);
}

class Progress : public testing::TestWithParam<ProgressCase> {};

TEST_P(Progress, TextFromTheLastFrame) {
    const auto text = progress_text(GetParam().record);
    ASSERT_EQ(text.has_value(), GetParam().text.has_value());
    if (text) {
        EXPECT_EQ(*text, *GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Progress,
    testing::Values(
        ProgressCase{"frame=   32 fps= 32 q=28.0 size=       0KiB time=00:00:01.24    ",
                     "frame=   32 fps= 32 q=28.0 size=       0KiB time=00:00:01.24"},
        ProgressCase{"  old frame=1 q=1 frame=2 q=2 \t\xC2\xA0\xE3\x80\x80", "frame=2 q=2"},
        ProgressCase{"frame=", "frame="},
        // Trailing zero-width space is no White_Space.
        ProgressCase{"frame=1\xE2\x80\x8B", "frame=1\xE2\x80\x8B"},
        ProgressCase{"Frame=1 fps=2", std::nullopt}, ProgressCase{"FRAME=1", std::nullopt},
        ProgressCase{"x265 [info]: HEVC encoder version 3.6", std::nullopt},
        ProgressCase{"", std::nullopt}));

struct ParseCase {
    std::string record;
    std::int64_t frame;
    double fps, time;
    std::optional<double> speed;
    std::optional<std::int64_t> size, dup, drop;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << testing::PrintToString(c.record); }

class Statistics : public testing::TestWithParam<ParseCase> {};

TEST_P(Statistics, ParsedExactly) {
    const ParseCase& c = GetParam();
    const auto parsed = parse_statistics(c.record);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->frame, c.frame);
    EXPECT_DOUBLE_EQ(parsed->fps, c.fps);
    EXPECT_DOUBLE_EQ(parsed->time, c.time);
    EXPECT_EQ(parsed->speed, c.speed);
    EXPECT_EQ(parsed->size, c.size);
    EXPECT_EQ(parsed->dup, c.dup);
    EXPECT_EQ(parsed->drop, c.drop);
    EXPECT_EQ(parsed->line, *progress_text(c.record));
}

INSTANTIATE_TEST_SUITE_P(
    Records, Statistics,
    testing::Values(
        ParseCase{"frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A "
                  "elapsed=0:00:00.20",
                  0, 0.0, 0.0, std::nullopt, 0, std::nullopt, std::nullopt},
        ParseCase{"frame=   48 fps= 47 q=28.0 size=     256KiB time=00:00:01.84 "
                  "bitrate=1139.7kbits/s dup=3 drop=1 speed=1.81x elapsed=0:00:01.01",
                  48, 47.0, 1.84, 1.81, 256 * 1024, 3, 1},
        // ffmpeg 5.1: kB for units of 1024 bytes, speed padded, no elapsed=.
        ParseCase{"frame=   75 fps= 49 q=28.0 size=     512kB time=00:00:02.92 "
                  "bitrate=1436.2kbits/s speed=   0x",
                  75, 49.0, 2.92, 0.0, 512 * 1024, std::nullopt, std::nullopt},
        ParseCase{"frame=  100 fps=48 q=-1.0 Lsize=N/A time=01:02:03.92 bitrate=N/A speed=1.9x",
                  100, 48.0, 3723.92, 1.9, std::nullopt, std::nullopt, std::nullopt},
        ParseCase{"frame=    2 fps=0.0 q=0.0 size=       0KiB time=-00:00:00.04 speed=N/A",
                  2, 0.0, -0.04, std::nullopt, 0, std::nullopt, std::nullopt}));

TEST(Statistics, NothingForAMessage) {
    EXPECT_FALSE(parse_statistics("x265 [info]: HEVC encoder version 3.6").has_value());
}

}  // namespace
}  // namespace kestrin
