// The number texts of ffprobe's duration: grammar, rounding, and the limits of a double.
#include "media/number_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace kestrin {
namespace {

std::optional<std::uint64_t> bits_of(std::string_view text) {
    const auto value = parse_number_text(text);
    if (!value) return std::nullopt;
    std::uint64_t bits;
    std::memcpy(&bits, &*value, sizeof bits);
    return bits;
}

// 2^-1075, half the smallest subnormal, written out exactly.
const std::string half_smallest =
    "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818"
    "081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858"
    "392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706"
    "311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977"
    "096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458"
    "516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623"
    "653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313"
    "690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667"
    "236328125e-324";
// The largest double plus half its last place: the tie between it and infinity.
const std::string largest_tie =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977"
    "587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845"
    "817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559"
    "699508093042880177904174497792";

struct NumberCase {
    std::string text;
    std::optional<std::uint64_t> bits;  // nothing: not a number
};

class NumberText : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, GivesTheNearestDoubleOrNothing) {
    EXPECT_EQ(bits_of(GetParam().text), GetParam().bits) << GetParam().text;
}

constexpr std::uint64_t positive_infinity = 0x7FF0000000000000;
constexpr std::uint64_t negative_infinity = 0xFFF0000000000000;
constexpr std::uint64_t negative_zero = 0x8000000000000000;
constexpr std::uint64_t quiet_nan = 0x7FF8000000000000;
constexpr std::uint64_t largest = 0x7FEFFFFFFFFFFFFF;

INSTANTIATE_TEST_SUITE_P(
    Table, NumberText,
    testing::Values(
        NumberCase{"12.5", 0x4029000000000000}, NumberCase{"+12.5", 0x4029000000000000},
        NumberCase{"-12.5", 0xC029000000000000}, NumberCase{"1e2", 0x4059000000000000},
        NumberCase{"5", 0x4014000000000000}, NumberCase{"5.", 0x4014000000000000},
        NumberCase{".5", 0x3FE0000000000000}, NumberCase{"5.e1", 0x4049000000000000},
        NumberCase{".5E+1", 0x4014000000000000}, NumberCase{"007", 0x401C000000000000},
        NumberCase{"2.000000", 0x4000000000000000}, NumberCase{"0.1", 0x3FB999999999999A},
        NumberCase{"-0", negative_zero}, NumberCase{"-0.0e5", negative_zero},
        // 2^53 + 1 lies halfway between two doubles: ties go to the even one.
        NumberCase{"9007199254740993", 0x4340000000000000},
        NumberCase{"9007199254740995", 0x4340000000000002},
        NumberCase{"1.7976931348623157e308", largest},
        NumberCase{largest_tie.substr(0, 50) + "e259", largest},
        NumberCase{largest_tie, positive_infinity},
        NumberCase{"-" + largest_tie, negative_infinity},
        NumberCase{"1e400", positive_infinity}, NumberCase{"-1e400", negative_infinity},
        NumberCase{"1e99999999999999999999999", positive_infinity},
        NumberCase{"0.000001e311", 0x7F423A516E82D9BA},
        NumberCase{"4.9406564584124654e-324", 0x0000000000000001},
        NumberCase{half_smallest, 0},  // the tie goes to even: zero
        NumberCase{half_smallest.substr(0, half_smallest.size() - 5) + "1e-324", 1},
        NumberCase{"-" + half_smallest, negative_zero},
        NumberCase{"1e-400", 0}, NumberCase{"-1e-400", negative_zero},
        NumberCase{"1e-99999999999999999999999", 0},
        NumberCase{"100000e-325", 0x00000000000007E8},
        NumberCase{"0e99999", 0}, NumberCase{"inf", positive_infinity},
        NumberCase{"-Infinity", negative_infinity}, NumberCase{"+INF", positive_infinity},
        NumberCase{"iNfInItY", positive_infinity}, NumberCase{"nan", quiet_nan},
        NumberCase{"NaN", quiet_nan}, NumberCase{"-nan", quiet_nan | negative_zero},
        NumberCase{"", std::nullopt}, NumberCase{".", std::nullopt},
        NumberCase{"+", std::nullopt}, NumberCase{"-.", std::nullopt},
        NumberCase{"e5", std::nullopt}, NumberCase{"5e", std::nullopt},
        NumberCase{"5e+", std::nullopt}, NumberCase{"1.2.3", std::nullopt},
        NumberCase{"+-5", std::nullopt}, NumberCase{"--5", std::nullopt},
        NumberCase{" 12.5", std::nullopt}, NumberCase{"12.5 ", std::nullopt},
        NumberCase{"12.5\n", std::nullopt}, NumberCase{"N/A", std::nullopt},
        NumberCase{"0x1p3", std::nullopt}, NumberCase{"1_000", std::nullopt},
        NumberCase{"1,5", std::nullopt}, NumberCase{"nan(1)", std::nullopt},
        NumberCase{"infin", std::nullopt}, NumberCase{"infinityy", std::nullopt},
        NumberCase{"i", std::nullopt}, NumberCase{"1e5.5", std::nullopt},
        NumberCase{"\xEF\xBC\x95", std::nullopt},  // a fullwidth digit five
        NumberCase{std::string("5\0", 2), std::nullopt}));

}  // namespace
}  // namespace kestrin
