// ffmpeg's messages on the console: exact bytes, for a transform and for a batch task.
#include "encode/message_lines.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kestrin {
namespace {

struct MessageCase {
    const char* name;
    std::vector<Text> messages;
    std::size_t more;
    std::optional<std::string_view> task_output;
    Text failure;
    Text success;
};

void PrintTo(const MessageCase& c, std::ostream* out) { *out << c.name; }

class MessageLines : public testing::TestWithParam<MessageCase> {};

TEST_P(MessageLines, AreExact) {
    const MessageCase& c = GetParam();
    EXPECT_EQ(failure_message_lines(c.messages, c.more, c.task_output), c.failure);
    EXPECT_EQ(success_message_line(c.messages, c.more, c.task_output), c.success);
}

#define TAG "  > [\xE2\x9C\xA6 KESTRIN] FFMPEG | "

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageLines,
    testing::Values(
        MessageCase{"nothing said", {}, 0, std::nullopt, "", ""},
        MessageCase{"one message of a transform",
                    {"Could not write header (incorrect codec parameters ?): Invalid argument\n"},
                    0,
                    std::nullopt,
                    TAG "Could not write header (incorrect codec parameters ?): Invalid argument\n",
                    "\n" TAG "1 message: Could not write header (incorrect codec parameters ?): "
                    "Invalid argument\n"},
        MessageCase{"a batch task's lines name its output, and the rest are counted",
                    {"[h264 @ 0x5] error while decoding MB 3 7", "[h264 @ 0x5] concealing 9"},
                    1584,
                    "b.out.mkv",
                    TAG "b.out.mkv | [h264 @ 0x5] error while decoding MB 3 7\n" TAG
                        "b.out.mkv | [h264 @ 0x5] concealing 9\n" TAG "b.out.mkv | (1584 more lines)\n",
                    "\n" TAG "b.out.mkv | 1586 messages, the first: [h264 @ 0x5] error while "
                    "decoding MB 3 7\n"},
        MessageCase{"control sequences and broken UTF-8 are shown, not obeyed",
                    {"title \x1b]0;owned\x07 \xC2\x9B" "2J \xFF end"},
                    1,
                    "\x1b[2Jx.mkv",
                    TAG "\xEF\xBF\xBD[2Jx.mkv | title \xEF\xBF\xBD]0;owned\xEF\xBF\xBD "
                        "\xEF\xBF\xBD" "2J \xEF\xBF\xBD end\n" TAG
                        "\xEF\xBF\xBD[2Jx.mkv | (1 more line)\n",
                    "\n" TAG "\xEF\xBF\xBD[2Jx.mkv | 2 messages, the first: title "
                    "\xEF\xBF\xBD]0;owned\xEF\xBF\xBD \xEF\xBF\xBD" "2J \xEF\xBF\xBD end\n"}));

// The first twenty messages kept, each cut at a character, the rest counted; x265's own
// information and empty records are not messages.
TEST(KeptMessages, KeepsTheFirstAndCountsTheRest) {
    KeptMessages kept;
    kept.add("x265 [info]: HEVC encoder version 3.6");
    kept.add(" \t");
    kept.add("  [h264 @ 0x1] error \xFF  ");
    kept.add(std::string(KeptMessages::longest_line - 1, 'a') + "\xE2\x9C\xA6");
    kept.add("x265 [warning]: Source height < 720p; disabling lookahead-slices");
    kept.add("encoded 25 frames in 1.55s (16.17 fps), 2121.55 kb/s, Avg QP:31.42");
    kept.add("encoded: not x265's");
    for (int i = 0; i < 25; ++i) kept.add("x265 [error]: " + std::to_string(i));
    ASSERT_EQ(kept.lines().size(), KeptMessages::kept_lines);
    EXPECT_EQ(kept.lines()[0], "[h264 @ 0x1] error \xEF\xBF\xBD");
    EXPECT_EQ(kept.lines()[1], std::string(KeptMessages::longest_line - 1, 'a'));
    EXPECT_EQ(kept.lines()[2], "encoded: not x265's");
    EXPECT_EQ(kept.lines()[19], "x265 [error]: 16");
    EXPECT_EQ(kept.more(), 8U);
}

}  // namespace
}  // namespace kestrin
