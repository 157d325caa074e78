// The JSON reader on the public conformance suite and at the exact limits of ffprobe's report.
#include "media/json_document.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "json_tree.hpp"

namespace kestrin {
namespace {

namespace fs = std::filesystem;

const fs::path suite_folder = fs::path(KESTRIN_TEST_DATA) / "json-conformance";

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> suite_files(char kind) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(suite_folder)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 2 && name[0] == kind && name[1] == '_') names.insert(name);
    }
    return names;
}

TEST(JsonConformance, EveryValidDocumentIsRead) {
    const auto names = suite_files('y');
    ASSERT_EQ(names.size(), 95u);
    for (const auto& name : names)
        EXPECT_TRUE(read_json_document(file_bytes(suite_folder / name))) << name;
}

TEST(JsonConformance, EveryInvalidDocumentFails) {
    const auto names = suite_files('n');
    ASSERT_EQ(names.size(), 188u);
    for (const auto& name : names)
        EXPECT_FALSE(read_json_document(file_bytes(suite_folder / name))) << name;
}

struct OpenCase {
    bool read;
    const char* reason;
};

// The files where RFC 8259 leaves the choice to the reader, decided by our rules for the report.
const std::map<std::string, OpenCase> open_cases = {
    {"i_number_double_huge_neg_exp.json", {true, "a tiny magnitude is no failure; it becomes 0"}},
    {"i_number_real_underflow.json", {true, "a tiny magnitude is no failure; it becomes 0"}},
    {"i_number_huge_exp.json", {false, "too large for a double"}},
    {"i_number_neg_int_huge_exp.json", {false, "too large for a double"}},
    {"i_number_pos_double_huge_exp.json", {false, "too large for a double"}},
    {"i_number_real_neg_overflow.json", {false, "too large for a double"}},
    {"i_number_real_pos_overflow.json", {false, "too large for a double"}},
    {"i_number_too_big_neg_int.json", {true, "an integer beyond 64 bits becomes a double"}},
    {"i_number_too_big_pos_int.json", {true, "an integer beyond 64 bits becomes a double"}},
    {"i_number_very_big_negative_int.json", {true, "an integer beyond 64 bits becomes a double"}},
    {"i_object_key_lone_2nd_surrogate.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_1st_surrogate_but_2nd_missing.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_1st_valid_surrogate_2nd_invalid.json",
     {false, "a high surrogate followed by a non-surrogate is lone"}},
    {"i_string_incomplete_surrogate_and_escape_valid.json",
     {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_incomplete_surrogate_pair.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_incomplete_surrogates_escape_valid.json",
     {false, "two high surrogates are two lone ones"}},
    {"i_string_invalid_lonely_surrogate.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_invalid_surrogate.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_inverted_surrogates_U+1D11E.json",
     {false, "a low surrogate before its high one is lone"}},
    {"i_string_lone_second_surrogate.json", {false, "a lone surrogate has no UTF-8 form"}},
    {"i_string_UTF-8_invalid_sequence.json", {false, "strings must be valid UTF-8"}},
    {"i_string_UTF8_surrogate_U+D800.json", {false, "an encoded surrogate is not valid UTF-8"}},
    {"i_string_invalid_utf-8.json", {false, "strings must be valid UTF-8"}},
    {"i_string_iso_latin_1.json", {false, "Latin-1 bytes are not valid UTF-8"}},
    {"i_string_lone_utf8_continuation_byte.json", {false, "strings must be valid UTF-8"}},
    {"i_string_not_in_unicode_range.json", {false, "beyond U+10FFFF is not valid UTF-8"}},
    {"i_string_overlong_sequence_2_bytes.json", {false, "an overlong form is not valid UTF-8"}},
    {"i_string_overlong_sequence_6_bytes.json", {false, "an overlong form is not valid UTF-8"}},
    {"i_string_overlong_sequence_6_bytes_null.json",
     {false, "an overlong form is not valid UTF-8"}},
    {"i_string_truncated-utf-8.json", {false, "strings must be valid UTF-8"}},
    {"i_string_UTF-16LE_with_BOM.json", {false, "the report is read as UTF-8 only"}},
    {"i_string_utf16BE_no_BOM.json", {false, "the report is read as UTF-8 only"}},
    {"i_string_utf16LE_no_BOM.json", {false, "the report is read as UTF-8 only"}},
    {"i_structure_500_nested_arrays.json", {false, "nesting deeper than 128 levels"}},
    {"i_structure_UTF-8_BOM_empty_object.json", {false, "a byte-order mark is not skipped"}},
};

TEST(JsonConformance, EveryOpenCaseIsDecidedByOurRules) {
    const auto names = suite_files('i');
    std::set<std::string> decided;
    for (const auto& [name, decision] : open_cases) decided.insert(name);
    ASSERT_EQ(names, decided);
    for (const auto& [name, decision] : open_cases) {
        EXPECT_EQ(read_json_document(file_bytes(suite_folder / name)).has_value(), decision.read)
            << name << ": " << decision.reason;
    }
}

std::string nested(std::size_t depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JsonLimits, NestingOf128IsReadAnd129Fails) {
    EXPECT_TRUE(read_json_document(nested(128, "[", "", "]")));
    EXPECT_FALSE(read_json_document(nested(129, "[", "", "]")));
    EXPECT_TRUE(read_json_document(nested(128, "{\"a\":", "1", "}")));
    EXPECT_FALSE(read_json_document(nested(129, "{\"a\":", "1", "}")));
    EXPECT_TRUE(read_json_document(nested(64, "[{\"k\":", "null", "}]")));
    EXPECT_FALSE(read_json_document(nested(64, "[{\"k\":", "[]", "}]")));
}

TEST(JsonLimits, HundredThousandOpenBracketsFailWithoutACrash) {
    EXPECT_FALSE(read_json_document(std::string(100000, '[')));
    EXPECT_FALSE(read_json_document(nested(100000, "[", "", "]")));
    EXPECT_FALSE(read_json_document(nested(100000, "{\"a\":", "1", "}")));
}

struct DocumentCase {
    const char* name;
    std::string bytes;
    bool read;
};

class JsonDocument : public testing::TestWithParam<DocumentCase> {};

TEST_P(JsonDocument, IsReadOrFails) {
    EXPECT_EQ(read_json_document(GetParam().bytes).has_value(), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, JsonDocument,
    testing::Values(
        DocumentCase{"Empty", "", false}, DocumentCase{"OnlyWhiteSpace", " \t\r\n", false},
        DocumentCase{"FourWhiteSpacesAround", " \t\r\n{}\n\r\t ", true},
        DocumentCase{"FormFeedAfter", "{}\f", false},
        DocumentCase{"VerticalTabBefore", "\v{}", false},
        DocumentCase{"NoBreakSpaceAfter", "{}\xC2\xA0", false},
        DocumentCase{"ByteOrderMark", "\xEF\xBB\xBF{}", false},
        DocumentCase{"SecondValue", "{}{}", false}, DocumentCase{"TrailingText", "{} x", false},
        DocumentCase{"NulAfter", std::string("{}\0", 3), false},
        DocumentCase{"NulThenText", std::string("{}\0garbage", 10), false},
        DocumentCase{"Truncated", "{\"streams\":[", false},
        DocumentCase{"LargestDouble", "[1.7976931348623157e308]", true},
        DocumentCase{"JustBelowRoundingToInfinity", "[1.7976931348623158e308]", true},
        DocumentCase{"RoundsToInfinity", "[1.7976931348623159e308]", false},
        DocumentCase{"NegativeOverflow", "[-1e400]", false},
        DocumentCase{"Underflow", "[-1e-400]", true},
        DocumentCase{"IntegerBeyondAnyDouble", "[1" + std::string(400, '0') + "]", false},
        DocumentCase{"RawTab", "[\"a\tb\"]", false},
        DocumentCase{"RawNul", std::string("[\"a\0b\"]", 7), false},
        DocumentCase{"EscapedNul", "[\"a\\u0000b\"]", true},
        DocumentCase{"Comment", "[1] // c", false}, DocumentCase{"TrailingComma", "[1,]", false},
        DocumentCase{"SingleQuotes", "['a']", false}, DocumentCase{"BareNaN", "[NaN]", false},
        DocumentCase{"LoneHighSurrogateKey", "{\"\\ud800\":1}", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonValues, IntegersKeepTheirExactValueWhereTheyFit) {
    const auto document = read_json_document(
        "[18446744073709551615, -9223372036854775808, 18446744073709551616, "
        "-9223372036854775809, 9007199254740993, 1.0, 1e2, -0]");
    ASSERT_TRUE(document);
    const JsonValue& v = *document;
    EXPECT_TRUE(v[0].is_number_unsigned());
    EXPECT_EQ(v[0].get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_TRUE(v[1].is_number_integer() && !v[1].is_number_unsigned());
    EXPECT_EQ(v[1].get<std::int64_t>(), INT64_MIN);
    EXPECT_TRUE(v[2].is_number_float());
    EXPECT_EQ(v[2].get<double>(), 18446744073709551616.0);
    EXPECT_TRUE(v[3].is_number_float());
    EXPECT_EQ(v[3].get<double>(), -9223372036854775808.0);
    EXPECT_EQ(v[4].get<std::uint64_t>(), 9007199254740993u);  // not rounded through a double
    EXPECT_TRUE(v[5].is_number_float());
    EXPECT_TRUE(v[6].is_number_float());
    EXPECT_EQ(v[6].get<double>(), 100.0);
    EXPECT_TRUE(v[7].is_number_integer());
}

TEST(JsonValues, LaterDuplicateMemberWins) {
    const auto document =
        read_json_document(R"({"a": [1, {"b": 2}], "x": 0, "a": {"c": 3}, "b": 1, "b": 2})");
    ASSERT_TRUE(document);
    EXPECT_EQ(*document, JsonValue::parse(R"({"a": {"c": 3}, "x": 0, "b": 2})"));
}

TEST(JsonValues, EscapesAreDecodedIntoUtf8) {
    const auto document =
        read_json_document(R"({"\u0063odec_type": "\ud834\udd1e\u00e9\n\/"})");
    ASSERT_TRUE(document);
    EXPECT_EQ((*document)["codec_type"], "\xF0\x9D\x84\x9E\xC3\xA9\n/");
}

}  // namespace
}  // namespace kestrin
