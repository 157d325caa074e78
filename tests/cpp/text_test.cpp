#include "tools/text.hpp"

#include <gtest/gtest.h>

namespace kestrin {
namespace {

struct TrimCase {
    std::string input;
    std::string trimmed;
};

void PrintTo(const TrimCase& c, std::ostream* os) { *os << testing::PrintToString(c.input); }

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesExactlyUnicodeWhiteSpace) {
    EXPECT_EQ(trim_white_space(GetParam().input), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Trim,
    testing::Values(TrimCase{"  a b \t\r\n", "a b"}, TrimCase{"\v\f x", "x"},
                    TrimCase{"\xC2\x85x\xC2\xA0", "x"},                     // U+0085, U+00A0
                    TrimCase{"\xE1\x9A\x80x\xE2\x80\x8A", "x"},             // U+1680, U+200A
                    TrimCase{"\xE2\x80\xA8\xE2\x80\xA9x\xE3\x80\x80", "x"}, // U+2028/9, U+3000
                    TrimCase{"\xE2\x80\xAFx\xE2\x81\x9F", "x"},             // U+202F, U+205F
                    TrimCase{"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},             // U+200B is not
                    TrimCase{"\xE1\xA0\x8Ex\xEF\xBB\xBF", "\xE1\xA0\x8Ex\xEF\xBB\xBF"},
                    TrimCase{"   ", ""}, TrimCase{"", ""}));

TEST(Split, DropsEmptyPiecesAndKeepsQuotes) {
    EXPECT_EQ(split_at_white_space(" -crf\t20\n\n-x  \"a b\"\xE3\x80\x80z "),
              (std::vector<Text>{"-crf", "20", "-x", "\"a", "b\"", "z"}));
    EXPECT_TRUE(split_at_white_space(" \t\xC2\xA0").empty());
}

struct LossyCase {
    std::string bytes;
    std::string decoded;
};

void PrintTo(const LossyCase& c, std::ostream* os) { *os << testing::PrintToString(c.bytes); }

class Lossy : public testing::TestWithParam<LossyCase> {};

TEST_P(Lossy, ReplacesMaximalSubparts) {
    EXPECT_EQ(decode_utf8_lossy(GetParam().bytes), GetParam().decoded);
    EXPECT_TRUE(is_valid_utf8(decode_utf8_lossy(GetParam().bytes)));
}

const std::string R = "\xEF\xBF\xBD";
INSTANTIATE_TEST_SUITE_P(
    Cases, Lossy,
    testing::Values(LossyCase{"plain", "plain"}, LossyCase{"a\xFF" "b", "a" + R + "b"},
                    // A truncated three-byte sequence is one maximal subpart.
                    LossyCase{"\xE2\x9C" "x", R + "x"},
                    // Overlong and surrogate leads: each byte on its own.
                    LossyCase{"\xC0\xAF", R + R}, LossyCase{"\xED\xA0\x80", R + R + R},
                    LossyCase{"\xF4\x90\x80\x80", R + R + R + R},
                    LossyCase{"\xF0\x9F\x98", R}, LossyCase{"\xE2\x9C\xA6", "\xE2\x9C\xA6"}));

TEST(RemoveAll, ScansLeftToRightWithoutOverlap) {
    EXPECT_EQ(remove_all("crop=1:2crop=", "crop="), "1:2");
    EXPECT_EQ(remove_all("crcrop=op=x", "crop="), "crop=x");
    EXPECT_EQ(remove_all("Crop=1", "crop="), "Crop=1");
}

}  // namespace
}  // namespace kestrin
